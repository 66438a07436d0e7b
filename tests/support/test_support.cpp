#include "test_support.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

int decode_status(int raw)
{
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
}

pid_t fork_child(const std::string& out, const std::string& err, const std::function<void()>& fn)
{
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    int fds[3] = {open("/dev/null", O_RDONLY), open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
                  open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)};
    for (int i = 0; i < 3; i++) {
        if (fds[i] < 0 || dup2(fds[i], i) < 0)
            _exit(126);
        if (fds[i] != i)
            close(fds[i]);
    }
    fn();
    fflush(stdout);
    fflush(stderr);
    _exit(0);
}

void exec_argv(const std::vector<std::string>& argv, const std::vector<std::string>& env)
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    for (const std::string& e : env)
        putenv(strdup(e.c_str()));
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

std::atomic<int> serial{0};

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
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

int count_lines_with(const std::string& text, const std::string& needle)
{
    std::istringstream in(text);
    std::string line;
    int n = 0;
    while (std::getline(in, line))
        n += line.find(needle) != std::string::npos;
    return n;
}

temp_dir::temp_dir()
{
    char templ[] = "/tmp/qrngd-test-XXXXXX";
    if (!mkdtemp(templ))
        abort();
    dir = templ;
}

temp_dir::~temp_dir()
{
    if (system(("rm -rf '" + dir + "'").c_str()) != 0) {
        // A leftover directory under /tmp is harmless.
    }
}

unique_prefix::unique_prefix() : prefix("qtest" + std::to_string(getpid()) + "_" + std::to_string(serial++)) {}

unique_prefix::~unique_prefix() { unlink(lock_path().c_str()); }

background_process::background_process(const std::vector<std::string>& argv, const std::vector<std::string>& env)
    : background_process([&] { exec_argv(argv, env); })
{
}

background_process::background_process(const std::function<void()>& fn)
    : child(fork_child(dir.file("out"), dir.file("err"), fn))
{
}

background_process::~background_process()
{
    if (child > 0 && running()) {
        kill(child, SIGKILL);
        wait(10);
    }
}

void background_process::send_signal(int sig)
{
    if (child > 0 && status == -1)
        kill(child, sig);
}

bool background_process::running()
{
    int raw;
    if (status == -1 && waitpid(child, &raw, WNOHANG) == child)
        status = decode_status(raw);
    return status == -1;
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
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return status;
}

std::string background_process::out() const { return read_file(dir.file("out")); }
std::string background_process::err() const { return read_file(dir.file("err")); }

proc_result run_in_child(const std::function<void()>& fn, int timeout_s)
{
    background_process p(fn);
    proc_result r;
    r.pid = p.pid();
    r.status = p.wait(timeout_s);
    r.out = p.out();
    r.err = p.err();
    return r;
}

proc_result run_command(const std::vector<std::string>& argv, const std::vector<std::string>& env, int timeout_s)
{
    return run_in_child([&] { exec_argv(argv, env); }, timeout_s);
}
