// The simulated board: what the rest of the suite relies on without seeing it.
// The rest of the suite drives it end to end: its pointer, faults and trace.
#include "sim_content.h"
#include "test_support.h"

#include <gtest/gtest.h>

// The stream qrng-verify expects: with seed 0 it starts AF CD 1D 7B 39 A8 20 E2.
TEST(SimContent, KnownVector)
{
    char head[8];
    sim_content_bytes(0, 0, reinterpret_cast<unsigned char*>(head), 8);
    EXPECT_EQ(std::string(head, 8), "\xAF\xCD\x1D\x7B\x39\xA8\x20\xE2");
}

TEST(SimConfig, BadConfigurationsExitTwoNamingTheKey)
{
    for (const std::string key : {"colour=red", "rate=fast", "chips=33", "dead", "dma_hang_s=600.5"}) {
        const proc_result r = run_command({QRNGD_SIM_BIN, "-h"}, {"QRNG_SIM=" + key}, 30);
        EXPECT_EQ(std::make_pair(r.status, r.out), std::make_pair(2, std::string())) << key;
        EXPECT_NE(r.err.find(key.substr(0, key.find('='))), std::string::npos) << key << ": " << r.err;
    }
}
