// The option parser, the log limit, and the verbosity: the system log's mask and
// the messages that reach standard output.
#include "defs.h"
#include "main.h"
#include "qrng.h"
#include "test_support.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sstream>
#include <syslog.h>
#include <unistd.h>

namespace {

std::string describe(const startup_settings& s)
{
    std::ostringstream os;
    os << s.pipe_path << " " << s.prefix << " '" << s.backup_source << "' t" << s.thread_period << " q"
       << s.qrng_mask << " c" << s.standby << " v" << int(s.verbosity) << " " << s.log_stdout << s.new_randomness
       << s.read_only << s.strict_mode << s.checksum_check << s.filter_enable << s.enable_debug << s.entropy_source
       << s.metrics_path;
    return os.str();
}

struct parsed {
    parse_outcome outcome;
    startup_settings settings;
    std::string error;
};

parsed parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "qrngd");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    parsed p;
    int saved_opterr = opterr;
    opterr = 0; // getopt's diagnostics are checked with the real binary
    p.outcome = parse_options(static_cast<int>(args.size()), argv.data(), p.settings, p.error);
    opterr = saved_opterr;
    return p;
}

TEST(ParseOptions, NumbersConvertPerOption)
{
    EXPECT_EQ(describe(parse({}).settings), "/dev/qrandom xdma0 '' t10 q4294967295 c10000 v0 00000000");
    // -v, -c: decimal int (-v keeps the low 8 bits); -q: int, base from the prefix;
    // -t: decimal long, low 32 bits kept. Digits end at the first other character.
    // Rejected (no digit, out of range): the diagnostic names option, argument and conversion.
    const uint64_t bad = 1ULL << 40;
    const struct {
        char option;
        const char* arg;
        uint64_t value;
    } cases[] = {
        {'v', "260", 4}, {'v', "-1", 255}, {'v', "2abc", 2}, {'v', " +5", 5}, {'v', "0x10", 0},
        {'q', "0x0F", 15}, {'q', "0b1111", 15}, {'q', "017", 15}, {'q', "0X1f", 31}, {'q', "-1", 0xFFFFFFFF},
        {'q', "-0x80000000", 0x80000000}, {'q', "09", 0}, {'q', "0x", 0}, {'q', "0b2", 0},
        {'t', "4294967306", 10}, {'t', "-1", 0xFFFFFFFF}, {'t', "25us", 25}, {'t', "-9223372036854775808", 0},
        {'c', "20000", 20000}, {'c', "-1", 0xFFFFFFFF},
        {'v', "abc", bad}, {'v', "", bad}, {'v', "2147483648", bad}, {'v', "-2147483649", bad},
        {'q', "0xFFFFFFFF", bad}, {'q', "-", bad}, {'c', "2147483648", bad},
        {'t', "9223372036854775808", bad}, {'t', "-9223372036854775809", bad}, {'t', "us", bad},
    };
    for (const auto& c : cases) {
        parsed p = parse({std::string("-") + c.option, c.arg});
        const startup_settings& s = p.settings;
        SCOPED_TRACE(std::string(1, c.option) + " '" + c.arg + "'");
        if (c.value == bad) {
            EXPECT_EQ(p.outcome, parse_outcome::bad_number);
            for (const std::string& part : {std::string("-") + c.option, "'" + std::string(c.arg) + "'",
                                            std::string(c.option == 't' ? "stol" : "stoi")})
                EXPECT_NE(p.error.find(part), std::string::npos) << p.error;
            continue;
        }
        EXPECT_EQ(p.outcome, parse_outcome::start);
        EXPECT_EQ(c.option == 'v'   ? s.verbosity
                  : c.option == 'q' ? s.qrng_mask
                  : c.option == 't' ? s.thread_period
                                    : s.standby,
                  c.value);
    }
    // A period the 32-bit value cannot hold is used as its low 32 bits, with a warning.
    EXPECT_EQ(parse({"-t", "4294967306"}).settings.period_warning,
              "Thread period 4294967306 us is out of range; using 10 us (its low 32 bits)");
    EXPECT_EQ(parse({"-t", "-1", "-t", "25"}).settings.period_warning, "");
}

TEST(Signals, LaterSignalWinsUnlessTheEngineStoppedItself)
{
    const struct {
        int before, sig, after;
    } cases[] = {{0, SIGTERM, 1}, {1, SIGINT, 2}, {2, SIGHUP, 1}, {3, SIGTERM, 3}, {3, SIGINT, 3}, {1, SIGUSR1, 1}};
    for (const auto& c : cases) {
        proc_result r = run_in_child([&] {
            qrng_handler::exit_flag = c.before;
            signal_handler(c.sig);
            printf("%d", qrng_handler::exit_flag.load());
        });
        EXPECT_EQ(r.out, std::to_string(c.after)) << c.before << " " << c.sig;
    }
}

TEST(LogLimit, TenLinesPerTenSecondsThenOneSummary)
{
    log_limiter limiter;
    using v = log_limiter::verdict;
    const int64_t s = 1000000000;
    const char* key = "flood";
    unsigned long repeated = 0;
    for (int i = 0; i < 10; i++)
        EXPECT_EQ(limiter.decide(key, i, repeated), v::emit) << i;
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(limiter.decide(key, 9 * s, repeated), v::drop);
    EXPECT_EQ(limiter.decide("other", 9 * s, repeated), v::emit) << "each message has its own limit";
    // The window is over while the flood goes on: one summary, the rest of its window dropped.
    EXPECT_EQ(limiter.decide(key, 10 * s, repeated), v::summary);
    EXPECT_EQ(repeated, 6u);
    EXPECT_EQ(limiter.decide(key, 11 * s, repeated), v::drop);
    EXPECT_EQ(limiter.decide(key, 20 * s, repeated), v::summary);
    EXPECT_EQ(repeated, 2u);
    // After a quiet window the message is logged as it is again.
    EXPECT_EQ(limiter.decide(key, 31 * s, repeated), v::emit);
}

TEST(ParseOptions, SwitchesStringsAndGetoptRules)
{
    using S = startup_settings;
    const struct {
        std::vector<std::string> args;
        void (*change)(S&); // applied to the defaults
    } cases[] = {
        {{"-p", "/tmp/q", "-xfoo"}, [](S& s) { s.pipe_path = "/tmp/q", s.prefix = "foo"; }},
        {{"-s", "-o", "-a", "-d"}, [](S& s) { s.log_stdout = s.read_only = s.strict_mode = s.checksum_check = true; }},
        {{"-f", "-D", "-e"}, [](S& s) { s.filter_enable = s.enable_debug = s.entropy_source = true; }},
        // -b only stays with -r, wherever -r is.
        {{"-b"}, [](S&) {}},
        {{"-b", "-r"}, [](S& s) { s.new_randomness = true, s.backup_source = "/dev/urandom"; }},
        {{"-r", "-b", "-m", "/x.prom"}, [](S& s) { s.new_randomness = true, s.backup_source = "/dev/urandom", s.metrics_path = "/x.prom"; }},
        {{"-sv3", "-v", "2", "-p", "/a", "-p", "/b"}, [](S& s) { s.log_stdout = true, s.verbosity = 2, s.pipe_path = "/b"; }},
        {{"word", "-s", "-z", "other", "-o"}, [](S& s) { s.log_stdout = s.read_only = true; }},
        {{"-s", "-p"}, [](S& s) { s.log_stdout = true; }},
    };
    for (const auto& c : cases) {
        parsed p = parse(c.args);
        S want;
        c.change(want);
        EXPECT_EQ(p.outcome, parse_outcome::start) << c.args[0];
        EXPECT_EQ(describe(p.settings), describe(want)) << c.args[0];
        EXPECT_EQ(p.error, "");
    }
}

TEST(Verbosity, MaskLevelAndStandardOutput)
{
    // The setlogmask argument and the levels that reach standard output with -s.
    const struct {
        int verbosity, mask;
        const char* out;
    } cases[] = {{0, 0x01, "[ERROR] e\n"}, {1, 0x0F, "[ERROR] e\n"}, {2, 0x1F, "[ERROR] e\n[WARN] w\n"},
                 {3, 0x7F, "[ERROR] e\n[WARN] w\n[INFO] i\n"}, {4, 0xFF, "[ERROR] e\n[WARN] w\n[INFO] i\n"},
                 {255, 0x7F, "[ERROR] e\n[WARN] w\n[INFO] i\n"}};
    for (const auto& c : cases) {
        proc_result r = run_in_child([&] {
            log_stdout = 1;
            apply_verbosity(static_cast<uint8_t>(c.verbosity));
            printf("%d\n", setlogmask(0));
            log_message(LEVEL_ERROR, "e\n");
            log_message(LEVEL_WARN, "w\n");
            log_message(LEVEL_INFO, "i\n");
        });
        EXPECT_EQ(r.out, std::to_string(c.mask) + "\n" + c.out) << c.verbosity;
    }
}

} // namespace
