// Logging: the two sinks, the flood limit, the one sleeping function and the
// deferred notices of signals.
#include "defs.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <syslog.h>

int log_stdout = 0;
int log_level = 0;

namespace {

// Pending notices, counted by the signal handler.
std::atomic<unsigned> pending_sigterm{0};
std::atomic<unsigned> pending_sigint{0};
std::atomic<unsigned> pending_sighup{0};
std::atomic<unsigned> pending_sigusr1{0};
std::atomic<int> last_stop_signal{0};
static_assert(std::atomic<unsigned>::is_always_lock_free, "signal counters must be lock-free");

std::atomic<void (*)(unsigned long)> delay_function{nullptr};

// delay_until_stop() waits here until woken.
std::mutex stop_mutex;
std::condition_variable stop_wakeup;
bool stop_seen = false;

std::mutex limiter_mutex;
log_limiter limiter;

constexpr int64_t NS_PER_S = 1000000000;

int level_priority(log_level_t level)
{
    switch (level) {
    case LEVEL_ERROR:
        return LOG_ERR;
    case LEVEL_WARN:
        return LOG_WARNING;
    default:
        return LOG_INFO;
    }
}

const char* level_prefix(log_level_t level)
{
    switch (level) {
    case LEVEL_ERROR:
        return "[ERROR] ";
    case LEVEL_WARN:
        return "[WARN] ";
    default:
        return "[INFO] ";
    }
}

// Formats and emits one message; `repeated` > 0 makes it the flood limit's summary,
// "N times in the last 10 s, the last: <text>", so that the figures of the text
// read as the last occurrence's only.
void emit(log_level_t level, unsigned long repeated, const char* fmt, va_list ap)
{
    bool to_stdout = log_stdout && log_level >= level;
    if (!to_stdout && repeated == 0) {
        vsyslog(level_priority(level), fmt, ap);
        return;
    }
    char stack_text[1024];
    va_list copy;
    va_copy(copy, ap);
    int len = vsnprintf(stack_text, sizeof stack_text, fmt, copy);
    va_end(copy);
    if (len < 0)
        return;
    char* text = stack_text;
    if (len >= static_cast<int>(sizeof stack_text)) {
        text = static_cast<char*>(malloc(static_cast<size_t>(len) + 1));
        if (text)
            vsnprintf(text, static_cast<size_t>(len) + 1, fmt, ap);
        else
            text = stack_text;
    }
    size_t n = strlen(text);
    if (n > 0 && text[n - 1] == '\n')
        text[--n] = '\0';
    char summary[64] = "";
    if (repeated > 0)
        snprintf(summary, sizeof summary, "%lu times in the last %d s, the last: ", repeated,
                 static_cast<int>(LOG_FLOOD_WINDOW_S));
    if (to_stdout)
        fprintf(stdout, "%s%s%s\n", level_prefix(level), summary, text);
    else
        syslog(level_priority(level), "%s%s\n", summary, text);
    if (text != stack_text)
        free(text);
}

// Logs one notice per recorded signal of one kind.
void flush_notices(std::atomic<unsigned>& pending, const char* text)
{
    unsigned n = pending.load();
    while (n > 0) {
        if (pending.compare_exchange_weak(n, n - 1)) {
            log_unlimited(LEVEL_INFO, "%s", text);
            n = pending.load();
        }
    }
}

} // namespace

log_limiter::verdict log_limiter::decide(const void* key, int64_t now_ns, unsigned long& repeated)
{
    entry* e = nullptr;
    for (entry& candidate : entries)
        if (candidate.key == key)
            e = &candidate;
    if (!e) {
        // Forget the slot used longest ago: the messages of one process are few.
        e = &entries[next_slot];
        next_slot = (next_slot + 1) % slots;
        *e = entry{key, now_ns, 1, 0};
        return verdict::emit;
    }
    if (now_ns - e->window_start >= LOG_FLOOD_WINDOW_S * NS_PER_S) {
        e->window_start = now_ns;
        if (e->dropped > 0) {
            // Still flooding: one line for this window, the rest of it is dropped.
            repeated = e->dropped + 1;
            e->dropped = 0;
            e->count = LOG_FLOOD_LIMIT;
            return verdict::summary;
        }
        e->count = 1;
        return verdict::emit;
    }
    if (e->count < LOG_FLOOD_LIMIT) {
        e->count++;
        return verdict::emit;
    }
    e->dropped++;
    return verdict::drop;
}

void log_message(log_level_t level, const char* fmt, ...)
{
    unsigned long repeated = 0;
    log_limiter::verdict v;
    {
        std::lock_guard<std::mutex> lock(limiter_mutex);
        v = limiter.decide(fmt, monotonic_ns(), repeated);
    }
    if (v == log_limiter::verdict::drop)
        return;
    va_list ap;
    va_start(ap, fmt);
    emit(level, v == log_limiter::verdict::summary ? repeated : 0, fmt, ap);
    va_end(ap);
}

void log_unlimited(log_level_t level, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    emit(level, 0, fmt, ap);
    va_end(ap);
}

int64_t monotonic_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * NS_PER_S + ts.tv_nsec;
}

int64_t boottime_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * NS_PER_S + ts.tv_nsec;
}

void delay_us(unsigned long us)
{
    void (*fn)(unsigned long) = delay_function.load(std::memory_order_relaxed);
    if (fn) {
        fn(us);
    } else {
        struct timespec ts;
        ts.tv_sec = static_cast<time_t>(us / 1000000);
        ts.tv_nsec = static_cast<long>(us % 1000000) * 1000;
        nanosleep(&ts, nullptr);
    }
    flush_signal_notices();
}

void delay_until_stop(unsigned long us)
{
    if (delay_function.load(std::memory_order_relaxed)) {
        delay_us(us);
        return;
    }
    {
        std::unique_lock<std::mutex> lock(stop_mutex);
        stop_wakeup.wait_for(lock, std::chrono::microseconds(us), [] { return stop_seen; });
    }
    flush_signal_notices();
}

void wake_stopped_waits()
{
    {
        std::lock_guard<std::mutex> lock(stop_mutex);
        stop_seen = true;
    }
    stop_wakeup.notify_all();
}

void rearm_stopped_waits()
{
    std::lock_guard<std::mutex> lock(stop_mutex);
    stop_seen = false;
}

void set_delay_function(void (*fn)(unsigned long us))
{
    delay_function.store(fn);
}

void note_signal(int sig)
{
    switch (sig) {
    case SIGTERM:
        pending_sigterm.fetch_add(1);
        last_stop_signal.store(sig);
        break;
    case SIGINT:
        pending_sigint.fetch_add(1);
        last_stop_signal.store(sig);
        break;
    case SIGHUP:
        pending_sighup.fetch_add(1);
        last_stop_signal.store(sig);
        break;
    case SIGUSR1:
        pending_sigusr1.fetch_add(1);
        break;
    default:
        break;
    }
}

void flush_signal_notices()
{
    flush_notices(pending_sigterm, "sigterm received. exiting...\n");
    flush_notices(pending_sigint, "sigint received. exiting...\n");
    flush_notices(pending_sighup, "sighup received. exiting...\n");
}

int stop_signal_received()
{
    return last_stop_signal.load();
}

bool take_statistics_request()
{
    unsigned n = pending_sigusr1.load();
    while (n > 0 && !pending_sigusr1.compare_exchange_weak(n, 0)) {
    }
    return n > 0;
}
