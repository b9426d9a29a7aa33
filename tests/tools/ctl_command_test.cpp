// tarnhost ctl end to end: the driver's state and every cable's settings read through the control
// channel, each setting changed and kept in the registry file from one run to the next, refused
// values and bad input, and the restart that brings a new number of cables.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tool_runner.h"

using tool_test::IsOneLine;
using tool_test::ReadText;
using tool_test::RunTarnhost;
using tool_test::ScratchDirectory;
using tool_test::ToolResult;

namespace {

using Words = std::vector<std::string>;

Words Split(const std::string& line)
{
    std::istringstream stream(line);
    Words words;
    for (std::string word; stream >> word;) {
        words.push_back(word);
    }
    return words;
}

// The words of each line of `cables` after the heading.
std::vector<Words> CableRows(const std::string& listing)
{
    std::istringstream stream(listing);
    std::vector<Words> rows;
    std::string line;
    std::getline(stream, line);
    while (std::getline(stream, line)) {
        rows.push_back(Split(line));
    }
    return rows;
}

// A cable as installed: volume control off, 5 ms per interrupt, 20 instances, 8000-48000 Hz, 8-16
// bits, 1-2 channels, limiting 1, line types 7 with line 2 connected, clock 100 %, no streams.
const Words DefaultCable = {"off", "5", "20", "8000-48000", "8-16", "1-2", "1", "0x7", "0x2", "100.000%",
                            "(0x10000)", "0", "0", "-", "0", "0"};

Words Row(const std::string& number, const Words& fields)
{
    Words row = {number};
    row.insert(row.end(), fields.begin(), fields.end());
    return row;
}

class CtlCommandTest : public ::testing::Test {
protected:
    ToolResult Ctl(const Words& words)
    {
        Words arguments = {"ctl", "--registry", registry};
        arguments.insert(arguments.end(), words.begin(), words.end());
        return RunTarnhost(scratch, arguments);
    }

    ScratchDirectory scratch;
    std::string registry = scratch.File("tarn.reg");
};

}  // namespace

TEST_F(CtlCommandTest, InfoShowsTheDriverAndCountsTheChannelItself)
{
    ToolResult result = Ctl({"info"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "driver 4.10.0.2567\n"
                          "cables 8\n"
                          "open streams 0\n"
                          "open handles 1\n"
                          "restart needed no\n");
}

TEST_F(CtlCommandTest, CablesListsEveryCableWithItsSettingsAndCounters)
{
    ToolResult result = Ctl({"cables"});
    ASSERT_EQ(result.status, 0) << result.err;
    std::vector<Words> rows = CableRows(result.out);
    ASSERT_EQ(rows.size(), 8u) << result.out;
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i], Row(std::to_string(i + 1), DefaultCable));
    }
}

// Each setting goes to the driver in one run and is read back from the registry file by the
// next; the maximum instances shows only then, being taken at the driver's start.
TEST_F(CtlCommandTest, EverySettingIsAppliedSavedAndReadBackInTheNextRun)
{
    const struct {
        Words arguments;
        std::string printed;
    } changes[] = {
        {{"volume-control", "1"}, "cable 2 volume-control 1\n"},
        {{"ms-per-interrupt", "7"}, "cable 2 ms-per-interrupt 7\n"},
        {{"format-range", "11025", "96000", "16", "24", "1", "6"},
         "cable 2 format-range 11025-96000 Hz, 16-24 bits, 1-6 channels\n"},
        {{"format-limiting", "2"}, "cable 2 format-limiting 2\n"},
        {{"max-instances", "9"}, "cable 2 max-instances 9\nrestart needed"},
        {{"source-line-types", "0x5"}, "cable 2 source-line-types 5\nrestart needed"},
        {{"connected-source-lines", "4"}, "cable 2 connected-source-lines 4\n"},
        {{"clock-correction", "101%"}, "cable 2 clock-correction 100.999% (0x1028F)\n"},
    };
    for (const auto& change : changes) {
        Words arguments = {"set", "--cable", "2"};
        arguments.insert(arguments.end(), change.arguments.begin(), change.arguments.end());
        ToolResult result = Ctl(arguments);
        ASSERT_EQ(result.status, 0) << change.arguments[0] << ": " << result.err;
        EXPECT_EQ(result.out.compare(0, change.printed.size(), change.printed), 0) << result.out;
    }
    ToolResult result = Ctl({"cables"});
    ASSERT_EQ(result.status, 0) << result.err;
    std::vector<Words> rows = CableRows(result.out);
    ASSERT_EQ(rows.size(), 8u);
    EXPECT_EQ(rows[0], Row("1", DefaultCable));
    EXPECT_EQ(rows[1], Row("2", {"on", "7", "9", "11025-96000", "16-24", "1-6", "2", "0x5", "0x4", "100.999%",
                                 "(0x1028F)", "0", "0", "-", "0", "0"}));
    EXPECT_EQ(rows[2], Row("3", DefaultCable));
}

TEST_F(CtlCommandTest, AClockCorrectionIsAPercentWithUpToThreeDecimalsOrTheRawFactor)
{
    const struct {
        std::string value;
        std::string shown;
    } cases[] = {
        {"100%", "100.000% (0x10000)"},   {"99.5%", "99.500% (0xFEB8)"},   {"0x10080", "100.195% (0x10080)"},
        {"58655", "89.500% (0xE51F)"},    {"72416", "110.498% (0x11AE0)"}, {"90.001%", "90.001% (0xE667)"},
    };
    for (const auto& c : cases) {
        ToolResult result = Ctl({"set", "--cable", "1", "clock-correction", c.value});
        ASSERT_EQ(result.status, 0) << c.value << ": " << result.err;
        EXPECT_EQ(result.out, "cable 1 clock-correction " + c.shown + "\n");
    }
}

// A value the driver refuses prints the panel's message with the error in words and leaves the
// registry as it was; so does input the tool cannot send.
TEST_F(CtlCommandTest, ARefusedOrMalformedValueExitsWithTwoAndChangesNothing)
{
    ASSERT_EQ(Ctl({"info"}).status, 0);
    const std::string before = ReadText(registry);
    const std::string invalid = "(0/87 - The parameter is incorrect.)";
    const struct {
        Words arguments;
        std::string message;
    } cases[] = {
        {{"--cable", "1", "volume-control", "2"}, "Cannot set Volume Control value " + invalid},
        {{"--cable", "1", "ms-per-interrupt", "21"}, "Cannot set Ms Per Int value " + invalid},
        {{"--cable", "1", "format-range", "7999", "48000", "8", "16", "1", "2"}, "Cannot set data range " + invalid},
        {{"--cable", "1", "format-range", "8000", "48000", "8", "16", "1", "9"}, "Cannot set data range " + invalid},
        {{"--cable", "1", "format-limiting", "3"}, "Cannot set stream format limiting mode " + invalid},
        {{"--cable", "1", "max-instances", "101"}, "Cannot set Max Instances value " + invalid},
        {{"--cable", "1", "source-line-types", "8"}, "Cannot set source line types mask " + invalid},
        {{"--cable", "1", "connected-source-lines", "8"}, "Cannot set connected source lines mask " + invalid},
        {{"--cable", "1", "clock-correction", "58654"}, "Cannot set clock correction " + invalid},
        {{"--cable", "1", "clock-correction", "110.5%"}, "Cannot set clock correction " + invalid},
        {{"number-of-cables", "257"}, "Cannot set number of cables to 257 " + invalid},
        {{"number-of-cables", "0"}, "Cannot set number of cables to 0 " + invalid},
        {{"--cable", "9", "ms-per-interrupt", "5"},
         "Cannot set Ms Per Int value (0/2 - The system cannot find the file specified.)"},
        {{"--cable", "1", "clock-correction", "100.0001%"}, "up to three decimals"},
        {{"--cable", "1", "ms-per-interrupt", "five"}, "whole number"},
        {{"--cable", "1", "ms-per-interrupt", "4294967296"}, "whole number"},
        {{"--cable", "1", "loudness", "3"}, "no setting \"loudness\""},
        {{"ms-per-interrupt", "5"}, "give --cable N"},
        {{"--cable", "1", "format-range", "8000", "48000"}, "MINRATE MAXRATE MINBITS MAXBITS MINCH MAXCH"},
        {{"--cable", "1", "number-of-cables", "4"}, "no --cable"},
        {{"--cable", "0", "ms-per-interrupt", "5"}, "--cable"},
    };
    for (const auto& c : cases) {
        Words arguments = {"set"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        ToolResult result = Ctl(arguments);
        EXPECT_EQ(result.status, 2) << c.message;
        EXPECT_TRUE(IsOneLine(result.err)) << result.err;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        EXPECT_EQ(ReadText(registry), before) << c.message;
    }
}

TEST_F(CtlCommandTest, ANewNumberOfCablesWaitsForTheRestartThatBringsIt)
{
    ToolResult set = Ctl({"set", "number-of-cables", "3"});
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_NE(set.out.find("restart needed"), std::string::npos) << set.out;
    EXPECT_NE(Ctl({"info"}).out.find("cables 3\n"), std::string::npos) << "the next start reads the saved number";

    ToolResult restarted = Ctl({"set", "number-of-cables", "5", "--restart"});
    ASSERT_EQ(restarted.status, 0) << restarted.err;
    EXPECT_EQ(restarted.out, "number-of-cables 5 accepted\nrestarted: 5 cables\n");
    EXPECT_EQ(CableRows(Ctl({"cables"}).out).size(), 5u);
}

TEST_F(CtlCommandTest, ARestartSucceedsUnlessAHandleKeepsTheDeviceFromStopping)
{
    ToolResult restarted = Ctl({"restart"});
    ASSERT_EQ(restarted.status, 0) << restarted.err;
    EXPECT_EQ(restarted.out, "restarted: 8 cables\n");

    ToolResult held = Ctl({"restart", "--keep-open"});
    EXPECT_EQ(held.status, 2);
    EXPECT_TRUE(IsOneLine(held.err)) << held.err;
    EXPECT_NE(held.err.find("could not restart: a handle kept it from stopping"), std::string::npos) << held.err;
}
