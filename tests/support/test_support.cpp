#include "test_support.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

std::atomic<int> serial{0};

int decode_status(int raw)
{
    if (WIFEXITED(raw))
        return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw))
        return 128 + WTERMSIG(raw);
    return -1;
}

// In a child: standard input from /dev/null, output and errors into the files.
void redirect_std_streams(const std::string& out_path, const std::string& err_path)
{
    int in = open("/dev/null", O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0)
        _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    close(in);
    close(out);
    close(err);
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& out_path,
            const std::string& err_path)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    // Child: fresh signal dispositions, files for the output, /dev/null as input.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    redirect_std_streams(out_path, err_path);
    for (const std::string& e : env)
        putenv(strdup(e.c_str()));
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

} // namespace

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool file_exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

int count_lines_with(const std::string& text, const std::string& needle)
{
    std::istringstream in(text);
    std::string line;
    int n = 0;
    while (std::getline(in, line))
        if (line.find(needle) != std::string::npos)
            n++;
    return n;
}

temp_dir::temp_dir()
{
    char templ[] = "/tmp/qrngd-test-XXXXXX";
    char* made = mkdtemp(templ);
    if (!made)
        abort();
    dir = made;
}

temp_dir::~temp_dir()
{
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) {
        // Nothing more to do: a leftover directory under /tmp is harmless.
    }
}

unique_prefix::unique_prefix()
{
    prefix = "qtest" + std::to_string(getpid()) + "_" + std::to_string(serial++);
}

unique_prefix::~unique_prefix()
{
    unlink(lock_path().c_str());
}

proc_result run_command(const std::vector<std::string>& argv, const std::vector<std::string>& env, int timeout_s)
{
    background_process p(argv, env);
    proc_result r;
    r.pid = p.pid();
    r.status = p.wait(timeout_s);
    r.out = p.out();
    r.err = p.err();
    return r;
}

proc_result run_in_child(const std::function<void()>& fn, int timeout_s)
{
    temp_dir dir;
    const std::string out_path = dir.file("out");
    const std::string err_path = dir.file("err");
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        redirect_std_streams(out_path, err_path);
        fn();
        fflush(stdout);
        fflush(stderr);
        _exit(0);
    }
    proc_result r;
    r.pid = pid;
    if (pid < 0)
        return r;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    int raw = 0;
    for (;;) {
        pid_t w = waitpid(pid, &raw, WNOHANG);
        if (w == pid) {
            r.status = decode_status(raw);
            break;
        }
        if (w < 0 && errno != EINTR)
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &raw, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    r.out = read_file(out_path);
    r.err = read_file(err_path);
    return r;
}

background_process::background_process(const std::vector<std::string>& argv, const std::vector<std::string>& env)
{
    char templ[] = "/tmp/qrngd-proc-XXXXXX";
    char* made = mkdtemp(templ);
    if (!made)
        abort();
    dir = made;
    child = spawn(argv, env, dir + "/out", dir + "/err");
}

background_process::~background_process()
{
    if (child > 0 && running()) {
        kill(child, SIGKILL);
        wait(10);
    }
    unlink((dir + "/out").c_str());
    unlink((dir + "/err").c_str());
    rmdir(dir.c_str());
}

void background_process::send_signal(int sig)
{
    if (child > 0 && status == -1)
        kill(child, sig);
}

bool background_process::running()
{
    if (status != -1)
        return false;
    int raw;
    pid_t r = waitpid(child, &raw, WNOHANG);
    if (r == child) {
        status = decode_status(raw);
        return false;
    }
    return true;
}

int background_process::wait(int timeout_s)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    while (running()) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            int raw;
            waitpid(child, &raw, 0);
            status = decode_status(raw);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status;
}

std::string background_process::out() const { return read_file(dir + "/out"); }
std::string background_process::err() const { return read_file(dir + "/err"); }

bool background_process::wait_for_output(const std::string& text, double timeout_s)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    while (std::chrono::steady_clock::now() < deadline) {
        if (out().find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return out().find(text) != std::string::npos;
}
