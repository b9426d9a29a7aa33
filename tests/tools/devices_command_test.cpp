// tarnhost devices end to end: the driver started from a registry file as Windows starts it, the
// listing of each cable, the file created with the defaults and saved back, and bad input.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "host/harness.h"
#include "tool_runner.h"

using tool_test::RunTarnhost;
using tool_test::ScratchDirectory;
using tool_test::ToolResult;

namespace {


const std::string Parameters = host::DriverImage::DefaultServiceKey + "\\Parameters";

}  // namespace

TEST(DevicesCommand, AFreshRegistryFileGetsTheDefaultsAndEightCables)
{
    ScratchDirectory scratch;
    ToolResult result = RunTarnhost(scratch, {"devices", "--registry", scratch.File("tarn.reg")});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("cable 8\n"), std::string::npos);
    EXPECT_EQ(result.out.find("cable 9\n"), std::string::npos);
    EXPECT_NE(result.out.find("cable 1\n"
                              "  render:  \"Tarn OUT 1\", 0 streams open\n"
                              "  capture: source lines \"Mic 1\", \"Tarn IN 1\" (connected), \"S/PDIF 1\"; "
                              "0 streams open\n"
                              "  volume:  line out 0.00 dB; volume control off\n"
                              "  formats: PCM 8000-48000 Hz, 8-16 bits, 1-2 channels; limiting 1, the configured "
                              "range\n"),
              std::string::npos)
        << result.out;
    host::RegistryClear();
    ASSERT_TRUE(host::RegistryLoadFile(scratch.File("tarn.reg")));
    host::RegistryValueData cables;
    ASSERT_TRUE(host::RegistryGetValue(Parameters, "Number of cables", &cables));
    EXPECT_EQ(cables.data, (std::vector<uint8_t>{8, 0, 0, 0}));
}

TEST(DevicesCommand, EachCableShowsTheSettingsItsRegistryKeyHolds)
{
    ScratchDirectory scratch;
    host::RegistryClear();
    host::RegistrySetDword(Parameters, "Number of cables", 2);
    host::RegistrySetDword(Parameters + "\\Cable 2", "Source line types mask", 2);
    host::RegistrySetDword(Parameters + "\\Cable 2", "Maximum sampling rate", 96000);
    host::RegistrySetDword(Parameters + "\\Cable 2", "Maximum bits per sample", 24);
    host::RegistrySetDword(Parameters + "\\Cable 2", "Stream format limiting", 2);
    host::RegistrySetDword(Parameters + "\\Cable 2", "Volume control", 1);
    host::RegistrySaveFile(scratch.File("tarn.reg"));
    ToolResult result = RunTarnhost(scratch, {"devices", "--registry", scratch.File("tarn.reg")});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out.find("cable 3\n"), std::string::npos);
    EXPECT_NE(result.out.find("cable 2\n"
                              "  render:  \"Tarn OUT 2\", 0 streams open\n"
                              "  capture: source lines \"Tarn IN 2\" (connected); 0 streams open\n"
                              "  volume:  line out 0.00 dB; volume control on\n"
                              "  formats: PCM 8000-96000 Hz, 8-24 bits, 1-2 channels; limiting 2, the first "
                              "stream's format\n"),
              std::string::npos)
        << result.out;
}

TEST(DevicesCommand, BadRegistryFilesGetOneLineAndStatusTwo)
{
    ScratchDirectory scratch;
    std::ofstream(scratch.File("text.reg")) << "not a registry\n";
    const struct {
        std::string file;
        std::string mentions;
    } cases[] = {
        {scratch.File("text.reg"), "not a registry file"},
        {scratch.File("no-such-folder/tarn.reg"), "no such folder"},
    };
    for (const auto& c : cases) {
        ToolResult result = RunTarnhost(scratch, {"devices", "--registry", c.file});
        EXPECT_EQ(result.status, 2) << c.file;
        EXPECT_NE(result.err.find(c.mentions), std::string::npos) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1);
    }
}
