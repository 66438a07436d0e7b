// The front end's pieces: the option parser, the verbosity mapping, and where
// each message goes (standard output or the system log) at every verbosity.
#include "defs.h"
#include "main.h"
#include "test_support.h"

#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

// Found by argument-dependent lookup, so they live beside startup_settings.
// Every field, so that a case can state exactly which ones it changes.
static bool operator==(const startup_settings& a, const startup_settings& b)
{
    return a.pipe_path == b.pipe_path && a.prefix == b.prefix && a.backup_source == b.backup_source &&
           a.thread_period == b.thread_period && a.qrng_mask == b.qrng_mask && a.standby == b.standby &&
           a.verbosity == b.verbosity && a.log_stdout == b.log_stdout && a.new_randomness == b.new_randomness &&
           a.read_only == b.read_only && a.strict_mode == b.strict_mode && a.checksum_check == b.checksum_check &&
           a.filter_enable == b.filter_enable && a.enable_debug == b.enable_debug &&
           a.entropy_source == b.entropy_source;
}

static std::ostream& operator<<(std::ostream& os, const startup_settings& s)
{
    return os << "{pipe " << s.pipe_path << ", prefix " << s.prefix << ", backup '" << s.backup_source
              << "', period " << s.thread_period << ", mask " << s.qrng_mask << ", standby " << s.standby
              << ", verbosity " << int(s.verbosity) << ", flags s" << s.log_stdout << " r" << s.new_randomness
              << " o" << s.read_only << " a" << s.strict_mode << " d" << s.checksum_check << " f" << s.filter_enable
              << " D" << s.enable_debug << " e" << s.entropy_source << "}";
}

namespace {

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

TEST(ParseOptions, DefaultsWithoutOptions)
{
    parsed p = parse({});
    EXPECT_EQ(p.outcome, parse_outcome::start);
    startup_settings want;
    want.pipe_path = "/dev/qrandom";
    want.prefix = "xdma0";
    want.backup_source = "";
    want.thread_period = 10;
    want.qrng_mask = 0xFFFFFFFF;
    want.standby = 10000;
    want.verbosity = 0;
    want.log_stdout = want.new_randomness = want.read_only = want.strict_mode = false;
    want.checksum_check = want.filter_enable = want.enable_debug = want.entropy_source = false;
    EXPECT_EQ(p.settings, want);
}

TEST(ParseOptions, AcceptedCommandLines)
{
    using change = std::function<void(startup_settings&)>;
    struct {
        std::vector<std::string> args;
        change expected; // applied to the defaults
    } cases[] = {
        // Verbosity: decimal, 32-bit signed, low 8 bits kept.
        {{"-v", "3"}, [](startup_settings& s) { s.verbosity = 3; }},
        {{"-v", "7"}, [](startup_settings& s) { s.verbosity = 7; }},
        {{"-v", "260"}, [](startup_settings& s) { s.verbosity = 4; }},
        {{"-v", "-1"}, [](startup_settings& s) { s.verbosity = 255; }},
        {{"-v", "2abc"}, [](startup_settings& s) { s.verbosity = 2; }},
        {{"-v", " +5"}, [](startup_settings& s) { s.verbosity = 5; }},
        {{"-v", "0x10"}, [](startup_settings& s) { s.verbosity = 0; }},
        {{"-v", "2147483647"}, [](startup_settings& s) { s.verbosity = 255; }},
        // Mask: base from the prefix, 32-bit signed, read as unsigned.
        {{"-q", "0x0F"}, [](startup_settings& s) { s.qrng_mask = 15; }},
        {{"-q", "0b1111"}, [](startup_settings& s) { s.qrng_mask = 15; }},
        {{"-q", "017"}, [](startup_settings& s) { s.qrng_mask = 15; }},
        {{"-q", "15"}, [](startup_settings& s) { s.qrng_mask = 15; }},
        {{"-q", "0X1f"}, [](startup_settings& s) { s.qrng_mask = 31; }},
        {{"-q", "0B11"}, [](startup_settings& s) { s.qrng_mask = 3; }},
        {{"-q", "-1"}, [](startup_settings& s) { s.qrng_mask = 0xFFFFFFFF; }},
        {{"-q", "0x7FFFFFFF"}, [](startup_settings& s) { s.qrng_mask = 0x7FFFFFFF; }},
        {{"-q", "-0x80000000"}, [](startup_settings& s) { s.qrng_mask = 0x80000000; }},
        {{"-q", "09"}, [](startup_settings& s) { s.qrng_mask = 0; }},
        {{"-q", "0x"}, [](startup_settings& s) { s.qrng_mask = 0; }},
        {{"-q", "0b2"}, [](startup_settings& s) { s.qrng_mask = 0; }},
        // Thread period: decimal, 64-bit signed, low 32 bits kept.
        {{"-t", "4294967306"}, [](startup_settings& s) { s.thread_period = 10; }},
        {{"-t", "-1"}, [](startup_settings& s) { s.thread_period = 0xFFFFFFFF; }},
        {{"-t", "25us"}, [](startup_settings& s) { s.thread_period = 25; }},
        {{"-t", "9223372036854775807"}, [](startup_settings& s) { s.thread_period = 0xFFFFFFFF; }},
        {{"-t", "-9223372036854775808"}, [](startup_settings& s) { s.thread_period = 0; }},
        // Stand-by: decimal, 32-bit signed, read as unsigned.
        {{"-c", "20000"}, [](startup_settings& s) { s.standby = 20000; }},
        {{"-c", "-1"}, [](startup_settings& s) { s.standby = 0xFFFFFFFF; }},
        {{"-c", "0x10"}, [](startup_settings& s) { s.standby = 0; }},
        // Strings and switches.
        {{"-p", "/tmp/q"}, [](startup_settings& s) { s.pipe_path = "/tmp/q"; }},
        {{"-xfoo"}, [](startup_settings& s) { s.prefix = "foo"; }},
        {{"-s"}, [](startup_settings& s) { s.log_stdout = true; }},
        {{"-r"}, [](startup_settings& s) { s.new_randomness = true; }},
        {{"-o"}, [](startup_settings& s) { s.read_only = true; }},
        {{"-a"}, [](startup_settings& s) { s.strict_mode = true; }},
        {{"-d"}, [](startup_settings& s) { s.checksum_check = true; }},
        {{"-f"}, [](startup_settings& s) { s.filter_enable = true; }},
        {{"-D"}, [](startup_settings& s) { s.enable_debug = true; }},
        {{"-e"}, [](startup_settings& s) { s.entropy_source = true; }},
        // The backup source only stays with new randomness, wherever -r is.
        {{"-b"}, [](startup_settings&) {}},
        {{"-b", "-r"}, [](startup_settings& s) { s.new_randomness = true, s.backup_source = "/dev/urandom"; }},
        {{"-r", "-b"}, [](startup_settings& s) { s.new_randomness = true, s.backup_source = "/dev/urandom"; }},
        {{"-br"}, [](startup_settings& s) { s.new_randomness = true, s.backup_source = "/dev/urandom"; }},
        // Grouped letters, attached arguments, repeats, stray words, getopt errors.
        {{"-rs"}, [](startup_settings& s) { s.new_randomness = s.log_stdout = true; }},
        {{"-sv3"}, [](startup_settings& s) { s.log_stdout = true, s.verbosity = 3; }},
        {{"-aDe", "-q0x3"}, [](startup_settings& s) { s.strict_mode = s.enable_debug = s.entropy_source = true, s.qrng_mask = 3; }},
        {{"-v", "1", "-v", "2"}, [](startup_settings& s) { s.verbosity = 2; }},
        {{"-p", "/a", "-p", "/b", "-x", "x1", "-x", "x2"}, [](startup_settings& s) { s.pipe_path = "/b", s.prefix = "x2"; }},
        {{"-q", "1", "-q", "0x2"}, [](startup_settings& s) { s.qrng_mask = 2; }},
        {{"word", "-s", "other", "-o"}, [](startup_settings& s) { s.log_stdout = s.read_only = true; }},
        {{"-z", "-s"}, [](startup_settings& s) { s.log_stdout = true; }},
        {{"-s", "-p"}, [](startup_settings& s) { s.log_stdout = true; }},
    };
    for (const auto& c : cases) {
        std::string line;
        for (const std::string& a : c.args)
            line += a + " ";
        parsed p = parse(c.args);
        startup_settings want;
        c.expected(want);
        EXPECT_EQ(p.outcome, parse_outcome::start) << line;
        EXPECT_EQ(p.settings, want) << line;
        EXPECT_EQ(p.error, "") << line;
    }
}

TEST(ParseOptions, RejectedNumbers)
{
    struct {
        std::vector<std::string> args;
        std::string option, conversion;
    } cases[] = {
        {{"-v", "abc"}, "-v", "stoi"},
        {{"-v", ""}, "-v", "stoi"},
        {{"-v", "2147483648"}, "-v", "stoi"},
        {{"-v", "-2147483649"}, "-v", "stoi"},
        {{"-q", "0xFFFFFFFF"}, "-q", "stoi"},
        {{"-q", "0x80000000"}, "-q", "stoi"},
        {{"-q", "-"}, "-q", "stoi"},
        {{"-c", "2147483648"}, "-c", "stoi"},
        {{"-c", "x"}, "-c", "stoi"},
        {{"-t", "9223372036854775808"}, "-t", "stol"},
        {{"-t", "-9223372036854775809"}, "-t", "stol"},
        {{"-t", "us"}, "-t", "stol"},
    };
    for (const auto& c : cases) {
        parsed p = parse(c.args);
        SCOPED_TRACE(c.args[0] + " '" + c.args[1] + "'");
        EXPECT_EQ(p.outcome, parse_outcome::bad_number);
        EXPECT_NE(p.error.find(c.option), std::string::npos) << p.error;
        EXPECT_NE(p.error.find("'" + c.args[1] + "'"), std::string::npos) << p.error;
        EXPECT_NE(p.error.find(c.conversion), std::string::npos) << p.error;
        EXPECT_EQ(p.error.find('\n'), std::string::npos) << p.error;
    }
}

TEST(ParseOptions, HelpAndVersionStopTheParse)
{
    struct {
        std::vector<std::string> args;
        parse_outcome outcome;
    } cases[] = {
        {{"-h"}, parse_outcome::usage},
        {{"-h", "-v", "abc"}, parse_outcome::usage},
        {{"-V", "-q", "abc"}, parse_outcome::version},
        {{"-hV"}, parse_outcome::usage},
        {{"-Vh"}, parse_outcome::version},
        {{"-v", "abc", "-h"}, parse_outcome::bad_number},
        {{"-t", "x", "-V"}, parse_outcome::bad_number},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parse(c.args).outcome, c.outcome) << c.args[0];
    // Nothing after -h is looked at.
    parsed p = parse({"-s", "-h", "-r", "-v", "3"});
    EXPECT_TRUE(p.settings.log_stdout);
    EXPECT_FALSE(p.settings.new_randomness);
    EXPECT_EQ(p.settings.verbosity, 0);
}

struct verbosity_case {
    int verbosity;
    int mask;  // setlogmask argument
    int level; // log_level
};

const verbosity_case verbosities[] = {
    {0, 0x01, 0}, {1, 0x0F, 0}, {2, 0x1F, 1}, {3, 0x7F, 2}, {4, 0xFF, 3}, {5, 0x7F, 2}, {255, 0x7F, 2},
};

TEST(Verbosity, MaskAndLevel)
{
    for (const verbosity_case& c : verbosities) {
        EXPECT_EQ(verbosity_mask(static_cast<uint8_t>(c.verbosity)), c.mask) << c.verbosity;
        EXPECT_EQ(verbosity_log_level(static_cast<uint8_t>(c.verbosity)), c.level) << c.verbosity;
    }
    for (int v = 5; v <= 255; v++) {
        EXPECT_EQ(verbosity_mask(static_cast<uint8_t>(v)), 0x7F) << v;
        EXPECT_EQ(verbosity_log_level(static_cast<uint8_t>(v)), 2) << v;
    }
    // apply_verbosity sets both (setlogmask(0) reads the mask back).
    int saved_level = log_level;
    int saved_mask = setlogmask(0);
    for (const verbosity_case& c : verbosities) {
        apply_verbosity(static_cast<uint8_t>(c.verbosity));
        EXPECT_EQ(setlogmask(0), c.mask) << c.verbosity;
        EXPECT_EQ(log_level, c.level) << c.verbosity;
    }
    setlogmask(saved_mask);
    log_level = saved_level;
}

// A datagram socket that a child sees as /dev/log: the child gets a private
// mount namespace with a small tmpfs on /dev and this socket bound over /dev/log.
class dev_log_socket {
public:
    dev_log_socket() : path(dir.file("log"))
    {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            close(fd);
            fd = -1;
        }
    }
    ~dev_log_socket()
    {
        if (fd >= 0)
            close(fd);
    }
    bool ok() const { return fd >= 0; }

    // Status 77: the child could not get its own /dev/log.
    static constexpr int no_namespace = 77;

    proc_result run(const std::function<void()>& fn)
    {
        return run_in_child([&] {
            if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("tmpfs", "/dev", "tmpfs", 0, "size=64k,mode=755") != 0)
                _exit(no_namespace);
            int f = open("/dev/log", O_WRONLY | O_CREAT, 0666);
            if (f < 0)
                _exit(no_namespace);
            close(f);
            if (mount(path.c_str(), "/dev/log", nullptr, MS_BIND, nullptr) != 0)
                _exit(no_namespace);
            fn();
        });
    }

    // The entries received since the last call.
    std::vector<std::string> received()
    {
        std::vector<std::string> entries;
        char buf[4096];
        ssize_t n;
        while ((n = recv(fd, buf, sizeof buf, 0)) >= 0)
            entries.emplace_back(buf, static_cast<size_t>(n));
        return entries;
    }

private:
    temp_dir dir;
    std::string path;
    int fd = -1;
};

struct entry {
    int priority; // with the facility
    std::string text;
};

// Checks syslog datagrams: "<priority>" first, then the ident with the process id and the text.
void expect_entries(const std::vector<std::string>& got, const std::vector<entry>& want, pid_t pid)
{
    ASSERT_EQ(got.size(), want.size()) << (got.empty() ? std::string() : got[0]);
    for (size_t i = 0; i < got.size(); i++) {
        std::string head = "<" + std::to_string(want[i].priority) + ">";
        EXPECT_EQ(got[i].compare(0, head.size(), head), 0) << got[i];
        std::string body = "QRNG Daemon[" + std::to_string(pid) + "]: " + want[i].text;
        EXPECT_NE(got[i].find(body), std::string::npos) << got[i];
    }
}

constexpr int local1 = LOG_LOCAL1;

// The three levels logged once each, the way the daemon sets up its logging.
void log_every_level(bool to_stdout, uint8_t verbosity, bool open_log)
{
    log_stdout = to_stdout ? 1 : 0;
    apply_verbosity(verbosity);
    if (open_log)
        openlog("QRNG Daemon", LOG_PID | LOG_CONS | LOG_NDELAY, LOG_LOCAL1);
    log_message(LEVEL_ERROR, "error %d\n", 1);
    log_message(LEVEL_WARN, "warn %s\n", "two");
    log_message(LEVEL_INFO, "info %u\n", 3u);
    if (open_log)
        closelog();
}

std::string expected_stdout(const verbosity_case& c)
{
    std::string out = "[ERROR] error 1\n";
    if (c.level >= 1)
        out += "[WARN] warn two\n";
    if (c.level >= 2)
        out += "[INFO] info 3\n";
    return out;
}

std::vector<entry> expected_syslog(const verbosity_case& c)
{
    std::vector<entry> e;
    if (c.verbosity >= 1)
        e.push_back({LOG_ERR | local1, "error 1\n"});
    if (c.verbosity >= 2)
        e.push_back({LOG_WARNING | local1, "warn two\n"});
    if (c.verbosity >= 3)
        e.push_back({LOG_INFO | local1, "info 3\n"});
    return e;
}

TEST(LogSinks, StandardOutputAtEveryVerbosity)
{
    for (const verbosity_case& c : verbosities) {
        SCOPED_TRACE(c.verbosity);
        // The daemon itself: its ERROR shows at every verbosity, nothing else.
        temp_dir dir;
        unique_prefix prefix;
        proc_result r = run_command(
            {QRNGD_BIN, "-s", "-v", std::to_string(c.verbosity), "-p", dir.file("fifo"), "-x", prefix.name()});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "[ERROR] Failed to open device: /dev/" + prefix.name() + "_user\n");

        // WARN and INFO by their thresholds (whatever misses them goes to a masked-off system log).
        r = run_in_child([&] { log_every_level(true, static_cast<uint8_t>(c.verbosity), false); });
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, expected_stdout(c));
    }
}

TEST(LogSinks, SystemLogAtEveryVerbosity)
{
    dev_log_socket sink;
    if (!sink.ok())
        GTEST_SKIP() << "cannot create a unix datagram socket";
    for (const verbosity_case& c : verbosities) {
        for (bool to_stdout : {false, true}) {
            SCOPED_TRACE(std::to_string(c.verbosity) + (to_stdout ? " with -s" : " without -s"));
            temp_dir dir;
            unique_prefix prefix;
            std::vector<std::string> args = {QRNGD_BIN, "-v", std::to_string(c.verbosity), "-p", dir.file("fifo"),
                                             "-x", prefix.name()};
            if (to_stdout)
                args.push_back("-s");
            proc_result r = sink.run([&] {
                std::vector<char*> argv;
                for (std::string& a : args)
                    argv.push_back(&a[0]);
                argv.push_back(nullptr);
                execv(argv[0], argv.data());
                _exit(127);
            });
            if (r.status == dev_log_socket::no_namespace)
                GTEST_SKIP() << "cannot give a child its own /dev/log (no private mount namespace)";
            std::string text = "Failed to open device: /dev/" + prefix.name() + "_user\n";
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, to_stdout ? "[ERROR] " + text : "");
            std::vector<entry> want;
            if (!to_stdout && c.verbosity >= 1)
                want.push_back({LOG_ERR | local1, text});
            expect_entries(sink.received(), want, r.pid);

            r = sink.run([&] { log_every_level(to_stdout, static_cast<uint8_t>(c.verbosity), true); });
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, to_stdout ? expected_stdout(c) : "");
            expect_entries(sink.received(), to_stdout ? std::vector<entry>{} : expected_syslog(c), r.pid);
        }
    }
}

} // namespace
