// The real device layer against regular files on tmpfs standing in for the device nodes.
#include "hw_support.h"
#include "qrng.h"

#include <sys/stat.h>

TEST(XdmaDevices, OpenedMappedAccessedAndClosed)
{
    fake_devices dev;
    xdma_handler x(dev.prefix);
    x.open_user(), x.open_c2h();
    EXPECT_EQ(held(dev.user), "fd " + std::to_string(O_RDWR | O_SYNC) + " map 65536 rw-s 0 ");
    EXPECT_EQ(held(dev.c2h), "fd " + std::to_string(O_RDONLY | O_NONBLOCK) + " ");
    x.write_register(0, 0xB0000000);
    x.write_register(0xFFFC, 0xB000FFFC);
    EXPECT_EQ(dev.changes(), (std::map<size_t, uint32_t>{{0, 0xB0000000}, {0xFFFC, 0xB000FFFC}}));
    // A block read returns the first word and copies `count` words; without a buffer the count is ignored.
    unsigned int buf[3] = {7, 7, 7};
    EXPECT_EQ(x.read_register(0xFFF8, buf, 2), fake_devices::pattern(0xFFF8));
    EXPECT_EQ(std::vector<unsigned>(buf, buf + 3), (std::vector<unsigned>{fake_devices::pattern(0xFFF8), 0xB000FFFC, 7}));
    EXPECT_EQ(x.read_register(0xFFFC, nullptr, 100), 0xB000FFFCu);
    // DMA reads: pread at the byte offset, its result passed on (here a short read, then one past the end).
    std::string mem(64, '\xEE'), want = "\xF0\xF1\xF2\xF3\xF4\xF5\xF6\xF7\xF8\xF9\xFA\xFB\xFC\xFD\xFE\xFF" + mem.substr(16);
    EXPECT_EQ(x.read_memory(&mem[0], 64, 240), 16);
    EXPECT_EQ(x.read_memory(&mem[16], 16, 1UL << 40), 0);
    EXPECT_EQ(mem, want);
    x.close_user(), x.close_c2h();
    EXPECT_EQ(held(dev.user) + held(dev.c2h), "");
    // A DMA node that opens but cannot be read: the read's -1 comes back.
    ASSERT_EQ(remove(dev.c2h.c_str()) + mkdir(dev.c2h.c_str(), 0700), 0);
    x.open_c2h();
    EXPECT_EQ(x.read_memory(buf, sizeof buf, 0), -1);
}

TEST(XdmaDevices, RefusedAccessesWarnAndDoNothing)
{
    fake_devices dev;
    // On handler 0 never opened, 1 opened and closed, 2 open: a register read ('r', copying
    // `count` words, 0 without a buffer), a register write ('w') or a DMA read ('m').
    const struct { int handler; char op; int offset; unsigned long count; } refused[] = {
        {0, 'r', 0x6000, 2}, {0, 'w', 0x6010, 0}, {0, 'm', 0x1000, 0}, {1, 'r', 0x6000, 2}, {1, 'w', 0x6010, 0},
        {1, 'm', 0x1000, 0}, {2, 'r', 0x10000, 0}, {2, 'r', -4, 0}, {2, 'r', 0x6002, 0}, {2, 'r', 0xFFFC, 2},
        {2, 'r', 0, 0x4001}, {2, 'r', 0x7FFFFFFC, 1}, {2, 'w', 0x10000, 0}, {2, 'w', -4, 0}, {2, 'w', 0x6001, 0},
        {2, 'w', 0x7FFFFFFC, 0}};
    proc_result r = run_in_child([&] {
        log_stdout = 1, log_level = LEVEL_INFO;
        xdma_handler x[3] = {xdma_handler(dev.prefix), xdma_handler(dev.prefix), xdma_handler(dev.prefix)};
        x[1].open_user(), x[1].open_c2h(), x[1].close_user(), x[1].close_c2h(), x[2].open_user(), x[2].open_c2h();
        for (const auto& a : refused) {
            unsigned int buf[2] = {7, 7};
            if (a.op == 'r')
                printf("%u %u %u\n", x[a.handler].read_register(a.offset, a.count ? buf : nullptr, a.count), buf[0], buf[1]);
            else if (a.op == 'w')
                x[a.handler].write_register(a.offset, 0xDEADBEEF);
            else
                printf("%zd\n", x[a.handler].read_memory(buf, sizeof buf, static_cast<unsigned long>(a.offset)));
        }
    });
    std::string expected;
    char line[100];
    for (const auto& a : refused)
        expected.append(line, snprintf(line, sizeof line, "[WARN] Device is not open. Failed to %s: %08x\n%s",
                                       a.op == 'r' ? "read register" : a.op == 'w' ? "write register" : "read memory",
                                       unsigned(a.offset), a.op == 'r' ? "0 7 7\n" : a.op == 'w' ? "" : "-2\n"));
    EXPECT_EQ(std::make_pair(r.status, r.out), std::make_pair(0, expected)) << "status 0: no access left the mapping";
    EXPECT_TRUE(dev.changes().empty());
}

// The register node missing (the DMA node is then never tried), the DMA node missing, and a
// register node that opens read-write but cannot be mapped.
TEST(XdmaDevices, StartUpFailuresEndTheProcess)
{
    fake_devices dev[3];
    remove(dev[0].user.c_str());
    remove(dev[1].c2h.c_str());
    ASSERT_EQ(remove(dev[2].user.c_str()) + mkfifo(dev[2].user.c_str(), 0600), 0);
    const std::string failed[] = {"open device: " + dev[0].user, "open device: " + dev[1].c2h, "mmap device: " + dev[2].user};
    for (int i = 0; i < 3; i++) {
        proc_result r = run_in_child([&] {
            log_stdout = 1, log_level = LEVEL_INFO;
            xdma_handler x(dev[i].prefix);
            x.open_user(), x.open_c2h();
        });
        EXPECT_EQ(std::make_pair(r.status, r.out), std::make_pair(1, "[ERROR] Failed to " + failed[i] + "\n"));
    }
}

// The engine's register reads on the real device layer.
struct qrng_test_access { static void set_qrng_num(qrng_handler& q, int n) { q.qrng_num = n; } };

// Rate words at 0x6010 and 0x6014; filter counters (first, second) of chip i at 0x6020 + 8i,
// unsigned; only chips below the count have any.
TEST(EngineRegisters, ReadsTakeTheirOffsets)
{
    temp_dir dir;
    fake_devices dev({{0x6010, 0xE7E8E9EA}, {0x6014, 0x80000001}, {0x6020, 3}, {0x6024, 4}, {0x6028, 5}, {0x602C, 0},
                      {0x6030, 0xFFFFFFFF}, {0x6034, 1}});
    qrng_handler engine(dir.file("fifo"), dev.prefix);
    EXPECT_EQ(std::make_tuple(engine.hw_version(), engine.get_qrng_num(), engine.ddr_address(), engine.get_status(),
                              engine.get_rate()),
              std::make_tuple(0xB0000000u, fake_devices::pattern(0x6004), fake_devices::pattern(0x6008),
                              fake_devices::pattern(0x600C), 0x80000001E7E8E9EAul));
    qrng_test_access::set_qrng_num(engine, 3);
    const std::pair<int, float> ratios[] = {{0, 0.75f}, {1, 0}, {2, 4294967296.0f}, {3, 0}, {-1, 0}};
    for (const auto& r : ratios)
        EXPECT_EQ(engine.get_filter_ratio(r.first), r.second) << r.first;
}
