// The engine's rules about the board's write position, for the read loop and the
// monitor: the write-position tracker, where reading starts and goes on, chunk
// sizes, the fresh/overwritten check, the room in a FIFO, the waits and
// back-offs, the monitor's count of the board's output and its watch on a write
// address that stands still. Pure functions and small state machines, handed
// register values and times: no device, no clock, no log.
//
// Threads: none of their own. Each object belongs to the one thread that feeds
// it: the read loop has its loop_state, the monitor its monitor_state.
#pragma once

#include "defs.h"

#include <cstdint>

// Words in one chunk of MAX_DATA_READ bytes.
constexpr uint32_t CHUNK_WORDS = MAX_DATA_READ / 4;
// The board overwrites a chunk's start first: a chunk must be read before the
// board comes within this many words of a whole ring past its start.
constexpr uint32_t OVERWRITE_GUARD = CHUNK_WORDS;
// The accelerator may publish its write address before its last writes have
// reached its memory: a chunk is read only once the published address is this
// many words past its end, so that no word below the address is read before it
// is written.
constexpr uint32_t WRITE_MARGIN = CHUNK_WORDS;
// The lowest rate the tracking assumes, so that a board standing still is sampled
// at least every 4 s.
constexpr float MIN_TRACKED_MIB_S = 8.0f;

// The board's write position. The accelerator gives only the word address inside
// the ring; successive samples of it are turned into a count of words written,
// which stays exact only while two samples are close enough in time that the
// board cannot have gone half round the ring between them. The rate is measured
// from the samples themselves, and the board may double it: two samples further
// apart than a quarter ring at the measured rate lose the lap count ("lost"); an
// address that went back by more than half a ring between close samples cannot
// come from a board writing forward ("contradiction"). Once a rate is measured,
// an advance beyond twice what it allows (and some slack) may be a board that
// restarted its ring past the half-ring point: the laps are then unknown as well
// ("implausible"), and a new frame starts. Times are CLOCK_BOOTTIME, which goes on
// counting while the machine is suspended. The rate is measured over at least
// 100 ms, so that a pointer published per burst of the board's writes is seen
// moving at its mean rate; the largest step beyond that rate seen while the count
// was certain widens what an advance may plausibly count.
struct write_tracker {
    enum class sample_t { known, lost, implausible, contradiction };

    // Takes one sample of the write address, read between before_ns and after_ns.
    // The first sample, and every sample after a loss, starts a new frame beyond
    // every position counted so far.
    sample_t sample(uint32_t address, int64_t before_ns, int64_t after_ns);
    sample_t sample(uint32_t address, int64_t now_ns) { return sample(address, now_ns, now_ns); }
    // Samples further apart than this lose the lap count.
    int64_t max_gap_ns() const;
    // The longest a waiting loop should go without a sample: what a restarted
    // ring can pass off as fresh data grows with it (twice what the board writes
    // in it, plus the slack of plausible_words).
    int64_t sample_interval_ns() const;
    // The most words an advance over `ns` may count: twice the measured rate
    // (never below the lowest rate the tracking assumes), plus a little slack.
    uint64_t plausible_words(int64_t ns) const;
    // The measured generation rate in MiB/s (0 until measured).
    float rate_mib() const;

    bool anchored = false;
    uint64_t frame = 0;        // counts the frames begun after the first: positions of two frames do not compare
    uint64_t position = 0;     // words written, in the loop's frame
    int64_t time_ns = 0;       // time of the last sample (before its read)
    bool rate_known = false;
    bool rate_current = false; // a rate has been measured over the full span since the frame began
    uint64_t largest_step = 0; // words: the largest advance beyond what the rate predicts, while the count was certain
    double words_per_ns = 0;   // measured generation rate
    int64_t rate_span_ns = 0;  // over how long it was measured
    uint64_t ref_position = 0; // start of the current rate measurement
    int64_t ref_time_ns = 0;

private:
    sample_t new_frame(uint32_t address, int64_t before_ns, int64_t after_ns, sample_t why);
};

// The fastest board the tracking follows: its calibration needs samples 2 ms
// apart to stay within a quarter of the ring.
constexpr float MAX_TRACKED_MIB_S = 32768.0f;

// Microseconds to wait for `missing_bytes` at `throughput` MiB/s (capped).
uint32_t data_wait_us(uint32_t missing_bytes, float throughput);
// What the read loop may do with the chunk [start, start + words) given the
// board's position (words written, the tracker's frame): read it (written, the
// write margin past its end, and not overwritten), wait for it, or give it up
// because the board has overwritten or is about to overwrite its first word.
enum class chunk_t { ready, short_of_data, overrun };
chunk_t check_chunk(uint64_t start, uint32_t words, uint64_t board_position);
// The start of the newest whole chunk that check_chunk would call ready at
// `board_position`, or `floor` when none lies above it.
uint64_t newest_chunk(uint64_t board_position, uint64_t floor);
// Whether reading may start at the ring's address 0 after the start (-r): only
// when the first address seen, right after spi_start, is one a reset pointer can
// have reached at the measured rate in the time between (plus a chunk);
// otherwise the board resumed where it stood and the ring holds a previous run's
// data below that address.
bool reset_pointer(uint32_t first_address, int64_t since_start_ns, double words_per_ns);
// The pause before the chunk at `read_pos` can be read: the time the board needs,
// at its measured rate, for the rest of it and the write margin, a little more,
// never below `period_us`; `period_us` when it can be read already.
unsigned long pause_for_data(const write_tracker& board, uint64_t read_pos, unsigned long period_us);

// The first chunk boundary at or after `position`: the read loop reads whole
// chunks, each at a multiple of CHUNK_WORDS (the ring is a whole number of them).
inline uint64_t chunk_boundary(uint64_t position)
{
    return (position + CHUNK_WORDS - 1) / CHUNK_WORDS * CHUNK_WORDS;
}

// Where the read loop reads next: the board's position and the read position in
// the tracker's frame, with what a sample means for them. Read positions stay on
// chunk boundaries.
struct read_cursor {
    enum class event { none, restarted, lost, desync };

    // Before the first sample, taken right after spi_start at `started_ns`: with
    // `fresh_only` (-r), reading starts at address 0 only once the measured rate
    // confirms that the pointer was reset at spi_start.
    void start(bool fresh_only, int64_t started_ns);
    // Takes a sample of the write address. After a loss the laps since the last
    // sample are unknown, and so is what the ring holds: with -r only words the
    // board writes from then on are certainly fresh; without it the read position
    // goes on where it was, within the lap behind the board. A contradiction is a
    // desync, which stays.
    event observe(uint32_t address, int64_t before_ns, int64_t after_ns);
    // The chunk at the read position, after giving up one the board has overtaken
    // (with `skip`): the words from half a ring behind the board are then written,
    // undelivered, and safe from overwriting for another half ring. `skipped` tells
    // whether the read position moved.
    chunk_t next(bool skip, bool& skipped);

    write_tracker board;
    uint64_t read_pos = 0;      // next word to deliver
    bool desync = false;        // the board's write position contradicted the tracking
    bool start_pending = false; // -r: whether to read from address 0 is not decided yet

private:
    bool fresh_only = false;
    int64_t started_ns = 0;
    uint32_t first_address = 0; // the first sample's address and time
    int64_t first_ns = 0;
};

// A wait that doubles from `first` to `max` while something keeps failing.
struct backoff {
    unsigned long first, max;
    unsigned long us = 0;
    unsigned long next();
    void reset() { us = 0; }
};

// Whether a failure is reported now: the first at once, and the first after a
// quiet window; the others are summed up once per window.
struct failure_window {
    explicit failure_window(int64_t window_ns) : window(window_ns) {}
    enum class verdict { report, summary, count };
    // With `summary`, `failures` holds the number to report.
    verdict failed(int64_t now_ns, unsigned long& failures);

private:
    int64_t window;
    int64_t start = 0;
    unsigned long in_window = 0;
    bool reported = false;
};

// What kept the read loop from delivering: the board overtaking the read
// position, chunks given up after short DMA reads, DMA reads that transferred
// nothing, failing DMA reads, write addresses that jumped implausibly far.
enum class stall_cause { overrun, short_chunk, stale_read, dma_failure, implausible };
constexpr int STALL_CAUSES = 5;

// The watch on a loop that delivers nothing although it could: a reader waits
// with room for a chunk and the board's output is not withheld. After 5 s of it
// with a cause met, the loop says so once; when delivery resumes, it says that.
struct delivery_watch {
    static constexpr int64_t report_after_ns = 5000000000LL;
    enum class change { none, stuck, resumed };

    void met(stall_cause c) { counts[static_cast<int>(c)]++; }
    // One pass at `now_ns`: whether it delivered, and whether it could have.
    change pass(int64_t now_ns, bool delivered, bool could_deliver);
    // The cause met most often since the last delivery, with its count.
    stall_cause main_cause(unsigned long& count) const;

    unsigned long counts[STALL_CAUSES] = {};
    int64_t since_ns = -1; // when the loop last delivered, or last could not
    int64_t stuck_since_ns = 0;
    bool stuck = false;    // reported, delivery not resumed yet
};

// While DMA reads fail, and while the output cannot be opened, passes are 1 ms
// apart at first, then twice as far each time up to 20 ms (25 ms for the open:
// each wake-up of a daemon waiting for a reader costs about 0.1 ms of processor
// time, and 40 a second keep the first byte to a new reader within about 25 ms);
// failed DMA reads are summed up at most once per 10 s.
constexpr unsigned long RETRY_FIRST_US = 1000;
constexpr unsigned long RETRY_MAX_US = 20000;
constexpr unsigned long OPEN_RETRY_MAX_US = 25000;

// How late the read loop's sleeps may end. While it streams, at most 1 us (the
// default 50 us leaves no room for a pass per chunk at the board's rate); while
// it waits for a reader, and with -o, 2 ms, so that the kernel can serve its
// wake-ups together with other timers' (and a short -t period is no busy loop).
constexpr unsigned long TIMER_SLACK_BUSY_NS = 1000;
constexpr unsigned long TIMER_SLACK_IDLE_NS = 2000000;
constexpr int64_t DMA_REPORT_WINDOW_NS = 10000000000LL;

// The read loop's state from one pass to the next.
struct loop_state {
    read_cursor cursor;
    unsigned long pause_us = 0;         // sleep before the next pass
    backoff idle{RETRY_FIRST_US, OPEN_RETRY_MAX_US}; // while the output cannot be opened
    backoff dma{RETRY_FIRST_US, RETRY_MAX_US};  // while DMA reads fail
    failure_window dma_failures{DMA_REPORT_WINDOW_NS};
    bool warned_repeat = false;         // without -r: the stream repeats ring content
    bool warned_outpaced = false;       // -r: the board overtook reads that had room to go
    bool warned_short = false;          // a chunk given up after short DMA reads
    bool warned_stale = false;          // a DMA read that transferred nothing
    bool warned_fast = false;           // a board faster than the tracking follows
    delivery_watch watch;
    uint32_t room_seen = 0;             // the output's room when last looked at
    uint32_t last_short_bytes = 0;      // what the last chunk given up had when its reads stopped
    double dma_read_ns = 0;             // how long a chunk's DMA reads take, smoothed
    uint64_t canary_state = 0;          // the stale reads' canary generator
    unsigned long timer_slack_ns = 0;   // as last set (0: not set yet)
    // A chunk that passed goes out only once the chunk after it in the ring has
    // passed too: it is held in one of the loop's two buffers meanwhile. The other
    // receives the next read; a released chunk is written from its buffer.
    bool held = false;                  // a chunk waits for its successor's verdict
    int held_buffer = 0;                // in this buffer
    uint64_t held_pos = 0;              // read from this position
    int pending_buffer = 0;             // the released chunk's buffer
    uint32_t pending_at = 0;            // the released chunk's bytes not yet written: from here
    uint32_t pending_end = 0;           // to here
    int64_t tested_ns = 0;              // when a chunk was last tested while the board is not trusted
    int stop_code = -1;                 // a stop the loop decided on, -1 none
};

// The monitor's count of the board's output for its operators, from samples of
// the write address taken often enough for the measured rate. Samples too far
// apart (the thread held up), or a ring that restarted, count the least the
// board can have written.
struct output_meter {
    void sample(uint32_t address, int64_t now_ns);
    // The longest the monitor may wait before its next sample.
    int64_t next_sample_ns() const { return board.max_gap_ns() / 2; }

    write_tracker board;
    uint32_t last_address = 0;
    uint64_t words = 0; // words written
    uint64_t laps = 0;  // times the write address went round the ring
};

// The watch on a write address that stands still while chips report working.
struct stall_watch {
    enum class change { none, stalled, moving_again };
    static constexpr double report_after_s = 5.0;
    // One compute pass at `now_s`: whether the address moved since the last one
    // and whether any chip works.
    change pass(bool moved, bool chips_work, double now_s);

    double still_since = 0;
    bool stalled = false;
};

// The monitor's state from one compute pass to the next.
struct monitor_state {
    double previous_time = 0;
    unsigned int no_active = 0;
    uint64_t generated = 0;       // bytes, as the status line counts them
    output_meter meter;
    uint64_t words_at_pass = 0;   // the meter's count at the last compute pass
    stall_watch stall;
};
