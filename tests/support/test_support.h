// Helpers shared by the tests: running the daemon and other programs as real
// processes, temporary directories, unique device prefixes and file access.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

struct proc_result {
    int status = -1;      // exit status, or 128 + signal number when killed
    std::string out;      // standard output
    std::string err;      // standard error
    pid_t pid = -1;       // process id the program ran under
};

// Runs argv to completion with `env` added to the environment ("KEY=VALUE"),
// standard input from /dev/null. Killed with SIGKILL after timeout_s seconds.
proc_result run_command(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                        int timeout_s = 60);

// Runs fn in a forked child of the test process, standard input from /dev/null and
// standard output and error collected. The child ends with status 0 when fn returns
// (after flushing both streams), or with whatever fn itself exits with or execs.
// Killed with SIGKILL after timeout_s seconds (status -1). Lets a test run code
// that ends the process, or that changes process-wide state, in isolation.
proc_result run_in_child(const std::function<void()>& fn, int timeout_s = 60);

// A process running in the background, its output collected in files.
class background_process {
public:
    background_process(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
    ~background_process(); // kills the process if it still runs
    background_process(const background_process&) = delete;
    background_process& operator=(const background_process&) = delete;

    pid_t pid() const { return child; }
    void send_signal(int sig);
    // Waits for the end; returns the status as in proc_result (-1 on timeout).
    int wait(int timeout_s = 60);
    bool running();
    std::string out() const; // what it has written to standard output so far
    std::string err() const;
    // Waits until standard output contains `text`; false after timeout_s.
    bool wait_for_output(const std::string& text, double timeout_s = 30);

private:
    pid_t child = -1;
    int status = -1;
    std::string dir;
};

// A fresh directory under /tmp, removed with its content by the destructor.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    const std::string& path() const { return dir; }
    std::string file(const std::string& name) const { return dir + "/" + name; }

private:
    std::string dir;
};

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
bool file_exists(const std::string& path);
// Number of lines of `text` that contain `needle`.
int count_lines_with(const std::string& text, const std::string& needle);
