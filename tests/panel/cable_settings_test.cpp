// The cable update of the main dialog: validation order and messages, and which requests a
// change sends, in which order.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "cable_settings.h"
#include "panel_text.h"

namespace {

class CableSettingsTest : public testing::Test {
protected:
    // Fields as the dialog shows a cable with the driver's defaults.
    static CableFields ValidFields()
    {
        CableFields fields = {};
        fields.MaxInstances = 8;
        fields.MsPerInterrupt = 10;
        fields.VolumeControl = false;
        fields.MinSamplingRate = 8000;
        fields.MaxSamplingRate = 192000;
        fields.MinBitsPerSample = 8;
        fields.MaxBitsPerSample = 32;
        fields.MinChannels = 1;
        fields.MaxChannels = 8;
        fields.FormatLimiting = 0;
        fields.Mic = true;
        fields.Line = false;
        fields.Spdif = false;
        fields.ClockText = "100.000";
        return fields;
    }

    // The driver's reply for the same cable.
    static CableInfo CurrentInfo()
    {
        CableInfo info = {};
        info.MaxInstances = 8;
        info.MsPerInterrupt = 10;
        info.MinSamplingRate = 8000;
        info.MaxSamplingRate = 192000;
        info.MinBitsPerSample = 8;
        info.MaxBitsPerSample = 32;
        info.MinChannels = 1;
        info.MaxChannels = 8;
        info.SourceLineTypes = 7;
        info.ConnectedSourceLines = 1;
        info.ClockCorrection = 0x10000;
        return info;
    }

    static CableSettings Validated(const CableFields& fields)
    {
        CableSettings settings = {};
        ValidationError error = {};
        EXPECT_TRUE(ValidateCableFields(fields, &settings, &error)) << (error.Format ? error.Format : "");
        return settings;
    }

    static std::vector<ULONG> PlannedCodes(const CableSettings& wanted, const CableInfo& current)
    {
        PlannedRequest requests[MaxPlannedRequests];
        int count = PlanCableRequests(wanted, current, requests);
        std::vector<ULONG> codes;
        for (int i = 0; i < count; ++i) {
            codes.push_back(requests[i].Code);
        }
        return codes;
    }
};

}  // namespace

TEST_F(CableSettingsTest, RefusesTheFirstInvalidFieldWithItsMessage)
{
    const char* const greater = nullptr;
    struct Row {
        std::function<void(CableFields&)> edit;
        const char* format;
        const char* field;
        ULONG numbers[3];
    };
    const std::string range = "Invalid %s %u. Must be in range %u..%u";
    const Row rows[] = {
        {[](CableFields& f) { f.MaxInstances = 0; }, range.c_str(), "maximum instances", {0, 1, 100}},
        {[](CableFields& f) { f.MaxInstances = NotANumber; }, range.c_str(), "maximum instances", {NotANumber, 1, 100}},
        {[](CableFields& f) { f.MaxInstances = 101; f.MsPerInterrupt = 0; }, range.c_str(), "maximum instances",
         {101, 1, 100}},
        {[](CableFields& f) { f.MsPerInterrupt = 21; }, range.c_str(), "number of ms per int", {21, 1, 20}},
        {[](CableFields& f) { f.MinSamplingRate = 7999; }, range.c_str(), "minimum sample rate", {7999, 8000, 192000}},
        {[](CableFields& f) { f.MaxSamplingRate = 192001; }, "Invalid maximum sample rate. Must be in range %u..%u",
         greater, {8000, 192000, 0}},
        {[](CableFields& f) { f.MinSamplingRate = 48000; f.MaxSamplingRate = 44100; },
         "Maximum sample rate must be greater than minimum", greater, {0, 0, 0}},
        {[](CableFields& f) { f.MinBitsPerSample = 7; }, range.c_str(), "minimum bits per sample", {7, 8, 32}},
        {[](CableFields& f) { f.MaxBitsPerSample = 33; }, range.c_str(), "maximum bits per sample", {33, 8, 32}},
        {[](CableFields& f) { f.MinBitsPerSample = 32; f.MaxBitsPerSample = 16; },
         "Maximum bits per sample must be greater than minimum", greater, {0, 0, 0}},
        {[](CableFields& f) { f.MinChannels = 0; }, range.c_str(), "minimum number of channels", {0, 1, 8}},
        {[](CableFields& f) { f.MaxChannels = 9; }, range.c_str(), "maximum number of channels", {9, 1, 8}},
        {[](CableFields& f) { f.MinChannels = 8; f.MaxChannels = 2; },
         "Maximum number of channels must be greater than minimum", greater, {0, 0, 0}},
        {[](CableFields& f) { f.Mic = false; }, "At least one source line must be enabled", greater, {0, 0, 0}},
        {[](CableFields& f) { f.ClockText = ""; }, "Cannot read clock correction value", greater, {0, 0, 0}},
        {[](CableFields& f) { f.ClockText = "99.99.9"; }, "Invalid clock correction value", greater, {0, 0, 0}},
        {[](CableFields& f) { f.ClockText = "."; }, "Invalid clock correction value", greater, {0, 0, 0}},
        {[](CableFields& f) { f.ClockText = "89.9"; }, "Clock correction value must be in range %u..%u%%", greater,
         {90, 110, 0}},
        {[](CableFields& f) { f.ClockText = "110.0005"; }, "Clock correction value must be in range %u..%u%%",
         greater, {90, 110, 0}},
    };
    for (const Row& row : rows) {
        CableFields fields = ValidFields();
        row.edit(fields);
        CableSettings settings = {};
        ValidationError error = {};
        ASSERT_FALSE(ValidateCableFields(fields, &settings, &error)) << row.format;
        EXPECT_STREQ(row.format, error.Format);
        if (row.field == nullptr) {
            EXPECT_EQ(nullptr, error.Field) << row.format;
        } else {
            EXPECT_STREQ(row.field, error.Field);
        }
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(row.numbers[i], error.Numbers[i]) << row.format << " number " << i;
        }
    }
}

TEST_F(CableSettingsTest, AcceptsBoundaryValuesInTheDriversTerms)
{
    CableFields fields = ValidFields();
    fields.MaxInstances = 100;
    fields.MsPerInterrupt = 1;
    fields.VolumeControl = true;
    fields.MinSamplingRate = 48000;
    fields.MaxSamplingRate = 48000;  // equal bounds pass
    fields.MinBitsPerSample = 16;
    fields.MaxBitsPerSample = 16;
    fields.MinChannels = 8;
    fields.MaxChannels = 8;
    fields.FormatLimiting = 2;
    fields.Mic = true;
    fields.Line = false;
    fields.Spdif = true;
    fields.ClockText = "100.5xyz";
    CableSettings settings = Validated(fields);
    EXPECT_EQ(100u, settings.MaxInstances);
    EXPECT_EQ(1u, settings.MsPerInterrupt);
    EXPECT_EQ(1u, settings.VolumeControl);
    EXPECT_EQ(48000u, settings.MinSamplingRate);
    EXPECT_EQ(48000u, settings.MaxSamplingRate);
    EXPECT_EQ(16u, settings.MinBitsPerSample);
    EXPECT_EQ(16u, settings.MaxBitsPerSample);
    EXPECT_EQ(8u, settings.MinChannels);
    EXPECT_EQ(8u, settings.MaxChannels);
    EXPECT_EQ(2u, settings.FormatLimiting);
    EXPECT_EQ(5u, settings.ConnectedSourceLines);
    EXPECT_EQ(65864u, settings.ClockCorrection);  // 100.5 % of 0x10000 = 65863.68

    struct ClockRow {
        const char* text;
        ULONG factor;
    };
    const ClockRow clocks[] = {{"90", 58982}, {"110", 72090}, {"100", 0x10000}, {"99.9999", 0x10000}};
    for (const ClockRow& clock : clocks) {
        fields.ClockText = clock.text;
        EXPECT_EQ(clock.factor, Validated(fields).ClockCorrection) << clock.text;
    }
}

TEST_F(CableSettingsTest, SendsNothingWhenNothingChanged)
{
    EXPECT_TRUE(PlannedCodes(Validated(ValidFields()), CurrentInfo()).empty());
}

TEST_F(CableSettingsTest, SendsExactlyTheChangedSettingsInTheirOrder)
{
    // The settings in the order their requests go out, each with a change to make.
    struct Setting {
        ULONG code;
        std::function<void(CableSettings&)> change;
        ULONG value;  // the request's value after the change (unused for the range)
    };
    const Setting settings[] = {
        {IOCTL_SET_VOLUME_CONTROL, [](CableSettings& s) { s.VolumeControl = 1; }, 1},
        {IOCTL_SET_MS_PER_INTERRUPT, [](CableSettings& s) { s.MsPerInterrupt = 20; }, 20},
        {IOCTL_SET_FORMAT_RANGE, [](CableSettings& s) { s.MaxChannels = 2; }, 0},
        {IOCTL_SET_STREAM_FORMAT_LIMITING, [](CableSettings& s) { s.FormatLimiting = 1; }, 1},
        {IOCTL_SET_MAX_INSTANCES, [](CableSettings& s) { s.MaxInstances = 99; }, 99},
        {IOCTL_SET_CONNECTED_SOURCE_LINES, [](CableSettings& s) { s.ConnectedSourceLines = 6; }, 6},
        {IOCTL_SET_CLOCK_CORRECTION, [](CableSettings& s) { s.ClockCorrection = 65864; }, 65864},
    };
    constexpr int settingCount = sizeof(settings) / sizeof(settings[0]);
    for (int subset = 0; subset < (1 << settingCount); ++subset) {
        CableSettings wanted = Validated(ValidFields());
        std::vector<PlannedRequest> expected;
        for (int i = 0; i < settingCount; ++i) {
            if ((subset & (1 << i)) != 0) {
                settings[i].change(wanted);
                expected.push_back(PlannedRequest{settings[i].code, settings[i].value});
            }
        }
        PlannedRequest requests[MaxPlannedRequests];
        int count = PlanCableRequests(wanted, CurrentInfo(), requests);
        ASSERT_EQ(static_cast<int>(expected.size()), count) << "subset " << subset;
        for (int i = 0; i < count; ++i) {
            EXPECT_EQ(expected[i].Code, requests[i].Code) << "subset " << subset << " request " << i;
            if (expected[i].Code != IOCTL_SET_FORMAT_RANGE) {
                EXPECT_EQ(expected[i].Value, requests[i].Value) << "subset " << subset << " request " << i;
            }
        }
    }
}

TEST_F(CableSettingsTest, ComparesTheFormatRangeAsOneBlock)
{
    std::function<void(CableSettings&)> edits[] = {
        [](CableSettings& s) { s.MinSamplingRate = 44100; }, [](CableSettings& s) { s.MaxSamplingRate = 96000; },
        [](CableSettings& s) { s.MinBitsPerSample = 16; },   [](CableSettings& s) { s.MaxBitsPerSample = 24; },
        [](CableSettings& s) { s.MinChannels = 2; },         [](CableSettings& s) { s.MaxChannels = 2; },
    };
    for (auto& edit : edits) {
        CableSettings wanted = Validated(ValidFields());
        edit(wanted);
        EXPECT_EQ(std::vector<ULONG>{IOCTL_SET_FORMAT_RANGE}, PlannedCodes(wanted, CurrentInfo()));
    }
    CableSettings wanted = Validated(ValidFields());
    wanted.MinSamplingRate = 44100;
    wanted.MaxChannels = 2;
    EXPECT_EQ(std::vector<ULONG>{IOCTL_SET_FORMAT_RANGE}, PlannedCodes(wanted, CurrentInfo()));
}
