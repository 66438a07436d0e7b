// The production daemon run as a user runs it: usage and version, rejected
// numbers, getopt's own diagnostics, the FIFO, the per-prefix lock and the
// missing register device that ends every start-up on a machine without a board.
#include "test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string daemon_bin = QRNGD_BIN;

// A FIFO path in a private directory and a prefix nobody else uses.
struct daemon_setup {
    temp_dir dir;
    unique_prefix prefix;
    std::string fifo = dir.file("qrandom");

    std::vector<std::string> argv(const std::vector<std::string>& extra) const
    {
        std::vector<std::string> a = {daemon_bin, "-s", "-p", fifo, "-x", prefix.name()};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }
    std::string no_device() const { return "[ERROR] Failed to open device: /dev/" + prefix.name() + "_user\n"; }
};

mode_t mode_of(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

std::string usage_text(const std::string& argv0)
{
    return "Morvane QRNG Driver\n"
           "version v1.01\n"
           "\n"
           "Usage: " +
           argv0 +
           " [OPTIONS]\n"
           "Options:\n"
           "\t-h             Print this help message\n"
           "\t-v <verbosity> Set log level (0-4)\n"
           "\t-p <path>      Set randomness output socket file\n"
           "\t-b             Use urandom as backup random source (only use when new randomness is set)\n"
           "\t-x <prefix>    XDMA prefix (default: xdma0)\n"
           "\t-t <delay>     Set primary thread wait time in us (default: 10)\n"
           "\t-q <mask>      Set QRNG mask (default: 0xFF)\n"
           "\t-r             Set new randomness, always wait for new random data\n"
           "\t-o             Only read loop\n"
           "\t-a             Strict mode, only starts if all QRNG are working\n"
           "\t-f             Activate filtering of repeated phrases on each QRNG reading flow\n"
           "\t-e             Set QRNGs as an entropy source instead of random number generator\n"
           "\t-s             Log to stdout\n"
           "\t-V             Show version\n";
}

TEST(DaemonCli, UsageAndVersionEndTheParse)
{
    struct {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{"-h"}, usage_text(daemon_bin)},
        {{"-h", "-v", "abc"}, usage_text(daemon_bin)},
        {{"-s", "-v", "3", "-h", "-q", "zz"}, usage_text(daemon_bin)},
        {{"-V"}, "v1.01\n"},
        {{"-s", "-V", "-t", "abc"}, "v1.01\n"},
    };
    for (const auto& c : cases) {
        daemon_setup d;
        proc_result r = run_command(d.argv(c.args));
        EXPECT_EQ(r.status, 0) << c.args[0];
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(file_exists(d.fifo));
        EXPECT_FALSE(file_exists(d.prefix.lock_path()));
    }
}

TEST(DaemonCli, BadNumbersEndStartUpBeforeAnythingIsCreated)
{
    struct {
        std::vector<std::string> args;
        std::string option, arg, conversion;
    } cases[] = {
        {{"-v", "abc"}, "-v", "abc", "stoi"},
        {{"-v", "abc", "-h"}, "-v", "abc", "stoi"},
        {{"-q", "0xFFFFFFFF"}, "-q", "0xFFFFFFFF", "stoi"},
        {{"-qx1"}, "-q", "x1", "stoi"},
        {{"-c", "99999999999"}, "-c", "99999999999", "stoi"},
        {{"-t", "9223372036854775808"}, "-t", "9223372036854775808", "stol"},
    };
    for (const auto& c : cases) {
        daemon_setup d;
        proc_result r = run_command(d.argv(c.args));
        SCOPED_TRACE(c.option + " " + c.arg);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        ASSERT_FALSE(r.err.empty());
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        EXPECT_NE(r.err.find(c.option), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.arg), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.conversion), std::string::npos) << r.err;
        EXPECT_FALSE(file_exists(d.fifo));
        EXPECT_FALSE(file_exists(d.prefix.lock_path()));
    }
}

TEST(DaemonCli, GetoptDiagnosticsThenANormalStart)
{
    struct {
        std::vector<std::string> args;
        std::string diagnostic;
    } cases[] = {
        {{"-z"}, "invalid option -- 'z'"},
        {{"-p"}, "option requires an argument -- 'p'"},
    };
    for (const auto& c : cases) {
        daemon_setup d;
        proc_result r = run_command(d.argv(c.args));
        EXPECT_EQ(r.status, 1) << c.diagnostic;
        EXPECT_NE(r.err.find(c.diagnostic), std::string::npos) << r.err;
        EXPECT_EQ(r.out, d.no_device());
        // The earlier -p still names the FIFO.
        EXPECT_TRUE(S_ISFIFO(mode_of(d.fifo)));
    }
}

TEST(DaemonCli, FifoAndLockFileFollowTheUmask)
{
    for (mode_t umask_value : {mode_t(0), mode_t(027)}) {
        daemon_setup d;
        char script[64];
        snprintf(script, sizeof script, "umask %03o; exec \"$@\"", static_cast<unsigned>(umask_value));
        std::vector<std::string> argv = {"/bin/sh", "-c", script, "sh"};
        for (const std::string& a : d.argv({}))
            argv.push_back(a);
        proc_result r = run_command(argv);
        SCOPED_TRACE(umask_value);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, d.no_device());
        mode_t fifo = mode_of(d.fifo);
        EXPECT_TRUE(S_ISFIFO(fifo));
        EXPECT_EQ(fifo & 07777, 0666 & ~umask_value);
        mode_t lock = mode_of(d.prefix.lock_path());
        EXPECT_TRUE(S_ISREG(lock));
        EXPECT_EQ(lock & 07777, 0644 & ~umask_value);
    }
}

TEST(DaemonCli, ExistingFileAtTheFifoPathIsLeftAlone)
{
    daemon_setup d;
    write_file(d.fifo, "not a fifo");
    ASSERT_EQ(chmod(d.fifo.c_str(), 0600), 0);
    proc_result r = run_command(d.argv({}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, d.no_device());
    EXPECT_EQ(mode_of(d.fifo), S_IFREG | 0600);
    EXPECT_EQ(read_file(d.fifo), "not a fifo");
}

TEST(DaemonCli, OneDaemonPerPrefix)
{
    daemon_setup d;
    int held = open(d.prefix.lock_path().c_str(), O_RDONLY | O_CREAT, 0644);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);

    proc_result refused = run_command(d.argv({}));
    EXPECT_EQ(refused.status, 255);
    EXPECT_EQ(refused.out, "[ERROR] Cannot get lock file\n");

    // Another prefix with the same FIFO is not held back.
    unique_prefix other;
    proc_result started = run_command({daemon_bin, "-s", "-p", d.fifo, "-x", other.name()});
    EXPECT_EQ(started.status, 1);
    EXPECT_EQ(started.out, "[ERROR] Failed to open device: /dev/" + other.name() + "_user\n");

    // Once the holder lets go, the same prefix starts again.
    close(held);
    proc_result again = run_command(d.argv({}));
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.out, d.no_device());
}

TEST(DaemonCli, LockFileThatCannotBeOpened)
{
    // The prefix names a directory that does not exist under /var/lock.
    temp_dir dir;
    unique_prefix base;
    std::string prefix = base.name() + "-missing/sub";
    proc_result r = run_command({daemon_bin, "-s", "-p", dir.file("qrandom"), "-x", prefix});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "[ERROR] Cannot open lock file\n");
    EXPECT_TRUE(S_ISFIFO(mode_of(dir.file("qrandom"))));
}

} // namespace
