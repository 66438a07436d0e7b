// The real device layer against regular files on tmpfs standing in for the
// XDMA device nodes: paths, open flags, the shared register mapping, positional
// DMA reads, refused accesses and the start-up failure exits.
#include "defs.h"
#include "hw_support.h"
#include "test_support.h"
#include "xdma.h"

#include <cinttypes>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <sys/mman.h>

namespace {

// Messages of the device layer go to standard output in the child.
void log_to_stdout()
{
    log_stdout = 1;
    log_level = 3;
}

std::string warn_line(const char* what, const char* offset)
{
    return std::string("[WARN] Device is not open. Failed to ") + what + ": " + offset + "\n";
}

TEST(XdmaDevices, OpenFlagsMappingAndClose)
{
    fake_devices dev;
    xdma_handler x(dev.prefix);
    x.open_user();
    x.open_c2h();

    std::vector<int> user_fds = fds_for(dev.user);
    std::vector<int> c2h_fds = fds_for(dev.c2h);
    ASSERT_EQ(user_fds.size(), 1u);
    ASSERT_EQ(c2h_fds.size(), 1u);
    int uf = fd_flags(user_fds[0]);
    int cf = fd_flags(c2h_fds[0]);
    EXPECT_EQ(uf & O_ACCMODE, O_RDWR);
    EXPECT_EQ(uf & O_SYNC, O_SYNC);
    EXPECT_EQ(uf & O_NONBLOCK, 0);
    EXPECT_EQ(cf & O_ACCMODE, O_RDONLY);
    EXPECT_EQ(cf & O_NONBLOCK, O_NONBLOCK);
    EXPECT_EQ(cf & O_DSYNC, 0);

    // One shared, writable mapping of the whole 64 KiB window from offset 0.
    std::vector<std::string> maps = mappings_of(dev.user);
    ASSERT_EQ(maps.size(), 1u);
    unsigned long start = 0, end = 0, file_offset = 1;
    char perms[8] = {};
    ASSERT_EQ(sscanf(maps[0].c_str(), "%lx-%lx %7s %lx", &start, &end, perms, &file_offset), 4);
    EXPECT_EQ(end - start, 0x10000u);
    EXPECT_STREQ(perms, "rw-s");
    EXPECT_EQ(file_offset, 0u);
    EXPECT_TRUE(mappings_of(dev.c2h).empty());

    x.close_user();
    x.close_c2h();
    EXPECT_TRUE(fds_for(dev.user).empty());
    EXPECT_TRUE(fds_for(dev.c2h).empty());
    EXPECT_TRUE(mappings_of(dev.user).empty());
}

TEST(XdmaDevices, RegisterAccessGoesThroughTheSharedMapping)
{
    fake_devices dev;
    xdma_handler x(dev.prefix);
    x.open_user();
    x.open_c2h();

    // Writes land in the file, at both ends of the window and in the middle.
    for (int offset : {0, 0x6000, 0xFFFC}) {
        x.write_register(offset, 0xB0000000u + static_cast<unsigned>(offset));
        EXPECT_EQ(dev.word(static_cast<size_t>(offset)), 0xB0000000u + static_cast<unsigned>(offset)) << offset;
    }
    // Writes to the file are seen by the next read.
    dev.set_word(0x6010, 0xE7E8E9EA);
    EXPECT_EQ(x.read_register(0x6010, nullptr, 1), 0xE7E8E9EAu);
    dev.set_word(0x6010, 0x80000001);
    EXPECT_EQ(x.read_register(0x6010, nullptr, 1), 0x80000001u);

    // A block read returns the first word and copies exactly `count` words.
    unsigned int buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(x.read_register(0x6018, buf, 2), fake_devices::pattern(0x6018));
    EXPECT_EQ(buf[0], fake_devices::pattern(0x6018));
    EXPECT_EQ(buf[1], fake_devices::pattern(0x601C));
    EXPECT_EQ(buf[2], 3u);
    // The last words of the window are within reach of a block read.
    EXPECT_EQ(x.read_register(0xFFF8, buf, 2), fake_devices::pattern(0xFFF8));
    EXPECT_EQ(buf[1], 0xB000FFFCu);
    // Without a buffer the count is ignored, whatever it says.
    EXPECT_EQ(x.read_register(0x6020, nullptr, 5), fake_devices::pattern(0x6020));
    EXPECT_EQ(x.read_register(0xFFFC, nullptr, 100), 0xB000FFFCu);

    x.close_user();
    x.close_c2h();
}

TEST(XdmaDevices, PositionalMemoryReads)
{
    fake_devices dev(true, true, 100);
    xdma_handler x(dev.prefix);
    x.open_user();
    x.open_c2h();

    struct {
        unsigned long size;
        unsigned long offset;
        ssize_t expected; // bytes read
    } cases[] = {
        {16, 8, 16},        // inside the file
        {64, 80, 20},       // short count at the end of the file
        {16, 100, 0},       // at the end
        {16, 1UL << 40, 0}, // far beyond it
        {100, 0, 100},      // the whole file
    };
    for (const auto& c : cases) {
        unsigned char buf[128];
        memset(buf, 0xEE, sizeof buf);
        EXPECT_EQ(x.read_memory(buf, c.size, c.offset), c.expected) << c.offset;
        for (ssize_t i = 0; i < c.expected; i++)
            ASSERT_EQ(buf[i], static_cast<unsigned char>((c.offset + static_cast<unsigned long>(i)) & 0xFF));
        EXPECT_EQ(buf[c.expected], 0xEE) << "wrote past the bytes read";
    }
    x.close_user();
    x.close_c2h();

    // A DMA "device" that opens but cannot be read: the read's -1 comes back.
    fake_devices dir_dev(true, false);
    ASSERT_EQ(mkdir(dir_dev.c2h.c_str(), 0700), 0);
    xdma_handler y(dir_dev.prefix);
    y.open_user();
    y.open_c2h();
    unsigned char buf[16];
    EXPECT_EQ(y.read_memory(buf, sizeof buf, 0), -1);
    y.close_user();
    y.close_c2h();
}

TEST(XdmaDevices, ClosedDeviceAccessesWarnAndDoNothing)
{
    fake_devices dev;
    std::vector<uint32_t> before = dev.user_words();
    // Once never opened, once opened and closed again.
    for (bool open_first : {false, true}) {
        proc_result r = run_in_child([&] {
            log_to_stdout();
            xdma_handler x(dev.prefix);
            if (open_first) {
                x.open_user();
                x.open_c2h();
                x.close_user();
                x.close_c2h();
            }
            unsigned int buf[2] = {7, 7};
            printf("read %u", x.read_register(0x6000, buf, 2));
            printf(" buf %u %u\n", buf[0], buf[1]);
            x.write_register(0x6010, 1);
            unsigned char mem[16];
            printf("memory %zd\n", x.read_memory(mem, sizeof mem, 0x1000));
        });
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, warn_line("read register", "00006000") + "read 0 buf 7 7\n" +
                             warn_line("write register", "00006010") + warn_line("read memory", "00001000") +
                             "memory -2\n")
            << "opened first: " << open_first;
    }
    EXPECT_EQ(dev.user_words(), before);
}

TEST(XdmaDevices, AccessesOutsideTheWindowAreRefused)
{
    fake_devices dev;
    std::vector<uint32_t> before = dev.user_words();
    struct access {
        bool write;
        int offset;
        unsigned long count; // words copied by a read; 0 reads without a buffer
        const char* printed;
    };
    const access refused[] = {
        {false, 0x10000, 0, "00010000"},  {false, -4, 0, "fffffffc"},       {false, 0x6002, 0, "00006002"},
        {false, 0xFFFC, 2, "0000fffc"},   {false, 0xFFF8, 3, "0000fff8"},   {false, 0, 0x4001, "00000000"},
        {false, 0x7FFFFFFC, 1, "7ffffffc"}, {true, 0x10000, 0, "00010000"}, {true, -4, 0, "fffffffc"},
        {true, 0x6001, 0, "00006001"},    {true, 0x7FFFFFFC, 0, "7ffffffc"},
    };
    proc_result r = run_in_child([&] {
        log_to_stdout();
        xdma_handler x(dev.prefix);
        x.open_user();
        x.open_c2h();
        for (const access& a : refused) {
            if (a.write) {
                x.write_register(a.offset, 0xDEADBEEF);
            } else {
                unsigned int buf[2] = {7, 7};
                unsigned int v = x.read_register(a.offset, a.count ? buf : nullptr, a.count);
                printf("read %u buf %u %u\n", v, buf[0], buf[1]);
            }
        }
        x.close_user();
        x.close_c2h();
    });
    std::string expected;
    for (const access& a : refused) {
        expected += warn_line(a.write ? "write register" : "read register", a.printed);
        if (!a.write)
            expected += "read 0 buf 7 7\n";
    }
    EXPECT_EQ(r.status, 0) << "an access left the mapping";
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(dev.user_words(), before);
}

// Runs fn in a child; what it logs goes to standard output.
proc_result start_up(const std::function<void()>& fn)
{
    return run_in_child([&] {
        log_to_stdout();
        fn();
        printf("returned\n");
    });
}

TEST(XdmaDevices, StartUpFailuresEndTheProcess)
{
    {
        // Missing register device: the DMA device is never tried.
        fake_devices none(false, false);
        proc_result r = start_up([&] {
            xdma_handler x(none.prefix);
            x.open_user();
            x.open_c2h();
        });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "[ERROR] Failed to open device: " + none.user + "\n");
    }
    {
        // Register device present, DMA device missing.
        fake_devices user_only(true, false);
        proc_result r = start_up([&] {
            xdma_handler x(user_only.prefix);
            x.open_user();
            x.open_c2h();
        });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "[ERROR] Failed to open device: " + user_only.c2h + "\n");
    }
    {
        // A register "device" that opens read-write but has no mapping: a FIFO.
        fake_devices fifo(false, true);
        ASSERT_EQ(mkfifo(fifo.user.c_str(), 0600), 0);
        proc_result r = start_up([&] {
            xdma_handler x(fifo.prefix);
            x.open_user();
        });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "[ERROR] Failed to mmap device: " + fifo.user + "\n");
    }
    {
        // The prefix is used as it is, even when empty.
        if (file_exists("/dev/_user"))
            GTEST_SKIP() << "/dev/_user exists on this machine";
        proc_result r = start_up([] {
            xdma_handler x("");
            x.open_user();
        });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "[ERROR] Failed to open device: /dev/_user\n");
    }
}

} // namespace
