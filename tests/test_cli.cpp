// The production daemon run as a user runs it, on a machine without a board.
#include "test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A FIFO path in a private directory and a prefix nobody else uses.
struct daemon_setup {
    temp_dir dir;
    unique_prefix prefix;
    std::string fifo = dir.file("qrandom");

    std::vector<std::string> argv(const std::vector<std::string>& extra = {}) const
    {
        std::vector<std::string> a = {QRNGD_BIN, "-s", "-p", fifo, "-x", prefix.name()};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }
    std::string no_device() const { return "[ERROR] Failed to open device: /dev/" + prefix.name() + "_user\n"; }
    bool nothing_created() const
    {
        return access(fifo.c_str(), F_OK) != 0 && access(prefix.lock_path().c_str(), F_OK) != 0;
    }
};

mode_t mode_of(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

TEST(DaemonCli, UsageAndVersionEndTheParse)
{
    const std::string usage =
        std::string("Morvane QRNG Driver\nversion v1.01\n\nUsage: ") + QRNGD_BIN + " [OPTIONS]\nOptions:\n" +
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
    const std::pair<std::vector<std::string>, std::string> cases[] = {{{"-h", "-v", "abc"}, usage},
                                                                      {{"-V", "-t", "abc"}, "v1.01\n"}};
    for (const auto& c : cases) {
        daemon_setup d;
        proc_result r = run_command(d.argv(c.first));
        EXPECT_EQ(r.status, 0) << c.first[0];
        EXPECT_EQ(r.out, c.second);
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(d.nothing_created());
    }
}

TEST(DaemonCli, BadNumbersEndStartUpBeforeAnythingIsCreated)
{
    const std::vector<std::string> cases[] = {
        {"-v", "abc", "stoi", "-h"}, {"-t", "9223372036854775808", "stol"}, {"-m", "metrics.txt", ".prom"}};
    for (const auto& c : cases) {
        daemon_setup d;
        std::vector<std::string> args = {c[0], c[1]};
        args.insert(args.end(), c.begin() + 3, c.end());
        proc_result r = run_command(d.argv(args));
        SCOPED_TRACE(c[0] + " " + c[1]);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        for (const std::string& part : {c[0], c[1], c[2]})
            EXPECT_NE(r.err.find(part), std::string::npos) << r.err;
        EXPECT_TRUE(d.nothing_created());
    }
}

TEST(DaemonCli, GetoptDiagnosticsThenANormalStart)
{
    const std::pair<std::string, std::string> cases[] = {{"-z", "invalid option -- 'z'"},
                                                         {"-p", "option requires an argument -- 'p'"}};
    for (const auto& c : cases) {
        daemon_setup d;
        proc_result r = run_command(d.argv({c.first}));
        EXPECT_EQ(r.status, 1) << c.second;
        EXPECT_NE(r.err.find(c.second), std::string::npos) << r.err;
        EXPECT_EQ(r.out, d.no_device());
        EXPECT_TRUE(S_ISFIFO(mode_of(d.fifo))); // the earlier -p still names it
    }
}

TEST(DaemonCli, FifoAndLockFileFollowTheUmask)
{
    for (unsigned umask_value : {0u, 027u}) {
        daemon_setup d;
        std::vector<std::string> argv = {"/bin/sh", "-c", "umask " + std::to_string(umask_value / 8) +
                                                              std::to_string(umask_value % 8) + "; exec \"$@\"", "sh"};
        for (const std::string& a : d.argv())
            argv.push_back(a);
        proc_result r = run_command(argv);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, d.no_device());
        // No one but the daemon's user may write into the stream or take its lock.
        EXPECT_EQ(mode_of(d.fifo), S_IFIFO | (0644 & ~umask_value)) << umask_value;
        EXPECT_EQ(mode_of(d.prefix.lock_path()), S_IFREG | 0600) << umask_value;
    }

}

TEST(DaemonCli, OneDaemonPerPrefix)
{
    daemon_setup d;
    int held = open(d.prefix.lock_path().c_str(), O_RDONLY | O_CREAT, 0644);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    proc_result refused = run_command(d.argv());
    EXPECT_EQ(refused.status, 255);
    EXPECT_EQ(refused.out, "[ERROR] Cannot get lock file\n");
    close(held); // the file stays; only the lock mattered
    proc_result again = run_command(d.argv());
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.out, d.no_device());

    // Lock files planted by someone else end the start at once, saying why.
    struct planted {
        const char* what;
        std::function<void(const std::string&)> plant;
        const char* reason;
    } cases[] = {
        {"fifo", [](const std::string& p) { mkfifo(p.c_str(), 0666); }, "is not a regular file"},
        {"symlink", [&](const std::string& p) { symlink(d.fifo.c_str(), p.c_str()); }, "is a symbolic link"},
        {"foreign", [](const std::string& p) { write_file(p, ""); chown(p.c_str(), 65534, 65534); },
         "belongs to user 65534"},
        {"hard link", [](const std::string& p) { write_file(p + ".other", ""); link((p + ".other").c_str(), p.c_str()); },
         "has 2 hard links"},
        {"missing directory", nullptr, "cannot be opened: No such file or directory"},
    };
    for (const planted& c : cases) {
        unique_prefix prefix;
        std::string name = prefix.name();
        if (c.plant)
            c.plant(prefix.lock_path());
        else
            name += "-missing/sub";
        if (c.plant && std::string(c.what) == "foreign" && geteuid() != 0)
            continue; // only root can give a file away
        proc_result r = run_command({QRNGD_BIN, "-s", "-p", d.fifo, "-x", name}, {}, 10);
        EXPECT_EQ(r.status, 255) << c.what;
        EXPECT_EQ(r.out, "[ERROR] Cannot open lock file\n[ERROR] Lock file /var/lock/qrng_" + name + ".lock " +
                             c.reason + (std::string(c.what) == "foreign" ? ", not to this daemon's user 0\n" : "\n"))
            << c.what;
        unlink((prefix.lock_path() + ".other").c_str());
    }
}

} // namespace
