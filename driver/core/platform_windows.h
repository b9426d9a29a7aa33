// Windows side of core/platform.h: the kernel, PortCls and KS headers as MinGW-w64 ships them,
// with the small compatibility layer they need to compile as C++17 under GCC with -Werror.
// Only core/platform.h includes this file.
#pragma once

// intrin-impl.h (through intrin.h) and wdm.h both define these two; wdm.h's inline versions win.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
// ntddk.h is wdm.h plus the few services the driver uses that are documented there
// (MmGetPhysicalAddress, PsGetCurrentProcessId, KeGetCurrentProcessorNumber).
#include <ntddk.h>

// The one translation unit that defines INITGUID (core/guids.cpp) also instantiates the KS GUIDs,
// which ks.h and ksmedia.h only declare (DEFINE_GUIDSTRUCT): ksguid.h turns those declarations
// into definitions built from each GUID's STATIC_ value list.
#ifdef INITGUID
#include <ksguid.h>
#endif

// mmreg.h and ksmedia.h both declare these three subtype GUIDs, ksmedia.h unconditionally, so
// with INITGUID they would be defined twice. mmreg.h skips its copies when the STATIC_ names
// exist; these are token for token ksmedia.h's own definitions, so its redefinitions are benign.
#define STATIC_KSDATAFORMAT_SUBTYPE_WAVEFORMATEX 0x00000000,0x0000,0x0010,0x80,0x00,0x00,0xaa,0x00,0x38,0x9b,0x71
#define STATIC_KSDATAFORMAT_SUBTYPE_PCM DEFINE_WAVEFORMATEX_GUID(WAVE_FORMAT_PCM)
#define STATIC_KSDATAFORMAT_SUBTYPE_IEEE_FLOAT DEFINE_WAVEFORMATEX_GUID(WAVE_FORMAT_IEEE_FLOAT)

// punknown.h, stdunk.h and portcls.h use these MSVC attributes, which wdm.h leaves undefined for
// GCC. No vtable elision exists in GCC; nothrow is implied by -fno-exceptions.
#ifndef DECLSPEC_NOVTABLE
#define DECLSPEC_NOVTABLE
#endif
#ifndef DECLSPEC_NOTHROW
#define DECLSPEC_NOTHROW
#endif

// ksmedia.h names TCHAR (in a tape-transport record the driver never uses) without declaring it;
// kernel code is not built with UNICODE, so it is the narrow character as in user-mode headers.
#ifndef _TCHAR_DEFINED
#define _TCHAR_DEFINED
typedef CHAR TCHAR;
#endif

// portcls.h's IMiniportWaveRT methods take these ksmedia.h records, which this ksmedia.h lacks.
// Layouts as published for KSPROPERTY_RTAUDIO_HWLATENCY and KSPROPERTY_RTAUDIO_*_REGISTER.
typedef struct {
    ULONG FifoSize;
    ULONG ChipsetDelay;
    ULONG CodecDelay;
} KSRTAUDIO_HWLATENCY, *PKSRTAUDIO_HWLATENCY;

typedef struct {
    PVOID Register;
    ULONG Width;
    ULONGLONG Numerator;
    ULONGLONG Denominator;
    ULONG Accuracy;
} KSRTAUDIO_HWREGISTER, *PKSRTAUDIO_HWREGISTER;

// portcls.h pulls in windef.h, mmreg.h, punknown.h, ks.h, ksmedia.h and drmk.h in the order
// ksmedia.h needs (it uses windef.h's types and mmreg.h's WAVEFORMATEX).
#include <portcls.h>
#include <ks.h>
#include <ksmedia.h>
// Unoptimised builds (__NO_INLINE__) make MinGW-w64 leave out ntstrsafe.h's function bodies in
// favour of a library it does not ship; the bodies are wanted in every build, as in the WDK.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#ifdef __CRT__NO_INLINE
#undef __CRT__NO_INLINE
#include <ntstrsafe.h>
#define __CRT__NO_INLINE 1
#else
#include <ntstrsafe.h>
#endif
// stdunk.h declares INonDelegatingUnknown. Its global pool operators new and delete are left
// out: the driver allocates its objects through its own class-scope operators (core/pool.h).
#define _NEW_DELETE_OPERATORS_
#include <stdunk.h>

// The WDK's wdm.h has the cache-line prefetch for x64; MinGW-w64 keeps it in the user-mode
// winnt.h only. Here as the instruction itself, a hint that never faults whatever the address:
// GCC deletes a loop whose only effect is its prefetch builtin, but keeps a volatile statement.
#ifndef PreFetchCacheLine
#define PF_TEMPORAL_LEVEL_1 3
#define PreFetchCacheLine(l, a) __asm__ __volatile__("prefetcht0 %0" : : "m"(*(const char*)(a)))
#endif

// IPreFetchOffset (Windows XP and later): portcls.h has only its heading. A WavePci stream gets it
// from its port stream to set how far the render write position leads the play position.
// {7000F480-ED44-4E8B-B38A-412F8D7A504D}
DEFINE_GUID(IID_IPreFetchOffset, 0x7000f480, 0xed44, 0x4e8b, 0xb3, 0x8a, 0x41, 0x2f, 0x8d, 0x7a, 0x50, 0x4d);
DECLARE_INTERFACE_(IPreFetchOffset, IUnknown)
{
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(VOID, SetPreFetchOffset)(THIS_ ULONG PreFetchOffset) PURE;
};
typedef IPreFetchOffset* PPREFETCHOFFSET;

// The bus driver's standard interface (wdmguid.h, which this tool chain lacks): the PnP hook
// sends queries for it down the stack first.
// {496B8280-6F25-11D0-BEAF-08002BE2092F}
DEFINE_GUID(GUID_BUS_INTERFACE_STANDARD, 0x496B8280, 0x6F25, 0x11D0, 0xBE, 0xAF, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F);

// Driver annotations the WDK's driverspecs.h has and MinGW-w64's headers lack; like the rest of
// them here, they mean something to the WDK's analysis tools only.
#ifndef _Dispatch_type_
#define _Dispatch_type_(type)
#endif
#ifndef _IRQL_saves_global_
#define _IRQL_saves_global_(kind, param)
#endif
#ifndef _IRQL_restores_global_
#define _IRQL_restores_global_(kind, param)
#endif

// The status of a request refused because the device is in use (ntstatus.h of the WDK), which
// this tool chain's headers lack.
#ifndef STATUS_CONNECTION_IN_USE
#define STATUS_CONNECTION_IN_USE ((NTSTATUS)0xC0000108L)
#endif

// Jack description properties (Windows Vista and later), missing from this ksmedia.h.
// {4509F757-2D46-4637-8E62-CE7DB944F57B}
#define STATIC_KSPROPSETID_Jack 0x4509f757, 0x2d46, 0x4637, 0x8e, 0x62, 0xce, 0x7d, 0xb9, 0x44, 0xf5, 0x7b
DEFINE_GUIDSTRUCT("4509F757-2D46-4637-8E62-CE7DB944F57B", KSPROPSETID_Jack);
#define KSPROPSETID_Jack DEFINE_GUIDNAMED(KSPROPSETID_Jack)

typedef enum {
    KSPROPERTY_JACK_DESCRIPTION = 1,
    KSPROPERTY_JACK_DESCRIPTION2 = 2,
    KSPROPERTY_JACK_SINK_INFO = 3,
    KSPROPERTY_JACK_CONTAINERID = 4
} KSPROPERTY_JACK;

// The format the data-range intersection returns (ksmedia.h of the WDK), missing here.
typedef struct {
    KSDATAFORMAT DataFormat;
    WAVEFORMATEXTENSIBLE WaveFormatExt;
} KSDATAFORMAT_WAVEFORMATEXTENSIBLE, *PKSDATAFORMAT_WAVEFORMATEXTENSIBLE;
static_assert(sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE) == 104, "KSDATAFORMAT_WAVEFORMATEXTENSIBLE is 104 bytes");

// IDmaChannel as PortCls calls it. GCC returns a structure from a C++ member function in RAX,
// MSVC (and so PortCls) through a hidden pointer passed after `this`, returning that pointer.
// portcls.h declares IDmaChannel::PhysicalAddress as returning PHYSICAL_ADDRESS, which GCC would
// implement with its own convention; so a DMA channel made by the driver implements this copy of
// the interface, the same slots in the same order with that one's result pointer explicit, and
// hands it out as an IDmaChannel. Every other slot returns a scalar and needs no care.
struct DECLSPEC_NOVTABLE DmaChannelInterface : public IUnknown {
    STDMETHOD_(NTSTATUS, AllocateBuffer)(ULONG BufferSize, PPHYSICAL_ADDRESS PhysicalAddressConstraint) PURE;
    STDMETHOD_(void, FreeBuffer)() PURE;
    STDMETHOD_(ULONG, TransferCount)() PURE;
    STDMETHOD_(ULONG, MaximumBufferSize)() PURE;
    STDMETHOD_(ULONG, AllocatedBufferSize)() PURE;
    STDMETHOD_(ULONG, BufferSize)() PURE;
    STDMETHOD_(void, SetBufferSize)(ULONG BufferSize) PURE;
    STDMETHOD_(PVOID, SystemAddress)() PURE;
    STDMETHOD_(PPHYSICAL_ADDRESS, PhysicalAddress)(PPHYSICAL_ADDRESS Result) PURE;
    STDMETHOD_(PADAPTER_OBJECT, GetAdapterObject)() PURE;
    STDMETHOD_(void, CopyTo)(PVOID Destination, PVOID Source, ULONG ByteCount) PURE;
    STDMETHOD_(void, CopyFrom)(PVOID Destination, PVOID Source, ULONG ByteCount) PURE;
};
#define IMP_DMA_CHANNEL_PHYSICAL_ADDRESS(getter)                                          \
    STDMETHODIMP_(PPHYSICAL_ADDRESS) PhysicalAddress(PPHYSICAL_ADDRESS result) override \
    {                                                                                     \
        *result = getter();                                                               \
        return result;                                                                    \
    }

// Wide string literals: WCHAR is wchar_t (16-bit) on Windows.
#define TARN_WIDE(text) L##text
// Code placement: the kernel may page out sections named PAGE..., and frees the INIT section
// once DriverEntry has returned (the build marks it discardable after the link).
#define TARN_PAGEABLE __attribute__((section("PAGE")))
#define TARN_INIT __attribute__((section("INIT")))

// wdm.h of the WDK has ReadPointerNoFence (an atomic read with no ordering); this one does not.
// On x64 an aligned pointer load is atomic, so it is the volatile read the WDK's version is.
inline PVOID ReadPointerNoFence(PVOID const volatile* source)
{
    return *source;
}

// Likewise ReadNoFence: an aligned 32-bit load, atomic on x64, with no ordering.
inline LONG ReadNoFence(LONG const volatile* source)
{
    return *source;
}

// Likewise WritePointerNoFence: an aligned pointer store, atomic on x64, with no ordering.
inline void WritePointerNoFence(PVOID volatile* destination, PVOID value)
{
    *destination = value;
}

// Likewise WriteRelease: x64 keeps stores in order, so a 32-bit store that the compiler may not
// move above earlier accesses is a release.
inline void WriteRelease(LONG volatile* destination, LONG value)
{
    __asm__ __volatile__("" ::: "memory");
    *destination = value;
}
