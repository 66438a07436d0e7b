// qrng-verify against captures built from the board's content.
#include "sim_content.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace {

constexpr uint64_t RING = SIM_RING_WORDS, SEED = 0x5EED;

// The content at each {absolute word position, word count}, one after another.
std::string capture(const std::vector<std::pair<uint64_t, uint64_t>>& runs)
{
    std::string bytes;
    for (const auto& r : runs) {
        std::string part(r.second * 4, '\0');
        sim_content_bytes(SEED, r.first * 4, reinterpret_cast<unsigned char*>(&part[0]), part.size());
        bytes += part;
    }
    return bytes;
}

} // namespace

TEST(SimVerify, AcceptsAndRejectsStreams)
{
    std::string flipped = capture({{0, 5000}});
    flipped[1234] ^= 0x10;
    struct { std::string stream; const char* flags; int status; const char* needle; } cases[] = {
        {capture({{0, 5000}, {2 * RING, 3000}}), "", 0, "words skipped between runs: 134212728"},
        {flipped, "", 1, "does not match"},
        {capture({{0, 2000}, {1999, 3000}}), "", 1, "repeated positions: 1\n"},
        {capture({{0, 2000}, {RING + 5, 1000}}), "", 0, "words skipped between runs: 67106869"},
        {capture({{RING + 900, 2000}, {RING + 50, 1000}}), "", 1, "goes back to position 67108914"},
        {capture({{RING / 2 + 7, 1000}}), "", 0, "1000 words from position 33554439"},
        {capture({{0, 2000}}) + "garbage!" + capture({{3 * RING + 9, 2}}), "", 1, "skipped between runs: 201324601"},
        {capture({{9 * RING + 3, 100}}), "--from-lap 8", 0, "from position 603979779"},
        {capture({{RING - 100, 300}, {2 * RING, 50}}), "--anywhere", 0, "runs: 2"},
        {std::string(400, 'x'), "--anywhere", 1, "not found"},
        {capture({{0, 2000}, {RING + 2000, 1000}, {3000, 500}, {2 * RING + 3500, 10}}), "--any-lap", 0, "runs: 4"},
        {capture({{0, 2000}, {2040, 100}}), "--any-lap", 1, "skips 40 words"},
    };
    temp_dir dir;
    for (const auto& c : cases) {
        write_file(dir.file("capture"), c.stream);
        proc_result r = run_command({"/bin/sh", "-c",
                                     "exec '" QRNG_VERIFY_BIN "' --seed " + std::to_string(SEED) + " " + c.flags +
                                         " < '" + dir.file("capture") + "'"},
                                    {}, 120);
        EXPECT_EQ(r.status, c.status) << c.needle << "\n" << r.out << r.err;
        EXPECT_NE(r.out.find(c.needle), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(c.status == 0 ? "\nOK\n" : "\nFAILED\n"), std::string::npos) << c.needle;
    }
}
