// Helpers shared by the tests: child processes, temporary directories, unique
// device prefixes and file access.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

struct proc_result {
    int status = -1; // exit status, 128 + signal when killed, -1 on timeout
    std::string out, err;
    pid_t pid = -1;
};

// A fresh directory under /tmp, removed with its content by the destructor.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    std::string file(const std::string& name) const { return dir + "/" + name; }

private:
    std::string dir;
};

// A forked child with standard input from /dev/null and its output collected.
// The argv form execs the program with `env` ("KEY=VALUE") added; the function
// form runs fn and exits 0 (unless fn exits or execs itself).
class background_process {
public:
    background_process(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
    explicit background_process(const std::function<void()>& fn);
    ~background_process(); // kills the process if it still runs
    background_process(const background_process&) = delete;
    background_process& operator=(const background_process&) = delete;

    pid_t pid() const { return child; }
    void send_signal(int sig);
    int wait(int timeout_s = 60); // the status as in proc_result; SIGKILL on timeout
    bool running();
    std::string out() const;
    std::string err() const;

private:
    temp_dir dir;
    pid_t child = -1;
    int status = -1;
};

// Runs argv, or fn in a forked child, to completion (SIGKILL after timeout_s).
proc_result run_command(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                        int timeout_s = 60);
proc_result run_in_child(const std::function<void()>& fn, int timeout_s = 60);

// A device prefix no other test or process uses; removes its lock file when destroyed.
class unique_prefix {
public:
    unique_prefix();
    ~unique_prefix();
    const std::string& name() const { return prefix; }
    std::string lock_path() const { return "/var/lock/qrng_" + prefix + ".lock"; }

private:
    std::string prefix;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
int count_lines_with(const std::string& text, const std::string& needle);
