// Counted strings and the ntstrsafe functions behave as the kernel's: %s and %S swap meaning between
// the A and W functions, precision bounds what is read, and output is always terminated, with
// truncation reported.
#include <cstring>
#include <string>

#include "host/ntstrsafe.h"
#include "support/platform_fixture.h"

namespace {

constexpr ULONG TestTag = 0x74736554;  // "Test"

class StringsTest : public PlatformTest {};

// Formats into a roomy buffer with the V function of the character width; the call must succeed.
template <typename CharT>
std::basic_string<CharT> Format(const CharT* format, ...)
{
    CharT buffer[256];
    va_list args;
    va_start(args, format);
    NTSTATUS status;
    if constexpr (sizeof(CharT) == 1) {
        status = RtlStringCbVPrintfA(buffer, sizeof(buffer), format, args);
    } else {
        status = RtlStringCbVPrintfW(buffer, sizeof(buffer), format, args);
    }
    va_end(args);
    EXPECT_EQ(status, STATUS_SUCCESS);
    return buffer;
}

UNICODE_STRING Counted(const WCHAR* text, USHORT characters)
{
    return UNICODE_STRING{static_cast<USHORT>(characters * 2), static_cast<USHORT>(characters * 2),
                          const_cast<PWSTR>(text)};
}

}  // namespace

TEST_F(StringsTest, InitUnicodeStringCountsBytesWithoutTheTerminator)
{
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, u"wave1");
    EXPECT_EQ(text.Length, 10);
    EXPECT_EQ(text.MaximumLength, 12);
    RtlInitUnicodeString(&text, nullptr);
    EXPECT_EQ(text.Length, 0);
    EXPECT_EQ(text.MaximumLength, 0);
    EXPECT_EQ(text.Buffer, nullptr);

    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, "topo12");
    EXPECT_EQ(ansi.Length, 6);
    EXPECT_EQ(ansi.MaximumLength, 7);
}

TEST_F(StringsTest, FreeUnicodeStringReturnsThePoolBufferAndEmptiesTheString)
{
    const size_t liveBefore = host::LivePoolCount();
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, 16, TestTag));
    ASSERT_NE(buffer, nullptr);
    std::memcpy(buffer, u"name", 10);
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, buffer);
    RtlFreeUnicodeString(&text);
    EXPECT_EQ(host::LivePoolCount(), liveBefore);
    EXPECT_EQ(text.Buffer, nullptr);
    EXPECT_EQ(text.Length, 0);
    EXPECT_EQ(text.MaximumLength, 0);
    const std::vector<std::string> events = host::TakeEventLog();
    EXPECT_EQ(std::count(events.begin(), events.end(), "RtlFreeUnicodeString"), 1);
}

TEST_F(StringsTest, CompareUnicodeStringOrdersByCharactersThenLength)
{
    const UNICODE_STRING wave1 = Counted(u"wave1", 5);
    const UNICODE_STRING upper = Counted(u"WAVE1", 5);
    const UNICODE_STRING wave = Counted(u"wave1", 4);  // a prefix: the same buffer, a shorter length
    const UNICODE_STRING wave2 = Counted(u"wave2", 5);
    EXPECT_EQ(RtlCompareUnicodeString(&wave1, &upper, TRUE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&wave1, &upper, FALSE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&wave, &wave1, FALSE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&wave1, &wave2, TRUE), 0);
    EXPECT_TRUE(RtlEqualUnicodeString(&wave1, &upper, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&wave1, &upper, FALSE));
    EXPECT_FALSE(RtlEqualUnicodeString(&wave, &wave1, TRUE));
}

TEST_F(StringsTest, CompareMemoryCountsTheLeadingBytesThatMatch)
{
    const UCHAR a[] = {1, 2, 3, 4};
    const UCHAR b[] = {1, 2, 9, 4};
    EXPECT_EQ(RtlCompareMemory(a, b, 4), 2u);
    EXPECT_EQ(RtlCompareMemory(a, a, 4), 4u);
    EXPECT_EQ(RtlCompareMemory(a, b, 0), 0u);
}

TEST_F(StringsTest, AnsiFormatTakesAWideStringForUpperCaseS)
{
    char path[256];
    ASSERT_EQ(RtlStringCbPrintfA(path, sizeof(path), "%S\\Parameters", u"\\Registry\\Machine\\Services\\tarndrv"),
              STATUS_SUCCESS);
    EXPECT_STREQ(path, "\\Registry\\Machine\\Services\\tarndrv\\Parameters");
}

TEST_F(StringsTest, PrecisionLimitsHowMuchOfAnUnterminatedWideStringIsRead)
{
    // Exactly 7 characters with no terminator, as a registry path in a UNICODE_STRING.
    const WCHAR service[7] = {u't', u'a', u'r', u'n', u'd', u'r', u'v'};
    char path[64];
    ASSERT_EQ(RtlStringCbPrintfA(path, sizeof(path), "%.*S\\Parameters", 7, service), STATUS_SUCCESS);
    EXPECT_STREQ(path, "tarndrv\\Parameters");
    ASSERT_EQ(RtlStringCbPrintfA(path, sizeof(path), "%.*S|", 4, service), STATUS_SUCCESS);
    EXPECT_STREQ(path, "tarn|");
}

TEST_F(StringsTest, WideFormatTakesAnAnsiStringForUpperCaseS)
{
    WCHAR name[20];
    ASSERT_EQ(RtlStringCbPrintfW(name, sizeof(name), u"%S%u", "wave", 1u), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"wave1");
    ASSERT_EQ(RtlStringCbPrintfW(name, sizeof(name), u"%S%u", "topo", 256u), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"topo256");
}

TEST_F(StringsTest, ExplicitWidthsOverrideTheDefaultStringKind)
{
    EXPECT_EQ(Format("%s|%hs|%ls|%ws|%S", "a", "b", u"c", u"d", u"e"), "a|b|c|d|e");
    EXPECT_EQ(Format(u"%s|%hs|%ls|%ws|%S", u"a", "b", u"c", u"d", "e"), u"a|b|c|d|e");
    EXPECT_EQ(Format("%c%C%hc%lc", 'a', u'b', 'c', u'd'), "abcd");
    EXPECT_EQ(Format(u"%c%C%hc%lc", u'a', 'b', 'c', u'd'), u"abcd");
}

TEST_F(StringsTest, WideCharactersOutsideAsciiBecomeQuestionMarksInAnsi)
{
    EXPECT_EQ(Format("%S", u"Caf\u00E9 \u4E2D"), "Caf? ?");
    EXPECT_EQ(Format(u"%S", "Caf\xE9"), u"Caf?");
}

TEST_F(StringsTest, CountedStringConversions)
{
    const WCHAR buffer[] = {u'w', u'a', u'v', u'e', u'X'};
    const UNICODE_STRING wide = Counted(buffer, 4);
    ANSI_STRING ansi{4, 4, const_cast<PCHAR>("topoX")};
    EXPECT_EQ(Format("%wZ|%Z", &wide, &ansi), "wave|topo");
    EXPECT_EQ(Format(u"%wZ|%Z", &wide, &ansi), u"wave|topo");
}

TEST_F(StringsTest, NumbersFollowTheKernelsConversions)
{
    const struct {
        std::string actual;
        const char* expected;
    } cases[] = {
        {Format("%d", -5), "-5"},
        {Format("%i", 42), "42"},
        {Format("%u", 4294967295u), "4294967295"},
        {Format("%x", 255), "ff"},
        {Format("%X", 0xBEEFu), "BEEF"},
        {Format("%08X", 0x1234u), "00001234"},
        {Format("%-5d|", 42), "42   |"},
        {Format("%5d|", 42), "   42|"},
        {Format("%*d|", 4, 7), "   7|"},
        {Format("%*d|", -4, 7), "7   |"},
        {Format("%+d", 5), "+5"},
        {Format("%05d", -42), "-0042"},
        {Format("%#x", 255), "0xff"},
        {Format("%#06x", 10), "0x000a"},
        {Format("%.3d", 7), "007"},
        {Format("%ld", static_cast<LONG>(-1)), "-1"},
        {Format("%lu", static_cast<ULONG>(0xFFFFFFFF)), "4294967295"},
        {Format("%lx", static_cast<ULONG>(0x80000000)), "80000000"},
        {Format("%I64u", static_cast<ULONGLONG>(18446744073709551615ull)), "18446744073709551615"},
        {Format("%lld", static_cast<LONGLONG>(-9000000000ll)), "-9000000000"},
        {Format("%I64X", static_cast<ULONGLONG>(0x123456789ABCull)), "123456789ABC"},
        {Format("%Iu", static_cast<SIZE_T>(5000000000ull)), "5000000000"},
        {Format("%hd", 70000), "4464"},
        {Format("%hu", 65537), "1"},
        {Format("%p", reinterpret_cast<void*>(0xDEADBEEFull)), "00000000DEADBEEF"},
        {Format("100%%"), "100%"},
        {Format("%5s|%-5s|", "ab", "cd"), "   ab|cd   |"},
        {Format("%.2s", "abc"), "ab"},
        {Format("%s", static_cast<const char*>(nullptr)), "(null)"},
        {Format("%3c|", 'x'), "  x|"},
    };
    for (const auto& row : cases) {
        EXPECT_EQ(row.actual, row.expected);
    }
}

TEST_F(StringsTest, TruncatedOutputIsTerminatedAndReportedAsOverflow)
{
    char narrow[8];
    EXPECT_EQ(RtlStringCbPrintfA(narrow, sizeof(narrow), "%s", "abcdefghij"), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(narrow, "abcdefg");
    EXPECT_EQ(RtlStringCbPrintfA(narrow, sizeof(narrow), "%s", "abcdefg"), STATUS_SUCCESS);
    EXPECT_STREQ(narrow, "abcdefg");
    EXPECT_EQ(RtlStringCchPrintfA(narrow, 3, "%u", 12345u), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(narrow, "12");

    WCHAR wide[6];
    wide[5] = u'#';
    EXPECT_EQ(RtlStringCbPrintfW(wide, 10, u"%S%u", "wave", 256u), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(wide), u"wave");
    EXPECT_EQ(wide[5], u'#');  // 10 bytes are 5 characters: nothing written past them
    EXPECT_EQ(RtlStringCchPrintfW(wide, 6, u"%S%u", "wave", 1u), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(wide), u"wave1");
}

TEST_F(StringsTest, AnOddByteCountLeavesRoomForWholeCharactersOnly)
{
    WCHAR wide[4] = {u'#', u'#', u'#', u'#'};
    EXPECT_EQ(RtlStringCbPrintfW(wide, 5, u"%s", u"abc"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(wide), u"a");
    EXPECT_EQ(wide[2], u'#');
}

TEST_F(StringsTest, AHugeWidthIsTruncatedWithoutFormattingItAll)
{
    char narrow[16];
    EXPECT_EQ(RtlStringCbPrintfA(narrow, sizeof(narrow), "%2000000000d", 1), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(narrow, "               ");
    EXPECT_EQ(RtlStringCbPrintfA(narrow, sizeof(narrow), "%.2000000000d", 1), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(narrow, "000000000000000");
    EXPECT_EQ(RtlStringCbPrintfA(narrow, sizeof(narrow), "%-2000000000s", "x"), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(narrow, "x              ");
}

TEST_F(StringsTest, AZeroOrOversizedDestinationIsInvalidParameter)
{
    char narrow[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(RtlStringCbPrintfA(narrow, 0, "%d", 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(narrow[0], '#');
    EXPECT_EQ(RtlStringCbPrintfA(narrow, static_cast<size_t>(NTSTRSAFE_MAX_CCH) + 1, "%d", 1),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(narrow[0], '\0');
    WCHAR wide[2] = {u'#', u'#'};
    EXPECT_EQ(RtlStringCbPrintfW(wide, 1, u"%d", 1), STATUS_INVALID_PARAMETER);  // less than one character
    EXPECT_EQ(wide[0], u'#');
    EXPECT_EQ(RtlStringCbCopyA(narrow, 0, "x"), STATUS_INVALID_PARAMETER);
}

TEST_F(StringsTest, AnUnsupportedConversionFailsWithAnEmptyResult)
{
    char narrow[32];
    EXPECT_EQ(RtlStringCbPrintfA(narrow, sizeof(narrow), "value %f", 1.5), STATUS_INVALID_PARAMETER);
    EXPECT_STREQ(narrow, "");
    int count = 0;
    EXPECT_EQ(RtlStringCbPrintfA(narrow, sizeof(narrow), "ab%n", &count), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(RtlStringCbPrintfA(narrow, sizeof(narrow), "trailing %"), STATUS_INVALID_PARAMETER);
}

TEST_F(StringsTest, CopyTruncatesAndTerminates)
{
    char narrow[5];
    EXPECT_EQ(RtlStringCbCopyA(narrow, sizeof(narrow), "Cable 1"), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(narrow, "Cabl");
    EXPECT_EQ(RtlStringCbCopyA(narrow, sizeof(narrow), "Cab"), STATUS_SUCCESS);
    EXPECT_STREQ(narrow, "Cab");
    WCHAR wide[4];
    EXPECT_EQ(RtlStringCbCopyW(wide, sizeof(wide), u"wave1"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(wide), u"wav");
}

TEST_F(StringsTest, CatAppendsWithinTheBuffer)
{
    char path[12] = "Quill";
    EXPECT_EQ(RtlStringCbCatA(path, sizeof(path), " Tarn"), STATUS_SUCCESS);
    EXPECT_STREQ(path, "Quill Tarn");
    EXPECT_EQ(RtlStringCbCatA(path, sizeof(path), "\\4\\5"), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(path, "Quill Tarn\\");
    char unterminated[3] = {'a', 'b', 'c'};
    EXPECT_EQ(RtlStringCbCatA(unterminated, sizeof(unterminated), "d"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unterminated[2], 'c');
}

TEST_F(StringsTest, LengthNeedsATerminatorWithinTheLimit)
{
    size_t length = 99;
    EXPECT_EQ(RtlStringCbLengthA("wave", 5, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(RtlStringCbLengthA("wave", 4, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(RtlStringCbLengthW(u"wave", 10, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 8u);  // bytes, not characters
    EXPECT_EQ(RtlStringCbLengthW(u"wave", 8, &length), STATUS_INVALID_PARAMETER);
}
