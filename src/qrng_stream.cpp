// The engine at work: the primary read loop, the block integrity check and the
// monitor thread.
#include "qrng.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace {

// Words in one chunk of MAX_DATA_READ bytes.
constexpr uint32_t CHUNK_WORDS = MAX_DATA_READ / 4;
// Checksum report: word 0 the block's XOR checksum, word 1 its DDR word address.
constexpr int REG_CHECKSUM_REPORT = 0x6018;
constexpr unsigned long BLOCK_WORDS = 512;
// Failing reads of the backup source tolerated within one pass.
constexpr int BACKUP_READ_TRIES = 16;
// Microseconds per (byte / MiB/s).
constexpr double US_PER_BYTE_AT_MIB_S = 0.95367431640625;

// The read loop's one transfer buffer: filled by a DMA read or from the backup
// source, emptied into the FIFO. Static, so the loop allocates nothing.
unsigned char c2h_buffer[MAX_DATA_READ];

double current_time()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

} // namespace

uint32_t qrng_handler::chunk_size(uint32_t read_addr)
{
    if (read_addr + CHUNK_WORDS > MAX_DDR_ADDRESS)
        return (MAX_DDR_ADDRESS - read_addr) * 4;
    return MAX_DATA_READ;
}

uint32_t qrng_handler::data_wait_us(uint32_t missing_bytes, float rate)
{
    float quotient = static_cast<float>(missing_bytes) / rate;
    if (!std::isfinite(quotient) || quotient < 0.0f)
        return 0;
    // Only a rate of a few bytes per second gets here; such a board is as good as idle.
    if (quotient >= 4294967296.0f)
        return MAX_WAIT_DATA_DELAY;
    uint32_t wait = static_cast<uint32_t>(static_cast<uint32_t>(quotient) * US_PER_BYTE_AT_MIB_S);
    return wait > MAX_WAIT_DATA_DELAY ? MAX_WAIT_DATA_DELAY : wait;
}

uint32_t qrng_handler::advance_read_address(uint32_t read_addr, uint64_t written)
{
    // A word of which the FIFO took only some bytes is not offered again: the
    // consumer must never see the same byte twice.
    uint64_t next = read_addr + (written + 3) / 4;
    return next >= MAX_DDR_ADDRESS ? 0 : static_cast<uint32_t>(next);
}

qrng_handler::fresh_data_t qrng_handler::check_fresh_data(uint32_t snapshot, uint32_t& read_addr, uint64_t cycles,
                                                          bool new_randomness, uint64_t& resume_cycle)
{
    // Once the ring has wrapped, a daemon without -r reads on regardless.
    if (!new_randomness && cycles != 0)
        return fresh_data_t::ready;
    if (resume_cycle != 0) {
        if (cycles < resume_cycle)
            return fresh_data_t::lap_given_up;
        resume_cycle = 0;
        read_addr = 0;
    }
    if (snapshot < read_addr) {
        if (cycles == 0)
            return fresh_data_t::desync;
        read_addr = 0;
    }
    // The board moves on between two publications of its write address. A read
    // address nearly a whole ring behind may already hold the next lap's words,
    // and after the wrap the loop would deliver those words a second time from
    // address 0. So such a lap is left to the board and reading resumes at 0.
    if (new_randomness && snapshot - read_addr > max_fresh_lag) {
        resume_cycle = cycles + 1;
        return fresh_data_t::lap_given_up;
    }
    if (snapshot < read_addr + CHUNK_WORDS)
        return fresh_data_t::short_of_data;
    return fresh_data_t::ready;
}

int qrng_handler::run()
{
    set_mask(qrng_mask_arg);
    set_standby(qrng_standby);
    qrng_num = static_cast<int>(get_qrng_num());
    standby = qrng_standby;
    set_filter(filter_enable);
    set_enable_drbg(enable_drbg_arg);
    set_enable_debug(enable_debug_arg);

    board->print_board();
    board->set_qrng_num(qrng_num);
    board->led_off();

    log_message(LEVEL_INFO, "Warm-up QRNG Chips\n");
    spi_stop();
    delay_us(2000);
    spi_disable();
    delay_us(2000);
    spi_enable();
    board->boot_animation();
    spi_reset();
    delay_us(2000);
    spi_start();
    delay_us(2000);
    int working = board->boot_check(strict_mode, qrng_rate_threshold);

    qrng_set_mode(entropy_source);

    if (strict_mode && working != qrng_num) {
        log_message(LEVEL_ERROR, "Only %d/%d QRNG Chips are available - aborting\n", working, qrng_num);
        return 4;
    }

    cycle_count.store(0);
    ddr_addr.store(0);
    last_ddr_addr = 0;

    std::thread monitor;
    try {
        monitor = std::thread(&qrng_handler::throughput_compute, this);
    } catch (const std::system_error&) {
        log_message(LEVEL_ERROR, "Cannot start the throughput thread - aborting\n");
        return stop_sequence(1, nullptr);
    }

    uint32_t read_addr = 0;
    uint64_t resume_cycle = 0;
    int code = 0;
    while (stream_pass(read_addr, resume_cycle, code)) {
    }
    return stop_sequence(code, &monitor);
}

bool qrng_handler::stream_pass(uint32_t& read_addr, uint64_t& resume_cycle, int& code)
{
    delay_us(thread_period);

    int flag = exit_flag.load();
    if (flag > 0) {
        code = flag == 1 ? 0 : 1;
        return false;
    }

    uint32_t snapshot = static_cast<uint32_t>(ddr_addr.load());
    if (read_only)
        return true;

    // Read after the snapshot: the monitor counts a wrap before it publishes the wrapped address.
    uint64_t cycles = cycle_count.load();
    bool fresh = true;
    uint32_t missing = 0;
    switch (check_fresh_data(snapshot, read_addr, cycles, new_randomness, resume_cycle)) {
    case fresh_data_t::desync:
        log_message(LEVEL_ERROR, "Internal Error - Desync in DDR Real versus FPGA DDR Write - Streaming interrupted!\n");
        code = 5;
        exit_flag.store(3);
        return false;
    case fresh_data_t::short_of_data:
        fresh = false;
        missing = (read_addr + CHUNK_WORDS - snapshot) * 4;
        break;
    case fresh_data_t::lap_given_up:
        // Nothing to read before the board has finished this lap.
        fresh = false;
        missing = (MAX_DDR_ADDRESS - snapshot) * 4;
        break;
    case fresh_data_t::ready:
        break;
    }
    if (!fresh && backup_source.empty()) {
        delay_us(data_wait_us(missing, throughput.load(std::memory_order_relaxed)));
        return true;
    }

    if (checksum_check)
        validate_checksum(snapshot);

    int fd = open_pipe();
    if (fd == -1)
        return true;

    uint32_t size = chunk_size(read_addr);
    if (backup_source.empty() || fresh)
        deliver_dma(fd, read_addr, size);
    else
        deliver_backup(fd, size);
    return true;
}

void qrng_handler::deliver_dma(int fd, uint32_t& read_addr, uint32_t size)
{
    ssize_t got = xdma.read_memory(c2h_buffer, size, static_cast<unsigned long>(read_addr) * 4);
    if (got < 0)
        return;
    ssize_t written = write(fd, c2h_buffer, static_cast<size_t>(got));
    if (written > 0) {
        read_addr = advance_read_address(read_addr, static_cast<uint64_t>(written));
        bytes_written.fetch_add(static_cast<uint64_t>(written), std::memory_order_relaxed);
    }
}

void qrng_handler::deliver_backup(int fd, uint32_t size)
{
    int source = open(backup_source.c_str(), O_RDONLY);
    if (source < 0)
        return;
    uint32_t got = 0;
    int failures = 0;
    while (got < size && failures < BACKUP_READ_TRIES) {
        ssize_t n = read(source, c2h_buffer + got, size - got);
        if (n > 0)
            got += static_cast<uint32_t>(n);
        else if (n == 0)
            break; // end of file: nothing more will come
        else
            failures++;
    }
    close(source);
    if (got == 0)
        return;
    ssize_t written = write(fd, c2h_buffer, got);
    if (written > 0)
        bytes_written.fetch_add(static_cast<uint64_t>(written), std::memory_order_relaxed);
}

int qrng_handler::stop_sequence(int code, std::thread* monitor)
{
    if (monitor && monitor->joinable())
        monitor->join();
    close_pipe();
    spi_stop();
    spi_disable();
    return code;
}

unsigned int qrng_handler::block_checksum(unsigned int* data, unsigned long count)
{
    unsigned int sum = 0;
    for (unsigned long i = 0; i < count; i++)
        sum ^= data[i];
    return sum;
}

unsigned long qrng_handler::remember_checksum(unsigned int checksum, unsigned int address,
                                              unsigned int& previous_address)
{
    unsigned long count;
    auto seen = checksum_seen.find(checksum);
    if (seen != checksum_seen.end()) {
        count = ++seen->second;
        previous_address = checksum_last[checksum];
    } else {
        if (checksum_order.size() < checksum_memory) {
            checksum_order.push_back(checksum);
        } else {
            // Forget the value taken first of those kept, so memory stays bounded.
            unsigned int oldest = checksum_order[checksum_order_next];
            checksum_seen.erase(oldest);
            checksum_last.erase(oldest);
            checksum_order[checksum_order_next] = checksum;
            checksum_order_next = (checksum_order_next + 1) % checksum_memory;
        }
        checksum_seen.emplace(checksum, 1);
        count = 1;
    }
    checksum_last[checksum] = address;
    return count;
}

void qrng_handler::validate_checksum(unsigned int)
{
    static uint32_t last_ptr = 0xFFFFFFFF;
    static unsigned int bram_buffer[BLOCK_WORDS];

    unsigned int report[2] = {0, 0};
    xdma.read_register(REG_CHECKSUM_REPORT, report, 2);
    unsigned int checksum = report[0];
    unsigned int address = report[1];
    if (address == last_ptr)
        return;
    last_ptr = address;

    unsigned int previous_address = 0;
    unsigned long count = remember_checksum(checksum, address, previous_address);
    if (count > 1)
        log_message(LEVEL_WARN, "Duplicated checksum 0x%X on 0x%X, saw %lu times, last one on 0x%X\n", checksum,
                    address, count, previous_address);

    ssize_t got = xdma.read_memory(bram_buffer, sizeof bram_buffer, static_cast<unsigned long>(address) * 4);
    if (got != static_cast<ssize_t>(sizeof bram_buffer)) {
        log_message(LEVEL_ERROR, "Error on reading data from device\n");
        return;
    }
    unsigned int software = block_checksum(bram_buffer, BLOCK_WORDS);
    if (software != checksum)
        log_message(LEVEL_WARN, "Corrupted data on transaction on 0x%X. FPGA checksum 0x%x differs from software 0x%x.\n",
                    address, checksum, software);
}

float qrng_handler::compute_throughput(uint64_t delta_bytes, double dt)
{
    float mib = static_cast<float>(delta_bytes) / 1048576.0f;
    return static_cast<float>(mib / dt);
}

void qrng_handler::append_chip_text(char* buf, size_t size, int chip, float ratio, float filter_ratio,
                                    unsigned int status_bit, bool filter)
{
    size_t used = strnlen(buf, size);
    if (used + 1 >= size)
        return;
    if (filter)
        snprintf(buf + used, size - used, "Q%d: %.02f/%.02f(%d) ", chip + 1, static_cast<double>(ratio),
                 static_cast<double>(filter_ratio), static_cast<int>(status_bit));
    else
        snprintf(buf + used, size - used, "Q%d: %.02f(%d) ", chip + 1, static_cast<double>(ratio),
                 static_cast<int>(status_bit));
}

void qrng_handler::throughput_compute()
{
    monitor_state state{current_time(), 0, 0};
    log_message(LEVEL_INFO, "Start throughput thread\n");

    uint32_t pass = 0;
    for (;;) {
        if (pass++ == READS_TO_COMPUTE) {
            pass = 0;
            monitor_step step = monitor_compute(state);
            if (step == monitor_step::give_up)
                return;
            if (step == monitor_step::skip_to_next_pass)
                continue;
        }
        if (exit_flag.load() > 0)
            return;
        delay_us(SECONDARY_THREAD_PERIOD_US);
    }
}

qrng_handler::monitor_step qrng_handler::monitor_compute(monitor_state& state)
{
    unsigned long rate = get_rate();
    unsigned int status = get_status();
    set_standby(standby);

    int active = 0;
    for (int i = 0; i < qrng_num; i++)
        if (chip_ratio(rate, i) > qrng_rate_threshold)
            active++;
    if (active == 0) {
        if (state.no_active++ > QRNG_NOACTIVE_TOL) {
            log_message(LEVEL_ERROR, "No Active/Valid QRNG Chips available - aborting\n");
            exit_flag.store(3);
            return monitor_step::give_up;
        }
    } else {
        state.no_active = 0;
    }

    double now = current_time();
    double dt = now - state.previous_time;
    state.previous_time = now;

    uint32_t d = ddr_address();
    if (d < last_ddr_addr)
        cycle_count.fetch_add(1);
    ddr_addr.store(d);

    if (last_ddr_addr < d && dt > 0.0) {
        uint64_t delta = static_cast<uint64_t>(d - last_ddr_addr) * 4;
        throughput.store(compute_throughput(delta, dt), std::memory_order_relaxed);
        state.generated += delta;

        size_t text_size = qrng_num > 0 ? static_cast<size_t>(qrng_num) * 30 : 0;
        char* text = static_cast<char*>(calloc(qrng_num > 0 ? static_cast<size_t>(qrng_num) : 0, 30));
        if (!text && text_size > 0) {
            log_message(LEVEL_ERROR, "Cannot reserve memory to print log\n");
            return monitor_step::skip_to_next_pass;
        }
        board->led_status(strict_mode, rate, qrng_rate_threshold);
        for (int i = 0; i < qrng_num; i++) {
            float filter_ratio = get_filter_ratio(i);
            unsigned int bit = i < 32 ? (status >> i) & 1 : 0;
            append_chip_text(text, text_size, i, chip_ratio(rate, i), filter_ratio, bit, filter_enable);
        }
        log_message(LEVEL_INFO,
                    "%sCycle: %ld %0.2f MB gen - Page %u Actual DDR_Addr %lu - offset %08lX, estimated thput: %0.2f "
                    "MB/s, %0.2f MB written to pipe\n",
                    text_size > 0 ? text : "", static_cast<long>(cycle_count.load()),
                    static_cast<double>(static_cast<float>(state.generated) / 1048576.0f), 0u,
                    static_cast<unsigned long>(d >> 9), static_cast<unsigned long>(d),
                    static_cast<double>(throughput.load(std::memory_order_relaxed)),
                    static_cast<double>(static_cast<float>(bytes_written.load(std::memory_order_relaxed)) / 1048576.0f));
        free(text);
    }
    last_ddr_addr = d;
    return monitor_step::next_pass;
}
