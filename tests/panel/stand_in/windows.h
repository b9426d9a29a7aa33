// Linux stand-in for the few Win32 types the panel's window-free logic uses, with Windows widths.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))

typedef uint8_t UCHAR;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint16_t USHORT;
typedef uint32_t ULONG;
typedef uint32_t DWORD;
typedef int32_t LONG;

typedef struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;

#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) extern "C" const GUID name
