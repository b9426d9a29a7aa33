// The one header every driver source includes first: it selects the platform the driver is built
// for. Windows builds see the WDK headers (with the compatibility layer MinGW-w64 needs); host
// builds see the stand-in platform under host/. Driver logic never tests the platform itself.
#pragma once

#if defined(TARN_HOST)
#include "host/kernel.h"
#include "host/ks.h"
#include "host/ntstrsafe.h"
#include "host/portcls.h"
// Wide string literals: WCHAR is char16_t on the host.
#define TARN_WIDE(text) u##text
// Code placement: named sections, as in the real image, which the host's verifier finds in each
// loaded image and checks on every routine's entry (the host build instruments routines).
#define TARN_PAGEABLE __attribute__((section("tarn_page")))
#define TARN_INIT __attribute__((section("tarn_init")))
// The processing section of the timer DPC: the host verifier fails any allocation, wait or mutex
// inside it.
#define ENTER_PROCESSING_SECTION(name) HOST_ENTER_NO_BLOCK_REGION(name)
#define LEAVE_PROCESSING_SECTION() HOST_LEAVE_NO_BLOCK_REGION()
// The host's DPC watchdog measures a pass by the cable bytes it processes.
#define CHARGE_PROCESSING_WORK(bytes) HostChargeDpcWork(bytes)
// Measuring a change: `if (ENGINE_VARIANT() != 0)` selects the new version of a routine while
// the A/B harness times both in one process. Always 0 in the driver image.
#define ENGINE_VARIANT() HostEngineVariant()
// The interface a DMA channel made by the driver implements, and its PhysicalAddress slot: here
// IDmaChannel itself, whose callers take the structure as the compiler returns it.
typedef IDmaChannel DmaChannelInterface;
#define IMP_DMA_CHANNEL_PHYSICAL_ADDRESS(getter) \
    STDMETHODIMP_(PHYSICAL_ADDRESS) PhysicalAddress() override { return getter(); }
#else
#include "platform_windows.h"
#define ENTER_PROCESSING_SECTION(name) ((void)0)
#define LEAVE_PROCESSING_SECTION() ((void)0)
#define CHARGE_PROCESSING_WORK(bytes) ((void)0)
#define ENGINE_VARIANT() 0
#endif

// The driver's pool tag: the four bytes "Wdm " in memory.
constexpr ULONG PoolTag = 0x206D6457;
