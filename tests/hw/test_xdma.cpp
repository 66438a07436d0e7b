// The real device layer against regular files on tmpfs standing in for the
// device nodes.
#include "defs.h"
#include "hw_support.h"
#include "test_support.h"
#include "xdma.h"

#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace {

// Runs fn in a child that logs everything to standard output.
proc_result logged(const std::function<void()>& fn)
{
    return run_in_child([&] {
        log_stdout = 1;
        log_level = 3;
        fn();
    });
}

TEST(XdmaDevices, OpenFlagsMappingAndClose)
{
    fake_devices dev;
    xdma_handler x(dev.prefix);
    x.open_user();
    x.open_c2h();
    auto flags = [](const std::string& path) {
        std::vector<int> fds = fds_for(path);
        std::ifstream in("/proc/self/fdinfo/" + std::to_string(fds.size() == 1 ? fds[0] : -1));
        std::string key, octal;
        while (in >> key >> octal)
            if (key == "flags:")
                return static_cast<int>(std::stol(octal, nullptr, 8));
        return -1;
    };
    EXPECT_EQ(flags(dev.user) & (O_ACCMODE | O_SYNC | O_NONBLOCK), O_RDWR | O_SYNC);
    EXPECT_EQ(flags(dev.c2h) & (O_ACCMODE | O_DSYNC | O_NONBLOCK), O_RDONLY | O_NONBLOCK);

    // One shared, writable mapping of the whole window from offset 0.
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

TEST(XdmaDevices, RegistersAndMemoryThroughTheDevices)
{
    fake_devices dev;
    xdma_handler x(dev.prefix);
    x.open_user();
    x.open_c2h();
    for (int offset : {0, 0xFFFC}) {
        x.write_register(offset, 0xB0000000u + static_cast<unsigned>(offset));
        EXPECT_EQ(dev.word(static_cast<size_t>(offset)), 0xB0000000u + static_cast<unsigned>(offset));
    }
    dev.set_word(0x6010, 0xE7E8E9EA);
    EXPECT_EQ(x.read_register(0x6010, nullptr, 1), 0xE7E8E9EAu);

    // A block read returns the first word and copies `count` words; without a buffer
    // the count is ignored.
    unsigned int buf[3] = {1, 2, 3};
    EXPECT_EQ(x.read_register(0x6018, buf, 2), fake_devices::pattern(0x6018));
    EXPECT_EQ(buf[0], fake_devices::pattern(0x6018));
    EXPECT_EQ(buf[1], fake_devices::pattern(0x601C));
    EXPECT_EQ(buf[2], 3u);
    EXPECT_EQ(x.read_register(0xFFF8, buf, 2), fake_devices::pattern(0xFFF8));
    EXPECT_EQ(buf[1], 0xB000FFFCu);
    EXPECT_EQ(x.read_register(0xFFFC, nullptr, 100), 0xB000FFFCu);

    // The DMA file holds 256 bytes, byte i being i.
    const unsigned long reads[][3] = {{16, 8, 16}, {64, 240, 16}, {16, 1UL << 40, 0}}; // size, offset, bytes read
    for (const auto& r : reads) {
        unsigned char mem[128];
        memset(mem, 0xEE, sizeof mem);
        EXPECT_EQ(x.read_memory(mem, r[0], r[1]), static_cast<ssize_t>(r[2])) << r[1];
        for (unsigned long i = 0; i < r[2]; i++)
            ASSERT_EQ(mem[i], static_cast<unsigned char>(r[1] + i));
        EXPECT_EQ(mem[r[2]], 0xEE);
    }
    x.close_user();
    x.close_c2h();

    // A DMA node that opens but cannot be read: the read's -1 comes back.
    fake_devices dir_dev(true, false);
    ASSERT_EQ(mkdir(dir_dev.c2h.c_str(), 0700), 0);
    xdma_handler y(dir_dev.prefix);
    y.open_user();
    y.open_c2h();
    EXPECT_EQ(y.read_memory(buf, sizeof buf, 0), -1);
    y.close_user();
    y.close_c2h();
}

TEST(XdmaDevices, RefusedAccessesWarnAndDoNothing)
{
    fake_devices dev;
    std::vector<uint32_t> before = dev.user_words();
    const struct {
        bool write;
        int offset;
        unsigned long count; // words copied by a read; 0 reads without a buffer
        const char* printed;
    } outside[] = {
        {false, 0x10000, 0, "00010000"}, {false, -4, 0, "fffffffc"},     {false, 0x6002, 0, "00006002"},
        {false, 0xFFFC, 2, "0000fffc"},  {false, 0, 0x4001, "00000000"}, {false, 0x7FFFFFFC, 1, "7ffffffc"},
        {true, 0x10000, 0, "00010000"},  {true, -4, 0, "fffffffc"},      {true, 0x6001, 0, "00006001"},
        {true, 0x7FFFFFFC, 0, "7ffffffc"},
    };
    auto warning = [](const char* what, const char* offset) {
        return std::string("[WARN] Device is not open. Failed to ") + what + ": " + offset + "\n";
    };
    // Closed devices, never opened and opened then closed; then the open window's edges.
    std::string closed = warning("read register", "00006000") + "read 0 buf 7 7\n" +
                         warning("write register", "00006010") + warning("read memory", "00001000") + "memory -2\n";
    std::string expected = closed + closed;
    for (const auto& a : outside)
        expected += warning(a.write ? "write register" : "read register", a.printed) +
                    (a.write ? "" : "read 0 buf 7 7\n");
    proc_result r = logged([&] {
        xdma_handler x(dev.prefix);
        for (int pass = 0; pass < 2; pass++) {
            unsigned int buf[2] = {7, 7};
            printf("read %u buf %u %u\n", x.read_register(0x6000, buf, 2), buf[0], buf[1]);
            x.write_register(0x6010, 1);
            printf("memory %zd\n", x.read_memory(buf, sizeof buf, 0x1000));
            x.open_user();
            x.open_c2h();
            if (pass == 0) {
                x.close_user();
                x.close_c2h();
            }
        }
        for (const auto& a : outside) {
            unsigned int buf[2] = {7, 7};
            if (a.write)
                x.write_register(a.offset, 0xDEADBEEF);
            else
                printf("read %u buf %u %u\n", x.read_register(a.offset, a.count ? buf : nullptr, a.count), buf[0],
                       buf[1]);
        }
    });
    EXPECT_EQ(r.status, 0) << "an access left the mapping";
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(dev.user_words(), before);
}

TEST(XdmaDevices, StartUpFailuresEndTheProcess)
{
    fake_devices none(false, false), user_only(true, false), fifo(false);
    ASSERT_EQ(mkfifo(fifo.user.c_str(), 0600), 0); // opens read-write, cannot be mapped
    const std::pair<std::string, std::string> cases[] = {
        {none.prefix, "Failed to open device: " + none.user}, // the DMA node is never tried
        {user_only.prefix, "Failed to open device: " + user_only.c2h},
        {fifo.prefix, "Failed to mmap device: " + fifo.user},
        {"", "Failed to open device: /dev/_user"},
    };
    for (const auto& c : cases) {
        if (c.first.empty() && access("/dev/_user", F_OK) == 0)
            continue;
        proc_result r = logged([&] {
            xdma_handler x(c.first);
            x.open_user();
            x.open_c2h();
            printf("returned\n");
        });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "[ERROR] " + c.second + "\n");
    }
}

} // namespace
