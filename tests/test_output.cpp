// The output FIFO on its own: what stands at its path, its room, its writes.
#include "defs.h"
#include "qrng_output.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Runs fn with the log on standard output; returns what it logged.
template <class F> std::string logged(F fn)
{
    log_stdout = 1;
    log_level = 2;
    testing::internal::CaptureStdout();
    fn();
    fflush(stdout);
    log_stdout = 0;
    log_level = 0;
    return testing::internal::GetCapturedStdout();
}

} // namespace

TEST(FifoOutput, OnlyItsOwnFifoOrANamedDeviceIsOpened)
{
    // Readers are opened beside the FIFOs that need one (and left to the test's end).
    temp_dir dir;
    const std::string content = "precious data, not a FIFO\n";
    struct row {
        const char* what;
        std::function<void(const std::string&)> prepare;
        bool opens;
        std::string logged; // the one line the first open logs ({F} the path); "" for none
    } rows[] = {
        {"own FIFO with a reader", [](const std::string& p) { mkfifo(p.c_str(), 0600); open(p.c_str(), O_RDONLY | O_NONBLOCK); },
         true, ""},
        {"own FIFO, no reader", [](const std::string& p) { mkfifo(p.c_str(), 0600); }, false, ""},
        {"nothing", nullptr, false, "[WARN] Output FIFO {F} had disappeared; made it again"},
        {"FIFO others may write", [](const std::string& p) { mkfifo(p.c_str(), 0600); chmod(p.c_str(), 0666); open(p.c_str(), O_RDONLY | O_NONBLOCK); }, false,
         "[WARN] Output FIFO {F} was writable by other users (mode 0666); made it again without their write access"},
        {"regular file", [&](const std::string& p) { write_file(p, content); }, false,
         "[ERROR] Output {F} is not a FIFO or character device; nothing is written to it"},
        {"directory", [](const std::string& p) { mkdir(p.c_str(), 0700); }, false, "[ERROR] Cannot open output {F}: Is a directory"},
        {"symbolic link", [](const std::string& p) { symlink("/dev/null", p.c_str()); }, false,
         "[ERROR] Output {F} is a symbolic link; nothing is written through it"},
        {"socket", [](const std::string& p) {
             sockaddr_un addr{AF_UNIX, {}};
             snprintf(addr.sun_path, sizeof addr.sun_path, "%s", p.c_str());
             int fd = socket(AF_UNIX, SOCK_STREAM, 0);
             bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
             close(fd);
         }, false, "[ERROR] Cannot open output {F}: No such device or address"},
        {"foreign FIFO", [](const std::string& p) { mkfifo(p.c_str(), 0644); chown(p.c_str(), 65534, 65534); open(p.c_str(), O_RDONLY | O_NONBLOCK); }, false,
         "[ERROR] Output FIFO {F} belongs to user 65534 (mode 0644)"},
    };
    for (const row& r : rows) {
        if (std::string(r.what) == "foreign FIFO" && geteuid() != 0)
            continue; // only root can give a FIFO away
        std::string path = dir.file(r.what);
        if (r.prepare)
            r.prepare(path);
        fifo_output out(path);
        int fd = -1;
        // A problem is reported once, however often the open is tried.
        std::string log = logged([&] { fd = out.open(); out.open(); });
        EXPECT_EQ(fd >= 0, r.opens) << r.what;
        std::string expected = r.logged;
        if (size_t at = expected.find("{F}"); at != std::string::npos)
            expected.replace(at, 3, path);
        EXPECT_EQ(log.rfind(expected, 0), 0u) << r.what << ": " << log;
        EXPECT_EQ(count_lines_with(log, "]"), expected.empty() ? 0 : 1) << log;
        struct stat st;
        if (std::string(r.what) == "FIFO others may write" || std::string(r.what) == "nothing") {
            EXPECT_TRUE(stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode) && !(st.st_mode & 022)) << r.what;
        }
        if (fd >= 0)
            close(fd);
    }
    EXPECT_EQ(read_file(dir.file("regular file")), content);
    // A FIFO removed from its path while open is made again there, for later readers.
    const std::string own = dir.file("own FIFO with a reader");
    unlink(own.c_str());
    fifo_output again(own);
    EXPECT_EQ(logged([&] { again.check_path(monotonic_ns()); }),
              "[WARN] Output FIFO " + own + " had disappeared; made it again\n");
    // A character device that the path names directly, and a path too long: the
    // reason ends the line, however long the path.
    fifo_output device("/dev/null");
    int fd = device.open();
    EXPECT_GE(fd, 0);
    close(fd);
    std::string long_path = "/" + std::string(9999, 'q');
    fifo_output too_long(long_path);
    EXPECT_EQ(logged([&] { too_long.open(); }), "[ERROR] Cannot open output " + long_path + ": File name too long\n");
    // Nothing at the path, and no FIFO can be made there (sysfs): mkfifo's reason, not open's.
    fifo_output unmakeable("/sys/qrngd-test-fifo");
    std::string log = logged([&] { unmakeable.open(); });
    EXPECT_EQ(log.rfind("[ERROR] Cannot make the output FIFO /sys/qrngd-test-fifo: ", 0), 0u) << log;
    EXPECT_EQ(log.find("No such file"), std::string::npos) << log;
}

TEST(FifoOutput, RoomCountsWholeSlotsAndWritesReportFailures)
{
    EXPECT_EQ(fifo_output::slot_room(1 << 20, 0, 4096, 0), 65536u);
    // A reader of 2,500-byte blocks leaves a partly read page: it still takes a slot.
    EXPECT_EQ(fifo_output::slot_room(65536, 65536 - 2500, 4096, 0), 0u);
    EXPECT_EQ(fifo_output::slot_room(65536, 65536 - 6596, 4096, 0), 4096u);
    // A write of no whole number of pages may have left one slot partly filled.
    EXPECT_EQ(fifo_output::slot_room(65536, 65536 - 8192, 4096, 1), 4096u);

    // A FIFO whose reader has gone says so before anything is read for it.
    temp_dir dir;
    std::string path = dir.file("fifo");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    fifo_output out(path);
    int fd = out.open();
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(out.room(fd, true).gone);
    close(reader);
    EXPECT_TRUE(out.room(fd, true).gone);
    close(fd);

    // A device that refuses writes: reported once per cause.
    fifo_output full("/dev/full");
    fd = full.open();
    ASSERT_GE(fd, 0);
    ssize_t written = 0;
    char chunk[4096] = {};
    std::string log = logged([&] {
        EXPECT_EQ(full.write(fd, chunk, sizeof chunk, written), fifo_output::write_t::failing);
        EXPECT_EQ(full.write(fd, chunk, sizeof chunk, written), fifo_output::write_t::failing);
    });
    EXPECT_EQ(log, "[ERROR] Writing to /dev/full failed: No space left on device\n");
    close(fd);
}
