#include <gtest/gtest.h>

#include <sstream>

#include "NavtexDecode.h"

TEST(NavtexDecodeTool, TracksTheExampleRecordingFromAHundredHertzAbove) {
    const std::string file = std::string(TILO_TESTDATA_DIR) + "/sitor_b_example_11025.wav";
    struct Case { std::vector<std::string> args; bool decoded; } cases[] = {
        {{"--ticker", "--centre", "1100", file}, true},
        {{"--ticker", "--centre", "1100", "--no-track", file}, false},
    };
    for (const auto& c : cases) {
        std::ostringstream out, err;
        ASSERT_EQ(tilo::NavtexDecodeMain(c.args, out, err), 0) << err.str();
        const bool decoded =
            out.str().find("NOW IS THE TIME FOR ALL GOOD MEN TO COME TO THE AID OF THEIR COUNTRY.") != std::string::npos;
        EXPECT_EQ(decoded, c.decoded) << c.args.size() << ": " << out.str();
    }
}
