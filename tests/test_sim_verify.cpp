// qrng-verify against captures built from the board's content: accepted
// deliveries, and the faults it must reject.
#include "sim_content.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr uint64_t RING = SIM_RING_WORDS;
constexpr uint64_t SEED = 0x5EED;

struct span {
    uint64_t start; // absolute word position
    uint64_t words;
};

std::string capture(const std::vector<span>& spans)
{
    std::string bytes;
    for (const span& s : spans) {
        std::string part(s.words * 4, '\0');
        sim_content_bytes(SEED, s.start * 4, reinterpret_cast<unsigned char*>(&part[0]), part.size());
        bytes += part;
    }
    return bytes;
}

proc_result verify(const std::string& stream, const std::string& flags)
{
    temp_dir dir;
    write_file(dir.file("capture"), stream);
    std::string cmd = "exec '" QRNG_VERIFY_BIN "' --seed " + std::to_string(SEED) + " " + flags + " < '" +
                      dir.file("capture") + "'";
    return run_command({"/bin/sh", "-c", cmd}, {}, 120);
}

} // namespace

TEST(SimVerify, AcceptsAndRejectsStreams)
{
    std::string flipped = capture({{0, 5000}});
    flipped[1234] ^= 0x10;
    struct verify_case {
        const char* name;
        std::string stream;
        const char* flags;
        int status;
        const char* needle;
    };
    const verify_case cases[] = {
        {"one run from 0", capture({{0, 5000}}), "", 0, "words checked: 5000"},
        {"restart at address 0 of a later lap", capture({{0, 5000}, {2 * RING, 3000}}), "", 0,
         "words skipped between runs: 134212728"},
        {"flipped byte", flipped, "", 1, "does not match"},
        {"repeated word", capture({{0, 2000}, {1999, 3000}}), "", 1, "repeats position 1999"},
        {"skipped word inside a run", capture({{0, 2000}, {2001, 3000}}), "", 1, "skips 1 words"},
        {"run not at address 0", capture({{0, 2000}, {RING + 5, 1000}}), "", 1, "not at address 0"},
        {"run at address 0 of the same lap", capture({{0, 2000}, {0, 1000}}), "", 1, "goes back to position 0"},
        {"first run not at position 0", capture({{7, 1000}}), "", 1, "starts at position 7"},
        {"first run found anywhere", capture({{RING - 100, 300}, {2 * RING, 50}}), "--anywhere", 0, "runs: 2"},
        {"unknown start", std::string(400, 'x'), "--anywhere", 1, "not found"},
        {"length not a multiple of 4", capture({{0, 100}}) + "ab", "", 1, "not a multiple of 4"},
        {"empty stream", "", "", 1, "empty"},
        {"any lap, reader around the writer",
         capture({{0, 2000}, {RING + 2000, 1000}, {3000, 500}, {2 * RING + 3500, 10}}), "--any-lap", 0, "runs: 4"},
        {"lap changes need --any-lap", capture({{0, 2000}, {RING + 2000, 1000}}), "", 1, "FAILED"},
        {"any lap still needs consecutive addresses", capture({{0, 2000}, {2040, 100}}), "--any-lap", 1,
         "skips 40 words"},
    };
    for (const verify_case& c : cases) {
        proc_result r = verify(c.stream, c.flags);
        EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.out << r.err;
        EXPECT_NE(r.out.find(c.needle), std::string::npos) << c.name << "\n" << r.out;
        EXPECT_NE(r.out.find(c.status == 0 ? "\nOK\n" : "\nFAILED\n"), std::string::npos) << c.name;
    }
    EXPECT_EQ(verify("", "").status, 1);
    EXPECT_EQ(run_command({QRNG_VERIFY_BIN}).status, 2) << "the seed is required";
}
