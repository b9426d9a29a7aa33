// The panel's window-free text and number handling: command line, typed numbers, the clock
// correction's forms, list rows, error texts, links and centring.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "panel_text.h"

namespace {

std::string Fixed3Model(ULONG thousandths)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%u.%03u", thousandths / 1000, thousandths % 1000);
    return text;
}

}  // namespace

TEST(PanelText, SkipsTheProgramNameAndTheBlanksAfterIt)
{
    struct Row {
        const char* commandLine;
        const char* rest;
    };
    const Row rows[] = {
        {"C:\\Tarn\\tarnpanel.exe", ""},
        {"tarnpanel.exe -x", "-x"},
        {"tarnpanel.exe \t \t/a b", "/a b"},
        {"tarnpanel.exe\t-x", ""},  // unquoted: only a space ends the name
        {"\"C:\\Program Files\\Tarn\\tarnpanel.exe\" -x", "-x"},
        {"\"C:\\Program Files\\Tarn\\tarnpanel.exe\"", ""},
        {"\"a b\"c d", "c d"},
        {"\"unterminated name", ""},
        {"", ""},
    };
    for (const Row& row : rows) {
        EXPECT_STREQ(row.rest, SkipProgramName(row.commandLine)) << row.commandLine;
    }
}

TEST(PanelText, ReadsTypedNumbersAsTheFieldsDo)
{
    struct Row {
        const char* text;
        ULONG value;
    };
    const Row rows[] = {
        {"", 0},
        {"0", 0},
        {"48000", 48000},
        {"00256", 256},
        {"12 ", 12},
        {"12\tx", 12},
        {" 12", 0},  // the reading stops at once, at a blank
        {"4294967295", 4294967295u},
        {"4294967296", NotANumber},
        {"99999999999", NotANumber},
        {"12a", NotANumber},
        {"-1", NotANumber},
        {"1.5", NotANumber},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.value, ParseNumber(row.text)) << '"' << row.text << '"';
    }
}

TEST(PanelText, ReadsEveryDecimalWrittenNumberBack)
{
    for (unsigned long long value = 0; value <= 0xFFFFFFFFull; value = value * 3 + 7) {
        std::string text = std::to_string(value);
        EXPECT_EQ(value, ParseNumber(text.c_str())) << text;
        EXPECT_EQ(value, ParseNumber((text + " ").c_str())) << text;
    }
}

TEST(PanelText, ParsesFixedPointWithThreeDecimals)
{
    struct Row {
        const char* text;
        ULONG thousandths;
    };
    const Row rows[] = {
        {"100", 100000},
        {"100.5xyz", 100500},
        {"  \t100.25", 100250},
        {"99.9999", 100000},  // rounds into the integer part
        {"99.9994", 99999},
        {"99.9995", 100000},
        {"0.0005", 1},
        {"1.23456789", 1235},
        {"89.9", 89900},
        {"4294967.29", 4294967290u},
        {"99.99.9", NotANumber},
        {".5", NotANumber},
        {".", NotANumber},
        {"1.", NotANumber},
        {"abc", NotANumber},
        {"", NotANumber},
        {"1234567890", NotANumber},     // ten digits
        {"12345.67890", NotANumber},    // ten digits in all
        {"4294967.30", NotANumber},     // nine digits, but past 32 bits
        {"4295067", NotANumber},        // would wrap to 99.704 in 32 bits
        {"123456789", NotANumber},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.thousandths, ParseFixed3(row.text)) << '"' << row.text << '"';
    }
}

TEST(PanelText, WritesAndReadsBackEveryClockValue)
{
    char text[32];
    for (ULONG thousandths = 0; thousandths <= 250000; ++thousandths) {
        FormatFixed3(text, sizeof(text), thousandths);
        ASSERT_EQ(Fixed3Model(thousandths), text);
        ASSERT_EQ(thousandths, ParseFixed3(text)) << text;
    }
}

TEST(PanelText, ConvertsClockCorrectionBetweenFactorAndPercentRounded)
{
    EXPECT_EQ(100000u, ClockThousandthsFromFactor(0x10000));
    EXPECT_EQ(0x10000u, ClockFactorFromThousandths(100000));
    EXPECT_EQ(58982u, ClockFactorFromThousandths(90000));   // 58982.4
    EXPECT_EQ(72090u, ClockFactorFromThousandths(110000));  // 72089.6
    for (ULONG thousandths = ClockThousandthsMin; thousandths <= ClockThousandthsMax; ++thousandths) {
        ASSERT_EQ(static_cast<ULONG>(std::floor(thousandths * 65536.0 / 100000.0 + 0.5)),
                  ClockFactorFromThousandths(thousandths))
            << thousandths;
    }
    for (ULONG factor = 0; factor <= 0x30000; ++factor) {
        ASSERT_EQ(static_cast<ULONG>(std::floor(factor * 100000.0 / 65536.0 + 0.5)), ClockThousandthsFromFactor(factor))
            << factor;
    }
}

TEST(PanelText, StepsTheClockFieldWithinItsRange)
{
    struct Row {
        ULONG current;
        int delta;
        ULONG result;
    };
    const Row rows[] = {
        {110000, 1, 110000},     {90000, -1, 90000},       {NotANumber, 1, 100001}, {NotANumber, -1, 99999},
        {89999, 1, 100001},      {110001, -1, 99999},      {100000, 5, 100005},     {109999, 3, 110000},
        {90002, -5, 90000},      {100000, 0, 100000},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.result, StepClockThousandths(row.current, row.delta)) << row.current << " " << row.delta;
    }
}

TEST(PanelText, FormatsCableRows)
{
    CableInfo idle = {};
    idle.MaxInstances = 8;
    idle.MsPerInterrupt = 10;
    idle.MinSamplingRate = 8000;
    idle.MaxSamplingRate = 192000;
    idle.MinBitsPerSample = 8;
    idle.MaxBitsPerSample = 32;
    idle.MinChannels = 1;
    idle.MaxChannels = 8;
    idle.CableFormat.Format.nSamplesPerSec = 44100;  // stale: no stream
    idle.CableFormat.Format.nChannels = 2;
    idle.CableFormat.Samples.wValidBitsPerSample = 16;

    CableInfo busy = idle;
    busy.VolumeControl = 1;
    busy.FormatLimiting = 2;
    busy.CableFormat.Format.nSamplesPerSec = 48000;
    busy.CableFormat.Format.nChannels = 6;
    busy.CableFormat.Samples.wValidBitsPerSample = 24;
    busy.CaptureStreams = 1;
    busy.RenderStreams = 3;
    busy.CaptureOverflows = 7;

    CableInfo recording = idle;
    recording.FormatLimiting = 3;  // not a mode this panel knows
    recording.CaptureStreams = 2;
    recording.RenderUnderflows = 4000000000u;

    CableInfo ranged = idle;
    ranged.FormatLimiting = 1;
    ranged.RenderStreams = 1;

    struct Row {
        ULONG index;
        const CableInfo* info;
        const char* cells[CableColumnCount];
    };
    const Row rows[] = {
        {0, &idle, {"    1", "8", "10", "8000..192000", "8..32", "1..8", "None", "Disabled", "", "", "", "", "", "", "", ""}},
        {11, &busy, {"   12", "8", "10", "8000..192000", "8..32", "1..8", "Cable format", "Enabled", "48000", "24", "6",
                     "1", "3", "7", "", ""}},
        {255, &recording, {"  256", "8", "10", "8000..192000", "8..32", "1..8", "3", "Disabled", "44100", "16", "2",
                           "2", "0", "", "4000000000", ""}},
        {1, &ranged, {"    2", "8", "10", "8000..192000", "8..32", "1..8", "Cable range", "Disabled", "44100", "16",
                      "2", "0", "1", "", "", ""}},
        {99999, &idle, {"100000", "8", "10", "8000..192000", "8..32", "1..8", "None", "Disabled", "", "", "", "", "",
                        "", "", ""}},
    };
    for (const Row& row : rows) {
        CableRowText text;
        FormatCableRow(row.index, *row.info, &text);
        for (int column = 0; column < CableColumnCount; ++column) {
            EXPECT_STREQ(row.cells[column], text.Cell[column]) << "cable " << row.index << " column " << column;
        }
    }
}

TEST(PanelText, AcceptsDriverVersionFourTenOnly)
{
    struct Row {
        ULONG major, minor, revision, build;
        bool supported;
    };
    const Row rows[] = {
        {4, 10, 0, 2567, true}, {4, 10, 7, 9999, true}, {4, 11, 0, 2567, false},
        {5, 10, 0, 2567, false}, {3, 10, 0, 2567, false}, {4, 9, 0, 2567, false},
    };
    for (const Row& row : rows) {
        DriverInfo info = {};
        info.VersionMajor = row.major;
        info.VersionMinor = row.minor;
        info.VersionRevision = row.revision;
        info.VersionBuild = row.build;
        EXPECT_EQ(row.supported, IsSupportedDriverVersion(info)) << row.major << "." << row.minor;
    }
}

TEST(PanelText, ShapesErrorTexts)
{
    struct Row {
        ULONG error;
        const char* description;  // what the system's message table gives, nullptr for nothing
        const char* text;
    };
    const Row rows[] = {
        {5, "Access is denied. ", "0/5 - Access is denied."},
        {5, "Access is denied.", "0/5 - Access is denied."},
        {5, "Two spaces.  ", "0/5 - Two spaces. "},
        {0x800F020B, "No such device instance. ", "15/523 - No such device instance."},
        {0x800F020B, nullptr, "15/523"},
        {0x20000001, nullptr, "u0/1"},
        {0xE000020B, nullptr, "u0/523"},
        {0xC0000010, nullptr, "0/16"},
    };
    for (const Row& row : rows) {
        char buffer[256];
        size_t prefixLength = WriteErrorPrefix(buffer, sizeof(buffer), row.error);
        size_t descriptionLength = 0;
        if (row.description != nullptr) {
            descriptionLength = std::string(row.description).size();
            std::snprintf(buffer + prefixLength, sizeof(buffer) - prefixLength, "%s", row.description);
        }
        FinishErrorText(buffer, prefixLength, descriptionLength);
        EXPECT_STREQ(row.text, buffer) << std::hex << row.error;
    }
}

TEST(PanelText, GivesSetupErrorsTheirHresultForm)
{
    struct Row {
        ULONG error;
        ULONG shown;
    };
    const Row rows[] = {
        {0xE000020B, 0x800F020B}, {0xE0000217, 0x800F0217}, {0xFFFFFFFF, 0x800FFFFF},
        {5, 5},                   {0x800F020B, 0x800F020B}, {0xC0000010, 0xC0000010},
        {0x60000001, 0x60000001},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.shown, SetupErrorAsHresult(row.error)) << std::hex << row.error;
    }
}

TEST(PanelText, OpensLinksWithTheRightScheme)
{
    struct Row {
        const char* text;
        const char* target;
    };
    const Row rows[] = {
        {"support@quill-tarn.example", "mailto:support@quill-tarn.example"},
        {"mailto:a@b.example", "mailto:a@b.example"},
        {"www.quill-tarn.example", "http://www.quill-tarn.example"},
        {"http://a@b.example", "http://a@b.example"},
        {"https://quill-tarn.example", "https://quill-tarn.example"},
        {"HTTP://upper.example", "http://HTTP://upper.example"},  // the schemes are matched as written
        {"", "http://"},
    };
    for (const Row& row : rows) {
        char target[264];
        LinkTarget(row.text, target, sizeof(target));
        EXPECT_STREQ(row.target, target) << row.text;
    }
    std::string longText(300, 'x');
    char target[264];
    LinkTarget(longText.c_str(), target, sizeof(target));
    EXPECT_EQ("http://" + std::string(256, 'x'), target);
}

TEST(PanelText, CentresOverTheOwnerTruncatingTowardZero)
{
    struct Row {
        LONG ownerStart, ownerEnd, dialogStart, dialogEnd, start;
    };
    const Row rows[] = {
        {0, 800, 0, 300, 250},
        {100, 901, 0, 300, 350},        // 250.5
        {-500, -100, 40, 541, -550},    // -50.5 truncates to -50
        {0, 300, 999, 1799, -250},      // the dialog is wider than its owner
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.start, CentreStart(row.ownerStart, row.ownerEnd, row.dialogStart, row.dialogEnd));
    }
}
