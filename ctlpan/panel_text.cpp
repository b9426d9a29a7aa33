// Text and number handling of the control panel that needs no window (see panel_text.h).
// Written without the C run-time library: tarnpanel.exe links none.
#include "panel_text.h"

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

size_t TextLength(const char* text)
{
    size_t length = 0;
    while (text[length] != '\0') {
        ++length;
    }
    return length;
}

bool Contains(const char* text, const char* part)
{
    for (; *text != '\0'; ++text) {
        size_t i = 0;
        while (part[i] != '\0' && text[i] == part[i]) {
            ++i;
        }
        if (part[i] == '\0') {
            return true;
        }
    }
    return false;
}

// Right-aligns a text in a field of the given width with spaces, as "%5d" does.
void PadLeft(char* buffer, size_t size, size_t width)
{
    size_t length = TextLength(buffer);
    if (length >= width || width >= size) {
        return;
    }
    size_t shift = width - length;
    for (size_t i = length + 1; i-- > 0;) {
        buffer[i + shift] = buffer[i];
    }
    for (size_t i = 0; i < shift; ++i) {
        buffer[i] = ' ';
    }
}

}  // namespace

const char* const CableColumnHeaders[CableColumnCount] = {
    "Cable",      "Max instances",    "MS per int", "      SR range      ", "BPS range", "NC range",
    "Stream fmt limit", "Volume ctl", "    SR    ", " BPS ",                " NC ",      "Rc stms",
    "Pb stms",    "Oflows",           "UFlows",     "",
};

const char* const FormatLimitingNames[FormatLimitingModes] = {"None", "Cable range", "Cable format"};

const char* SkipProgramName(const char* commandLine)
{
    const char* p = commandLine;
    if (*p == '"') {
        ++p;
        while (*p != '\0' && *p != '"') {
            ++p;
        }
        if (*p == '"') {
            ++p;
        }
    } else {
        while (*p != '\0' && *p != ' ') {
            ++p;
        }
    }
    while (IsBlank(*p)) {
        ++p;
    }
    return p;
}

ULONG ParseNumber(const char* text)
{
    ULONG value = 0;
    const char* p = text;
    while (IsDigit(*p)) {
        ULONG digit = static_cast<ULONG>(*p - '0');
        if (value > (0xFFFFFFFFu - digit) / 10) {
            break;
        }
        value = value * 10 + digit;
        ++p;
    }
    if (*p == '\0' || IsBlank(*p)) {
        return value;
    }
    return NotANumber;
}

ULONG ParseFixed3(const char* text)
{
    const char* p = text;
    while (IsBlank(*p)) {
        ++p;
    }
    unsigned long long integerPart = 0;
    unsigned long long fraction = 0;
    int integerDigits = 0;
    int fractionDigits = 0;
    while (IsDigit(*p)) {
        integerPart = integerPart * 10 + static_cast<unsigned>(*p - '0');
        ++integerDigits;
        ++p;
        if (integerDigits > 9) {
            return NotANumber;
        }
    }
    if (integerDigits == 0) {
        return NotANumber;
    }
    if (*p == '.') {
        ++p;
        while (IsDigit(*p)) {
            fraction = fraction * 10 + static_cast<unsigned>(*p - '0');
            ++fractionDigits;
            ++p;
            if (integerDigits + fractionDigits > 9) {
                return NotANumber;
            }
        }
        if (fractionDigits == 0 || *p == '.') {
            return NotANumber;
        }
    }
    if (fractionDigits < 3) {
        for (int k = fractionDigits; k < 3; ++k) {
            fraction *= 10;
        }
    } else {
        unsigned long long divisor = 1;
        for (int k = 3; k < fractionDigits; ++k) {
            divisor *= 10;
        }
        fraction = (fraction + divisor / 2) / divisor;
    }
    // Nine digits of integer part times 1000 need more than 32 bits: a value that does not fit
    // is no number rather than one wrapped into range.
    unsigned long long thousandths = integerPart * 1000 + fraction;
    if (thousandths >= NotANumber) {
        return NotANumber;
    }
    return static_cast<ULONG>(thousandths);
}

ULONG ClockThousandthsFromFactor(ULONG factor)
{
    return static_cast<ULONG>((static_cast<unsigned long long>(factor) * 100000 + 32768) >> 16);
}

ULONG ClockFactorFromThousandths(ULONG thousandths)
{
    return static_cast<ULONG>((static_cast<unsigned long long>(thousandths) * 65536 + 50000) / 100000);
}

ULONG StepClockThousandths(ULONG current, int delta)
{
    long long value = current;
    if (current == NotANumber || current < ClockThousandthsMin || current > ClockThousandthsMax) {
        value = ClockThousandthsUnity;
    }
    value += delta;
    if (value < ClockThousandthsMin) {
        value = ClockThousandthsMin;
    }
    if (value > ClockThousandthsMax) {
        value = ClockThousandthsMax;
    }
    return static_cast<ULONG>(value);
}

void CopyText(char* buffer, size_t size, const char* text)
{
    if (size == 0) {
        return;
    }
    buffer[0] = '\0';
    AppendText(buffer, size, text);
}

void AppendText(char* buffer, size_t size, const char* text)
{
    size_t length = TextLength(buffer);
    while (*text != '\0' && length + 1 < size) {
        buffer[length++] = *text++;
    }
    if (length < size) {
        buffer[length] = '\0';
    }
}

void AppendUnsigned(char* buffer, size_t size, ULONG value)
{
    char digits[11];
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    char text[11];
    for (size_t i = 0; i < count; ++i) {
        text[i] = digits[count - 1 - i];
    }
    text[count] = '\0';
    AppendText(buffer, size, text);
}

void FormatUnsigned(char* buffer, size_t size, ULONG value)
{
    CopyText(buffer, size, "");
    AppendUnsigned(buffer, size, value);
}

void FormatRange(char* buffer, size_t size, ULONG low, ULONG high)
{
    FormatUnsigned(buffer, size, low);
    AppendText(buffer, size, "..");
    AppendUnsigned(buffer, size, high);
}

void FormatFixed3(char* buffer, size_t size, ULONG thousandths)
{
    FormatUnsigned(buffer, size, thousandths / 1000);
    AppendText(buffer, size, ".");
    ULONG decimals = thousandths % 1000;
    if (decimals < 100) {
        AppendText(buffer, size, decimals < 10 ? "00" : "0");
    }
    AppendUnsigned(buffer, size, decimals);
}

void FormatCableRow(ULONG cableIndex, const CableInfo& info, CableRowText* row)
{
    for (auto& cell : row->Cell) {
        cell[0] = '\0';
    }
    FormatUnsigned(row->Cell[0], CableCellSize, cableIndex + 1);
    PadLeft(row->Cell[0], CableCellSize, 5);
    FormatUnsigned(row->Cell[1], CableCellSize, info.MaxInstances);
    FormatUnsigned(row->Cell[2], CableCellSize, info.MsPerInterrupt);
    FormatRange(row->Cell[3], CableCellSize, info.MinSamplingRate, info.MaxSamplingRate);
    FormatRange(row->Cell[4], CableCellSize, info.MinBitsPerSample, info.MaxBitsPerSample);
    FormatRange(row->Cell[5], CableCellSize, info.MinChannels, info.MaxChannels);
    // A mode this panel does not know is shown by its number rather than read past the names.
    if (info.FormatLimiting < FormatLimitingModes) {
        CopyText(row->Cell[6], CableCellSize, FormatLimitingNames[info.FormatLimiting]);
    } else {
        FormatUnsigned(row->Cell[6], CableCellSize, info.FormatLimiting);
    }
    CopyText(row->Cell[7], CableCellSize, info.VolumeControl != 0 ? "Enabled" : "Disabled");
    // The cable format means something only while the cable has a stream.
    if (info.CaptureStreams != 0 || info.RenderStreams != 0) {
        FormatUnsigned(row->Cell[8], CableCellSize, info.CableFormat.Format.nSamplesPerSec);
        FormatUnsigned(row->Cell[9], CableCellSize, info.CableFormat.Samples.wValidBitsPerSample);
        FormatUnsigned(row->Cell[10], CableCellSize, info.CableFormat.Format.nChannels);
        FormatUnsigned(row->Cell[11], CableCellSize, info.CaptureStreams);
        FormatUnsigned(row->Cell[12], CableCellSize, info.RenderStreams);
    }
    if (info.CaptureOverflows != 0) {
        FormatUnsigned(row->Cell[13], CableCellSize, info.CaptureOverflows);
    }
    if (info.RenderUnderflows != 0) {
        FormatUnsigned(row->Cell[14], CableCellSize, info.RenderUnderflows);
    }
}

bool IsSupportedDriverVersion(const DriverInfo& info)
{
    return info.VersionMajor == DRIVER_VERSION_MAJOR && info.VersionMinor == DRIVER_VERSION_MINOR;
}

ULONG SetupErrorAsHresult(ULONG error)
{
    if ((error & 0xE0000000u) == 0xE0000000u) {
        return 0x800F0000u | (error & 0xFFFFu);
    }
    return error;
}

size_t WriteErrorPrefix(char* buffer, size_t size, ULONG error)
{
    CopyText(buffer, size, (error & 0x20000000u) != 0 ? "u" : "");
    AppendUnsigned(buffer, size, (error >> 16) & 0x1FFFu);
    AppendText(buffer, size, "/");
    AppendUnsigned(buffer, size, error & 0xFFFFu);
    AppendText(buffer, size, " - ");
    return TextLength(buffer);
}

void FinishErrorText(char* buffer, size_t prefixLength, size_t descriptionLength)
{
    if (descriptionLength == 0) {
        buffer[prefixLength >= 3 ? prefixLength - 3 : 0] = '\0';
        return;
    }
    size_t end = prefixLength + descriptionLength;
    buffer[end] = '\0';
    if (buffer[end - 1] == ' ') {
        buffer[end - 1] = '\0';
    }
}

void LinkTarget(const char* linkText, char* buffer, size_t size)
{
    if (Contains(linkText, "mailto:") || Contains(linkText, "http://") || Contains(linkText, "https://")) {
        CopyText(buffer, size, linkText);
        return;
    }
    CopyText(buffer, size, Contains(linkText, "@") ? "mailto:" : "http://");
    AppendText(buffer, size, linkText);
}

LONG CentreStart(LONG ownerStart, LONG ownerEnd, LONG dialogStart, LONG dialogEnd)
{
    return ownerStart + ((ownerEnd - ownerStart) - (dialogEnd - dialogStart)) / 2;
}
