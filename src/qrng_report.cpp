// What the engine tells its operators: the texts of STATUS=, the metrics file
// and the statistics line, notifications to the service manager, the metrics
// file's atomic rewrite and the watchdog's decision.
#include "qrng_report.h"

#include "defs.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

namespace {

constexpr int64_t REPORT_PERIOD_NS = 1000000000;
constexpr double MIB = 1048576.0;
// How long READY=1 and STOPPING=1 may wait for room at the service manager's
// socket; every other notification that cannot go at once is dropped.
constexpr int NOTIFY_WAIT_MS = 250;

double wall_time()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Appends one metric with its HELP and TYPE lines; `labels` follow the prefix label.
void metric(std::string& out, const std::string& prefix, const char* name, const char* type, const char* help,
            const std::string& labels, double value)
{
    char line[512];
    snprintf(line, sizeof line, "# HELP %s %s\n# TYPE %s %s\n%s{prefix=\"%s\"%s} %.17g\n", name, help, name, type,
             name, prefix.c_str(), labels.c_str(), value);
    out += line;
}

// Further samples of the metric just appended, with other labels.
void more_sample(std::string& out, const std::string& prefix, const char* name, const std::string& labels, double value)
{
    char line[256];
    snprintf(line, sizeof line, "%s{prefix=\"%s\"%s} %.17g\n", name, prefix.c_str(), labels.c_str(), value);
    out += line;
}

} // namespace

std::string status_text(const report_data& d)
{
    char text[192];
    const char* state = d.output == report_data::output_t::unhealthy  ? "unhealthy: output withheld"
                        : d.output == report_data::output_t::untested ? "starting: testing the output"
                                                                      : "streaming";
    snprintf(text, sizeof text, "%s%s%d/%d chips, %.1f MiB/s, %.2f GiB delivered, %s", state,
             d.output == report_data::output_t::healthy ? ": " : ", ", d.chips_working, d.chips,
             d.generation_rate / MIB, static_cast<double>(d.delivered_board + d.delivered_backup) / MIB / 1024,
             d.consumer_attached ? "consumer attached" : "no consumer");
    return text;
}

std::string statistics_text(const report_data& d)
{
    char text[320];
    snprintf(text, sizeof text,
             "Statistics: up %.0f s, %.2f MiB delivered from the board and %.2f MiB from the backup source, "
             "generation %.2f MiB/s, %d/%d chips working, %lu DMA read failures, %lu checksum mismatches, output %s "
             "(%.2f MiB withheld)",
             d.uptime_s, static_cast<double>(d.delivered_board) / MIB, static_cast<double>(d.delivered_backup) / MIB,
             d.generation_rate / MIB, d.chips_working, d.chips, static_cast<unsigned long>(d.dma_failures),
             static_cast<unsigned long>(d.checksum_mismatches),
             d.output == report_data::output_t::unhealthy  ? "unhealthy"
             : d.output == report_data::output_t::untested ? "untested"
                                                           : "healthy",
             static_cast<double>(d.withheld_bytes) / MIB);
    return text;
}

std::string metrics_text(const report_data& d, bool up)
{
    const std::string& p = d.prefix;
    std::string out;
    metric(out, p, "qrngd_up", "gauge", "1 while the daemon streams, 0 once it has stopped.", "", up ? 1 : 0);
    char bitstream[16];
    snprintf(bitstream, sizeof bitstream, "0x%08X", d.bitstream);
    metric(out, p, "qrngd_info", "gauge", "The board, the daemon's version and the bitstream version.",
           ",board=\"" + d.board + "\",version=\"" + QRNGD_VERSION + "\",bitstream=\"" + bitstream + "\"", 1);
    metric(out, p, "qrngd_chips", "gauge", "QRNG chips on the board.", "", d.chips);
    metric(out, p, "qrngd_chips_working", "gauge", "QRNG chips above the rate threshold at the last check.", "",
           d.chips_working);
    for (size_t i = 0; i < d.chip_ratios.size(); i++) {
        std::string label = ",chip=\"" + std::to_string(i + 1) + "\"";
        if (i == 0)
            metric(out, p, "qrngd_chip_rate_ratio", "gauge", "Each chip's rate as a share of its nominal rate.", label,
                   d.chip_ratios[i]);
        else
            more_sample(out, p, "qrngd_chip_rate_ratio", label, d.chip_ratios[i]);
    }
    metric(out, p, "qrngd_generated_bytes_total", "counter", "Bytes the board wrote into its ring while streaming.", "",
           static_cast<double>(d.generated_bytes));
    metric(out, p, "qrngd_delivered_bytes_total", "counter", "Bytes written into the output, by source.",
           ",source=\"board\"", static_cast<double>(d.delivered_board));
    more_sample(out, p, "qrngd_delivered_bytes_total", ",source=\"backup\"", static_cast<double>(d.delivered_backup));
    metric(out, p, "qrngd_generation_rate_bytes_per_second", "gauge",
           "The board's generation rate over the monitor's last pass (0 while its write address stands still).", "",
           d.generation_rate);
    metric(out, p, "qrngd_ring_wraps_total", "counter", "Times the board's write address went round its ring.", "",
           static_cast<double>(d.ring_wraps));
    metric(out, p, "qrngd_dma_read_failures_total", "counter",
           "DMA reads of the ring that failed, or reported success and transferred nothing.", "",
           static_cast<double>(d.dma_failures));
    metric(out, p, "qrngd_dma_short_chunks_total", "counter",
           "Chunks given up because the DMA reads would not complete them.", "",
           static_cast<double>(d.dma_short_chunks));
    metric(out, p, "qrngd_overruns_total", "counter",
           "Times the board overtook the read position (with -r the words it overwrote are skipped).", "",
           static_cast<double>(d.overruns));
    metric(out, p, "qrngd_refused_chunks_total", "counter", "Chunks read from the board that the output refused.", "",
           static_cast<double>(d.refused_chunks));
    metric(out, p, "qrngd_checksum_mismatches_total", "counter", "Blocks whose checksum differed from the board's (-d).",
           "", static_cast<double>(d.checksum_mismatches));
    metric(out, p, "qrngd_checksum_duplicates_total", "counter",
           "Checksums seen a third time within the last 4096 checks (-d).", "",
           static_cast<double>(d.checksum_duplicates));
    metric(out, p, "qrngd_checksum_reports_skipped_total", "counter",
           "Checksum reports skipped because two reads of them disagreed (-d).", "",
           static_cast<double>(d.checksum_skipped));
    metric(out, p, "qrngd_consumer_attached", "gauge", "1 while a reader has the output open.", "",
           d.consumer_attached ? 1 : 0);
    metric(out, p, "qrngd_healthy", "gauge", "1 while the board's output passes its health tests.", "",
           d.output == report_data::output_t::healthy ? 1 : 0);
    for (size_t i = 0; i < d.health_failures.size(); i++) {
        std::string label = ",test=\"" + d.health_failures[i].first + "\"";
        double value = static_cast<double>(d.health_failures[i].second);
        if (i == 0)
            metric(out, p, "qrngd_health_failures_total", "counter", "Chunks that failed a health test, by the test.",
                   label, value);
        else
            more_sample(out, p, "qrngd_health_failures_total", label, value);
    }
    metric(out, p, "qrngd_withheld_bytes_total", "counter",
           "Bytes read from the board and withheld for its health (failed, untrusted, or held for a successor never read).",
           "", static_cast<double>(d.withheld_bytes));
    metric(out, p, "qrngd_start_time_seconds", "gauge", "When streaming began, in seconds since the epoch.", "",
           d.start_time);
    return out;
}

bool watchdog_due(int64_t now, int64_t last_ping, int64_t loop_alive, uint64_t interval_ns)
{
    // The monitor itself sends the pings, so a dead monitor stops them too.
    return interval_ns > 0 && now - last_ping >= static_cast<int64_t>(interval_ns / 2) &&
           now - loop_alive < static_cast<int64_t>(interval_ns);
}

bool notify_service_manager(const std::string& message, int wait_ms)
{
    // The datagram protocol of sd_notify(3), which itself always blocks: a
    // receiver that does not read would hold up the thread that notifies.
    const char* path = getenv("NOTIFY_SOCKET");
    if (!path || (path[0] != '/' && path[0] != '@'))
        return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    size_t len = strlen(path);
    if (len >= sizeof addr.sun_path)
        return false;
    memcpy(addr.sun_path, path, len);
    socklen_t addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
    if (path[0] == '@')
        addr.sun_path[0] = '\0'; // an abstract address, its length without a terminator
    else
        addr_len++;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    // Connected, so that poll() waits for room in the receiver's queue.
    bool sent = false;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), addr_len) == 0) {
        sent = send(fd, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0;
        struct pollfd p = {fd, POLLOUT, 0};
        if (!sent && errno == EAGAIN && wait_ms > 0 && poll(&p, 1, wait_ms) > 0)
            sent = send(fd, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0;
    }
    close(fd);
    return sent;
}

bool replace_file(const std::string& path, const std::string& content)
{
    // The new content goes into PATH.tmp, which is renamed over PATH, so a reader
    // never sees half a file. Whatever stands at PATH.tmp is removed first (a link,
    // not its target), and the file is then created afresh: never through a link
    // planted meanwhile, never blocking on a FIFO, always a regular file of mode 0644.
    std::string temporary = path + ".tmp";
    if (unlink(temporary.c_str()) != 0 && errno != ENOENT)
        return false;
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && fchmod(fd, 0644) == 0;
    for (size_t done = 0; ok && done < content.size();) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        ok = n > 0;
        done += ok ? static_cast<size_t>(n) : 0;
    }
    int err = errno;
    ok = close(fd) == 0 && ok;
    if (ok && rename(temporary.c_str(), path.c_str()) == 0)
        return true;
    err = ok ? errno : err;
    unlink(temporary.c_str());
    errno = err;
    return false;
}

void reporter::start(int64_t now_ns)
{
    started_wall = wall_time();
    started = now_ns;
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0)
        watchdog_ns = usec * 1000;
}

bool reporter::ping_due(int64_t now_ns, int64_t loop_alive_ns)
{
    if (!watchdog_due(now_ns, last_ping_ns, loop_alive_ns, watchdog_ns))
        return false;
    last_ping_ns = now_ns;
    notify_service_manager("WATCHDOG=1", 0);
    return true;
}

bool reporter::report_due(int64_t now_ns)
{
    if (now_ns - last_report_ns < REPORT_PERIOD_NS)
        return false;
    last_report_ns = now_ns;
    return true;
}

void reporter::ready(const report_data& d)
{
    notify_service_manager("READY=1\nSTATUS=" + status_text(d), NOTIFY_WAIT_MS);
}

void reporter::status(const report_data& d)
{
    notify_service_manager("STATUS=" + status_text(d), 0);
}

void reporter::stopping(const char* reason, const char* signal)
{
    if (stopping_sent.exchange(true))
        return;
    if (reason)
        notify_service_manager(std::string("STOPPING=1\nSTATUS=stopped: ") + reason, NOTIFY_WAIT_MS);
    else
        notify_service_manager(std::string("STOPPING=1\nSTATUS=stopping: ") + signal, NOTIFY_WAIT_MS);
}

void reporter::write_metrics(const report_data& d, bool up)
{
    if (metrics.empty())
        return;
    // The collector reads every *.prom file: the new content is written under
    // another name and renamed over the old, so a scrape never sees half a file.
    bool ok = replace_file(metrics, metrics_text(d, up));
    if (!ok && !metrics_failed)
        log_message(LEVEL_WARN, "Cannot write the metrics file %s: %s\n", metrics.c_str(), strerror(errno));
    metrics_failed = !ok;
}
