// Fuzz target for the command-line parser. The input is split on NUL bytes into
// arguments, after the program name "qrngd". parse_options must never crash and
// must leave settings that the daemon can hand to the engine as they are.
#include "main.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t MAX_ARGS = 256;

// Parses a fresh copy of `args` (getopt reorders argv in place).
parse_outcome parse(const std::vector<std::string>& args, startup_settings& s, std::string& error)
{
    std::vector<std::string> storage(args);
    std::vector<char*> argv;
    for (std::string& a : storage)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    return parse_options(static_cast<int>(storage.size()), argv.data(), s, error);
}

bool same(const startup_settings& a, const startup_settings& b)
{
    return a.pipe_path == b.pipe_path && a.prefix == b.prefix && a.backup_source == b.backup_source &&
           a.thread_period == b.thread_period && a.qrng_mask == b.qrng_mask && a.standby == b.standby &&
           a.verbosity == b.verbosity && a.log_stdout == b.log_stdout && a.new_randomness == b.new_randomness &&
           a.read_only == b.read_only && a.strict_mode == b.strict_mode && a.checksum_check == b.checksum_check &&
           a.filter_enable == b.filter_enable && a.enable_debug == b.enable_debug &&
           a.entropy_source == b.entropy_source && a.metrics_path == b.metrics_path;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    opterr = 0; // getopt's diagnostics on stderr would only slow the fuzzer down
    unsetenv("POSIXLY_CORRECT");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> args{"qrngd"};
    std::string current;
    for (size_t i = 0; i < size && args.size() < MAX_ARGS; i++) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    if (args.size() < MAX_ARGS && (!current.empty() || size == 0 || data[size - 1] != 0))
        args.push_back(current);

    startup_settings s;
    std::string error;
    parse_outcome outcome = parse(args, s, error);

    switch (outcome) {
    case parse_outcome::start:
        if (!error.empty())
            abort();
        // The backup source survives only with new randomness, and is then /dev/urandom.
        if (!s.new_randomness && !s.backup_source.empty())
            abort();
        if (!s.backup_source.empty() && s.backup_source != "/dev/urandom")
            abort();
        // A metrics file is always named *.prom, so the collector reads only finished files.
        if (!s.metrics_path.empty() && (s.metrics_path.size() <= 5 || s.metrics_path.substr(s.metrics_path.size() - 5) != ".prom"))
            abort();
        break;
    case parse_outcome::bad_number: {
        // One line naming a numeric option, or the metrics file's name.
        const std::string head = "qrngd: invalid number for -";
        const std::string metrics = "qrngd: the metrics file for -m must end in .prom: '";
        if (error.compare(0, metrics.size(), metrics) == 0)
            break;
        if (error.compare(0, head.size(), head) != 0 || error.size() <= head.size())
            abort();
        char option = error[head.size()];
        if (option != 'v' && option != 't' && option != 'q' && option != 'c')
            abort();
        break;
    }
    case parse_outcome::usage:
    case parse_outcome::version:
        break;
    default:
        abort();
    }

    // Parsing is repeatable: the same command line gives the same result.
    startup_settings again;
    std::string error_again;
    if (parse(args, again, error_again) != outcome || error_again != error || !same(again, s))
        abort();
    return 0;
}
