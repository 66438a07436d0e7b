// The engine in process, on the simulated board: the monitor's passes and its
// status line, run()'s warm-up sequence, the checksum window and deliveries.
#include "qrng.h"
#include "sim_model.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

struct qrng_test_access {
    static void set_qrng_num(qrng_handler& q, int n) { q.qrng_num = n; }
    static uint64_t ddr_addr(qrng_handler& q) { return q.ddr_addr.load(); }
    static uint64_t cycle_count(qrng_handler& q) { return q.cycle_count.load(); }
    static float throughput(qrng_handler& q) { return q.throughput.load(); }
    static uint64_t bytes_written(qrng_handler& q) { return q.bytes_written.load(); }
    static double generation_rate(qrng_handler& q) { return q.counters.generation_rate.load(); }
    static void deliver_backup(qrng_handler& q, int fd)
    {
        loop_state s;
        q.deliver_backup(fd, s);
    }
    static ssize_t deliver(qrng_handler& q, int fd, const char* data, uint32_t size)
    {
        loop_state s;
        ssize_t written = 0;
        q.deliver(fd, s, data, size, true, written);
        return written;
    }
    // Reads and tests the chunks at read positions 0 and 16384 of a trusted board:
    // the first goes out once the second has passed. Returns the read position
    // afterwards and the bytes still waiting.
    static uint64_t deliver_chunk(qrng_handler& q, int fd, uint32_t& waiting)
    {
        for (unsigned i = 0; i < board_health::passes_to_trust; i++)
            q.health.chunk(true, 0, 0, 0);
        loop_state s;
        for (int i = 0; i < 2; i++) {
            qrng_handler::chunk_verdict v = q.read_chunk(s);
            q.hold_back(s, v, s.cursor.read_pos - CHUNK_WORDS);
        }
        q.write_pending(fd, s, q.output_room(fd, s));
        waiting = s.pending_end - s.pending_at;
        return s.cursor.read_pos;
    }
    // Runs one compute pass of the monitor, whose state lives from one pass to
    // the next; true when it asks to go on.
    static bool monitor_pass(qrng_handler& q)
    {
        static monitor_state state;
        return q.monitor_compute(state);
    }
};

namespace {

// The main thread's delays, in order; the monitor thread's are not recorded.
std::vector<unsigned long> delays;
unsigned long stop_at_delay = 0; // sets exit_flag to 1 at the first delay of this length, 0 never
std::thread::id main_thread;

void record_delay(unsigned long us)
{
    if (std::this_thread::get_id() != main_thread) {
        usleep(1000); // the monitor passes quickly, without spinning
        return;
    }
    delays.push_back(us);
    if (us == stop_at_delay)
        qrng_handler::exit_flag = 1;
}

void no_delay(unsigned long) {}

class EngineTest : public testing::Test {
protected:
    void configure(const std::string& config)
    {
        ASSERT_EQ(sim_configure(config), "");
        ASSERT_TRUE(sim_trace_to(trace));
    }
    void SetUp() override
    {
        delays.clear();
        stop_at_delay = 0;
        main_thread = std::this_thread::get_id();
        qrng_handler::exit_flag = 0;
    }
    void TearDown() override
    {
        sim_trace_to("");
        sim_real_clock();
        set_delay_function(nullptr);
        qrng_handler::exit_flag = 0;
        log_stdout = 0;
        log_level = 0;
    }
    std::string trace_text() { return read_file(trace); }

    temp_dir dir;
    unique_prefix prefix;
    std::string fifo = dir.file("qrandom");
    std::string trace = dir.file("trace");
};

} // namespace

TEST_F(EngineTest, MonitorPublishesAdvancesWrapsAndIdles)
{
    configure("board=m2,chips=2,rate=64");
    qrng_handler engine(fifo, prefix.name());
    ASSERT_TRUE(engine.check_version());
    qrng_test_access::set_qrng_num(engine, 2);
    sim_freeze_clock();
    engine.spi_reset();
    engine.spi_start();
    log_stdout = 1;
    log_level = 2;
    // One compute pass after `seconds` of the board's time; returns what it logged.
    auto pass = [&](double seconds) {
        sim_advance_clock(seconds);
        testing::internal::CaptureStdout();
        EXPECT_TRUE(qrng_test_access::monitor_pass(engine));
        fflush(stdout);
        return testing::internal::GetCapturedStdout();
    };
    // 64 MiB/s for 1 s: the pointer moves 16 Mi words.
    std::string line = pass(1.0);
    EXPECT_EQ(qrng_test_access::ddr_addr(engine), 0x1000000u);
    EXPECT_NE(line.find("Cycle: 0 64.00 MB gen - Page 0 Actual DDR_Addr 32768 - offset 01000000"), std::string::npos)
        << line;
    // No advance, then past the ring's end: the wrap is counted, no line, throughput
    // kept; operators see a rate of 0 for a board standing still.
    float kept = qrng_test_access::throughput(engine);
    EXPECT_GT(kept, 0.0f);
    EXPECT_EQ(pass(0), "");
    EXPECT_EQ(qrng_test_access::generation_rate(engine), 0.0);
    EXPECT_EQ(pass(3.5), "");
    EXPECT_EQ(qrng_test_access::cycle_count(engine), 1u);
    EXPECT_EQ(qrng_test_access::ddr_addr(engine), 0x800000u);
    EXPECT_EQ(qrng_test_access::throughput(engine), kept);
}

TEST_F(EngineTest, MonitorGivesUpAfter52PassesWithoutAnActiveChip)
{
    configure("board=m2,chips=2,dead=3");
    qrng_handler engine(fifo, prefix.name());
    ASSERT_TRUE(engine.check_version());
    qrng_test_access::set_qrng_num(engine, 2);
    set_delay_function(no_delay);
    log_stdout = 1;
    testing::internal::CaptureStdout();
    engine.throughput_compute();
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(qrng_handler::exit_flag.load(), 3);
    EXPECT_EQ(count_lines_with(out, "[ERROR] No Active/Valid QRNG Chips available - aborting"), 1) << out;
    // One rate word per compute pass.
    EXPECT_EQ(count_lines_with(trace_text(), "R 6010"), 52);
}

TEST_F(EngineTest, RunWarmsUpThenStopsOnRequest)
{
    configure("board=m2,chips=4,rate=64");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    qrng_handler engine(fifo, prefix.name());
    ASSERT_TRUE(engine.check_version());
    engine.set_thread_period(7);
    // Warm-up: 2 + 2 ms, ten 0.4 s flashes, 2 ms, then 2 ms after spi_start in
    // slices that follow the board's write position; then the first loop pass stops.
    stop_at_delay = 7;
    set_delay_function(record_delay);
    EXPECT_EQ(engine.run(), 0);
    std::vector<unsigned long> expected = {2000, 2000};
    expected.insert(expected.end(), 10, 400000);
    expected.push_back(2000);
    ASSERT_GE(delays.size(), expected.size() + 1);
    EXPECT_EQ(std::vector<unsigned long>(delays.begin(), delays.begin() + 13), expected);
    EXPECT_EQ(delays.back(), 7u);
    EXPECT_EQ(std::accumulate(delays.begin() + 13, delays.end() - 1, 0UL), 2000u);
    std::string t = trace_text();
    // The stop sequence ends the run: spi_stop then spi_disable, after the mode write.
    size_t mode = t.find("W 6018 20100000");
    ASSERT_NE(mode, std::string::npos);
    EXPECT_NE(t.find("W 6000 AF000000\nW 6000 AE000000", mode), std::string::npos) << t;
    EXPECT_EQ(qrng_handler::pipe_fd.load(), -1);
}

TEST(ChecksumWindow, ThirdOccurrenceWithinTheWindowIsReported)
{
    checksum_window w;
    uint32_t previous = 0;
    EXPECT_EQ(w.add(7, 0x200, previous), 1u);
    EXPECT_EQ(w.add(7, 0x400, previous), 2u);
    EXPECT_EQ(previous, 0x200u);
    EXPECT_EQ(w.add(7, 0x600, previous), checksum_window::report_at);
    EXPECT_EQ(previous, 0x400u);
    // Older checks leave the window: memory stays bounded, old values are forgotten.
    uint32_t x = 12345;
    for (size_t i = 0; i < checksum_window::size; i++)
        EXPECT_LT(w.add(x = x * 2654435761u + 1, 0, previous), checksum_window::report_at);
    EXPECT_EQ(w.distinct(), checksum_window::size);
    EXPECT_EQ(w.add(7, 0x800, previous), 1u);
}

TEST_F(EngineTest, DeliveriesCountOnlyWhatTheFifoTook)
{
    // A backup source shorter than a chunk: the pass delivers what there is and
    // moves on. A FIFO that takes only a page of a tested chunk from the board: only
    // that page counts as delivered, the rest waits, and the read position is past
    // the whole chunk, which is read once.
    configure("board=m2");
    sim_freeze_clock();
    std::string backup = dir.file("backup");
    write_file(backup, std::string(100, 'b'));
    qrng_handler engine(fifo, prefix.name());
    engine.set_backup_source(backup);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    qrng_test_access::deliver_backup(engine, fds[1]);
    char got[65536];
    EXPECT_EQ(read(fds[0], got, sizeof got), 100);
    EXPECT_EQ(qrng_test_access::bytes_written(engine), 100u);
    ASSERT_EQ(fcntl(fds[1], F_SETPIPE_SZ, 4096), 4096);
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    engine.spi_start();
    sim_advance_clock(0.1);
    uint32_t waiting = 0;
    // (A slow run may lose the lap count between its samples: the ring address stays.)
    EXPECT_EQ(qrng_test_access::deliver_chunk(engine, fds[1], waiting) % MAX_DDR_ADDRESS, 32768u);
    EXPECT_EQ(waiting, 65536u - 4096u);
    EXPECT_EQ(qrng_test_access::bytes_written(engine), 100u + 4096u);
    // A write the FIFO takes only in part counts what it took.
    EXPECT_EQ(read(fds[0], got, sizeof got), 4096);
    EXPECT_EQ(qrng_test_access::deliver(engine, fds[1], got, 8192), 4096);
    EXPECT_EQ(qrng_test_access::bytes_written(engine), 100u + 8192u);
    close(fds[0]);
    close(fds[1]);
}

TEST(MonitorRules, ThroughputAndChipText)
{
    // 0x100 -> 0x40100 words in 0.25 s is 1 MiB in a quarter second.
    EXPECT_FLOAT_EQ(qrng_handler::compute_throughput((0x40100 - 0x100) * 4ull, 0.25), 4.0f);

    char text[60] = {0};
    qrng_handler::append_chip_text(text, sizeof text, 0, 0xF3 / 256.0f, 0.0f, 1, false);
    qrng_handler::append_chip_text(text, sizeof text, 1, 0.0f, 0.0f, 0, false);
    qrng_handler::append_chip_text(text, sizeof text, 2, 0xF3 / 256.0f, 0.9375f, 1, true);
    EXPECT_STREQ(text, "Q1: 0.95(1) Q2: 0.00(0) Q3: 0.95/0.94(1) ");
}

TEST(MonitorRules, ChipTextNeverOverrunsItsBuffer)
{
    // A filter ratio from wild counters prints far more than 30 characters.
    char text[31 + 8];
    memset(text, 0, sizeof text);
    memset(text + 30, 'X', 8);
    qrng_handler::append_chip_text(text, 30, 0, 1.0f, 4e9f, 1, true);
    qrng_handler::append_chip_text(text, 30, 1, 1.0f, 4e9f, 1, true);
    EXPECT_LT(strlen(text), 30u);
    EXPECT_EQ(std::string(text + 30, 8), "XXXXXXXX");
}
