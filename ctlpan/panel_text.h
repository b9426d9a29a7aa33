// Text and number handling of the control panel that needs no window: the command line, the
// numbers typed into the dialog, the clock correction's fixed-point forms, the list rows, the
// error-text shaping and the About box's links. Built into tarnpanel.exe and into host unit tests.
#pragma once

#include "panel_platform.h"

#include <stddef.h>

// What ReadNumber and ParseFixed3 return for a text that is not a number.
constexpr ULONG NotANumber = 0xFFFFFFFF;

// Clock correction limits in thousandths of a percent (90.000 % to 110.000 %).
constexpr ULONG ClockThousandthsMin = 90000;
constexpr ULONG ClockThousandthsMax = 110000;
constexpr ULONG ClockThousandthsUnity = 100000;

// The rest of a command line after the program name and the blanks that follow it. A quoted
// name ends at the next double quote, an unquoted one at the first space.
const char* SkipProgramName(const char* commandLine);

// Reads an unsigned decimal number from the start of the text. The reading stops at the first
// non-digit or before the value would pass 0xFFFFFFFF; the number counts only when it stopped
// at the end of the text, a space or a tab, otherwise the result is NotANumber. "" reads as 0.
ULONG ParseNumber(const char* text);

// Reads a number with up to three decimals ("100", "99.5", " 100.250xyz") as thousandths.
// Leading blanks are skipped and anything after the number is ignored. More decimals are
// rounded to three. NotANumber for no integer digits, a point with no digit after it, a second
// point, more than nine digits in all, or a value that does not fit below NotANumber.
ULONG ParseFixed3(const char* text);

// The driver's 16.16 clock correction factor as thousandths of a percent, rounded.
ULONG ClockThousandthsFromFactor(ULONG factor);

// Thousandths of a percent (90000..110000) as the driver's 16.16 factor, rounded.
ULONG ClockFactorFromThousandths(ULONG thousandths);

// One up-down step of the clock correction field: starts from 100.000 % when the field's
// value is NotANumber or out of range, then adds the step and clamps to the range.
ULONG StepClockThousandths(ULONG current, int delta);

// Bounded text building: every routine keeps the buffer terminated and cuts what does not fit.
void CopyText(char* buffer, size_t size, const char* text);
void AppendText(char* buffer, size_t size, const char* text);
void AppendUnsigned(char* buffer, size_t size, ULONG value);
void FormatUnsigned(char* buffer, size_t size, ULONG value);           // "%u"
void FormatRange(char* buffer, size_t size, ULONG low, ULONG high);    // "%u..%u"
void FormatFixed3(char* buffer, size_t size, ULONG thousandths);       // "%u.%03u"

// The cable list's columns and the text of one cable's row.
constexpr int CableColumnCount = 16;
constexpr size_t CableCellSize = 32;
extern const char* const CableColumnHeaders[CableColumnCount];

struct CableRowText {
    char Cell[CableColumnCount][CableCellSize];
};

void FormatCableRow(ULONG cableIndex, const CableInfo& info, CableRowText* row);

// The names of the stream format limiting modes, in the combo box's order.
constexpr ULONG FormatLimitingModes = 3;
extern const char* const FormatLimitingNames[FormatLimitingModes];

// True for a driver version this panel speaks to: 4.10.x.x.
bool IsSupportedDriverVersion(const DriverInfo& info);

// SetupAPI reports its own errors with the three top bits set; the system's message table
// knows them in their HRESULT form 0x800F0000 | code. Other errors come back unchanged.
ULONG SetupErrorAsHresult(ULONG error);

// Error text: "u" for an application-defined code, the facility and code numbers and " - ";
// the system's description goes after it. Returns the prefix's length.
size_t WriteErrorPrefix(char* buffer, size_t size, ULONG error);

// Finishes an error text once the description (descriptionLength characters, 0 for none) is in
// place after the prefix: drops one trailing space, or the prefix's " - " when there is none.
void FinishErrorText(char* buffer, size_t prefixLength, size_t descriptionLength);

// The address the shell opens for an About box link: mailto: and http(s): addresses stand as
// they are, an address with "@" gets "mailto:", anything else "http://".
void LinkTarget(const char* linkText, char* buffer, size_t size);

// Start coordinate that centres a span of the dialog over a span of its owner (truncating).
LONG CentreStart(LONG ownerStart, LONG ownerEnd, LONG dialogStart, LONG dialogEnd);
