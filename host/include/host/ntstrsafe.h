// Bounded string formatting and copying with the ntstrsafe contract: the destination is always
// terminated; output that does not fit is truncated and reported as STATUS_BUFFER_OVERFLOW.
// Format conversions follow the kernel's printf: in the A functions %s is ANSI and %S wide; in the
// W functions %s is wide and %S ANSI; %hs and %ls name the width explicitly in both.
#pragma once

#include <stdarg.h>

#include "host/kernel.h"

#define NTSTRSAFE_MAX_CCH 2147483647

HOST_KAPI NTSTATUS RtlStringCbPrintfA(PSTR dest, size_t cbDest, PCSTR format, ...);
HOST_KAPI NTSTATUS RtlStringCbPrintfW(PWSTR dest, size_t cbDest, PCWSTR format, ...);
HOST_KAPI NTSTATUS RtlStringCchPrintfA(PSTR dest, size_t cchDest, PCSTR format, ...);
HOST_KAPI NTSTATUS RtlStringCchPrintfW(PWSTR dest, size_t cchDest, PCWSTR format, ...);
HOST_KAPI NTSTATUS RtlStringCbVPrintfA(PSTR dest, size_t cbDest, PCSTR format, va_list args);
HOST_KAPI NTSTATUS RtlStringCbVPrintfW(PWSTR dest, size_t cbDest, PCWSTR format, va_list args);
HOST_KAPI NTSTATUS RtlStringCbCopyA(PSTR dest, size_t cbDest, PCSTR source);
HOST_KAPI NTSTATUS RtlStringCbCopyW(PWSTR dest, size_t cbDest, PCWSTR source);
HOST_KAPI NTSTATUS RtlStringCbCatA(PSTR dest, size_t cbDest, PCSTR source);
HOST_KAPI NTSTATUS RtlStringCbLengthA(PCSTR source, size_t cbMax, size_t* length);
HOST_KAPI NTSTATUS RtlStringCbLengthW(PCWSTR source, size_t cbMax, size_t* length);
