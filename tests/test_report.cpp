// The operators' view on its own: the STATUS= text, the metrics file and the
// statistics line read back by parsers (and promtool), and their transports.
#include "qrng_report.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <regex.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

report_data sample_data(bool attached)
{
    report_data d;
    d.prefix = "xdma7";
    d.board = "pcie";
    d.bitstream = 0xDA000102;
    d.chips = 6;
    d.chips_working = 5;
    d.chip_ratios = {0.95, 0.0, 0.99, 0.96, 0.97, 0.98};
    d.generated_bytes = 123456789012;
    d.delivered_board = 2480000000;
    d.delivered_backup = 12345;
    d.ring_wraps = 459;
    d.dma_failures = 3;
    d.refused_chunks = 7;
    d.checksum_mismatches = 1;
    d.checksum_duplicates = 2;
    d.checksum_skipped = 4;
    d.generation_rate = attached ? 33445532.0 : 0.0;
    d.consumer_attached = attached;
    d.start_time = 1765200000.5;
    d.uptime_s = 3600;
    d.health_failures = {{"repetition", 1}, {"bias", 3}};
    d.withheld_bytes = 131072;
    return d;
}

// The groups of `pattern` (an extended POSIX regular expression) in `text`; empty when it does not match.
std::vector<std::string> groups(const std::string& pattern, const std::string& text)
{
    regex_t re;
    EXPECT_EQ(regcomp(&re, pattern.c_str(), REG_EXTENDED), 0);
    regmatch_t m[10];
    std::vector<std::string> out;
    if (regexec(&re, text.c_str(), 10, m, 0) == 0)
        for (int i = 1; i < 10 && m[i].rm_so >= 0; i++)
            out.push_back(text.substr(static_cast<size_t>(m[i].rm_so), static_cast<size_t>(m[i].rm_eo - m[i].rm_so)));
    regfree(&re);
    return out;
}

// The samples of a metrics text, by "name{labels}".
std::map<std::string, double> samples(const std::string& text)
{
    std::map<std::string, double> out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line[0] != '#')
            out[line.substr(0, line.rfind(' '))] = std::stod(line.substr(line.rfind(' ') + 1));
    return out;
}

} // namespace

TEST(Report, StatusMetricsAndStatisticsSayWhatTheCountersHold)
{
    temp_dir dir;
    for (bool attached : {true, false}) {
        report_data d = sample_data(attached);
        auto status = groups("^streaming: ([0-9]+)/([0-9]+) chips, ([0-9.]+) MiB/s, ([0-9.]+) GiB delivered, "
                             "(consumer attached|no consumer)$",
                             status_text(d));
        ASSERT_EQ(status.size(), 5u) << status_text(d);
        EXPECT_EQ(std::stoi(status[0]), d.chips_working);
        EXPECT_EQ(std::stoi(status[1]), d.chips);
        EXPECT_NEAR(std::stod(status[2]), d.generation_rate / 1048576, 0.05);
        EXPECT_NEAR(std::stod(status[3]), (d.delivered_board + d.delivered_backup) / 1073741824.0, 0.005);
        EXPECT_EQ(status[4] == "consumer attached", attached);

        auto stats = groups("^Statistics: up ([0-9]+) s, ([0-9.]+) MiB delivered from the board and ([0-9.]+) MiB from "
                            "the backup source, generation ([0-9.]+) MiB/s, ([0-9]+)/([0-9]+) chips working, ([0-9]+) DMA "
                            "read failures, [0-9]+ checksum mismatches, output (healthy|unhealthy|untested) \\([0-9.]+ MiB withheld\\)$",
                            statistics_text(d));
        ASSERT_EQ(stats.size(), 8u) << statistics_text(d);
        EXPECT_NEAR(std::stod(stats[1]), d.delivered_board / 1048576.0, 0.005);
        EXPECT_NEAR(std::stod(stats[3]), d.generation_rate / 1048576, 0.005);
        EXPECT_EQ(std::stoul(stats[6]), d.dma_failures);

        for (bool up : {true, false}) {
            std::string text = metrics_text(d, up);
            const std::string prom = dir.file("m.prom");
            write_file(prom, text);
            if (access("/usr/bin/promtool", X_OK) == 0)
                EXPECT_EQ(run_command({"/bin/sh", "-c", "promtool check metrics < \"$0\"", prom}, {}, 60).status, 0)
                    << text;
            else
                std::cout << "[ SKIPPED  ] promtool check: Debian's prometheus package is not installed\n";
            auto m = samples(text);
            const std::string p = "{prefix=\"xdma7\"";
            EXPECT_EQ(m[("qrngd_up" + p + "}")], up ? 1 : 0);
            EXPECT_EQ(m["qrngd_info" + p + ",board=\"pcie\",version=\"v1.01\",bitstream=\"0xDA000102\"}"], 1);
            EXPECT_EQ(m["qrngd_chip_rate_ratio" + p + ",chip=\"3\"}"], 0.99);
            EXPECT_EQ(m["qrngd_generated_bytes_total" + p + "}"], d.generated_bytes);
            EXPECT_EQ(m["qrngd_delivered_bytes_total" + p + ",source=\"backup\"}"], d.delivered_backup);
            EXPECT_EQ(m["qrngd_generation_rate_bytes_per_second" + p + "}"], d.generation_rate);
            EXPECT_EQ(m["qrngd_checksum_reports_skipped_total" + p + "}"], d.checksum_skipped);
            EXPECT_EQ(m["qrngd_consumer_attached" + p + "}"], attached ? 1 : 0);
            EXPECT_EQ(m["qrngd_start_time_seconds" + p + "}"], d.start_time);
            EXPECT_EQ(m["qrngd_healthy" + p + "}"], 1);
            EXPECT_EQ(m["qrngd_health_failures_total" + p + ",test=\"bias\"}"], 3);
            EXPECT_EQ(m.size(), 28u) << text;
        }
    }
}

TEST(Report, TransportsNeverFollowLinksNorBlock)
{
    // The watchdog: every half interval, and only while the read loop progresses.
    const int64_t s = 1000000000;
    EXPECT_TRUE(watchdog_due(10 * s, 4 * s, 9 * s, 10 * s));
    EXPECT_FALSE(watchdog_due(10 * s, 6 * s, 9 * s, 10 * s)); // pinged less than half an interval ago
    EXPECT_FALSE(watchdog_due(20 * s, 4 * s, 9 * s, 10 * s)); // the read loop is stuck
    EXPECT_FALSE(watchdog_due(10 * s, 0, 9 * s, 0));          // no watchdog

    // Whatever stands at PATH.tmp is replaced, never written through or waited
    // on; the file's mode does not follow the umask.
    temp_dir dir;
    const std::string path = dir.file("q.prom");
    write_file(dir.file("victim"), "victim");
    symlink(dir.file("victim").c_str(), (path + ".tmp").c_str());
    mode_t umask_before = umask(077);
    EXPECT_TRUE(replace_file(path, "one\n"));
    mkfifo((path + ".tmp").c_str(), 0600);
    EXPECT_TRUE(replace_file(path, "two\n"));
    umask(umask_before);
    struct stat st;
    EXPECT_TRUE(lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 07777) == 0644);
    EXPECT_EQ(read_file(path), "two\n");
    EXPECT_EQ(read_file(dir.file("victim")), "victim");

    // A service manager that never reads: its queue fills, and what cannot go is
    // dropped at once, or after the wait asked for.
    const std::string sock_path = dir.file("notify");
    int sock = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un addr{AF_UNIX, {}};
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock_path.c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    setenv("NOTIFY_SOCKET", sock_path.c_str(), 1);
    auto start = std::chrono::steady_clock::now();
    int sent = 0;
    for (int i = 0; i < 100; i++)
        sent += notify_service_manager("STATUS=x", 0) ? 1 : 0;
    EXPECT_FALSE(notify_service_manager("STOPPING=1", 250));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, 100);
    EXPECT_LT(seconds, 5.0);
    unsetenv("NOTIFY_SOCKET");
    close(sock);
}
