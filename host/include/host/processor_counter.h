// A statistics count bumped on the streaming path without a locked instruction: inside a DPC each
// emulated processor has its own slot, which only the one DPC running there writes, so a plain
// load and store are exact; elsewhere (client threads, test threads) one shared slot is bumped
// atomically. Total() is exact once the counting calls have returned.
#pragma once

#include <atomic>

#include "host/kernel.h"

namespace host {

class ProcessorCounter {
public:
    static constexpr unsigned Slots = 64;  // MaxProcessors

    // Defined in the stand-in's scheduler.h, which knows the running DPC's processor.
    inline void Increment();
    ULONG Total() const
    {
        ULONG total = outsideDpcs_.load();
        for (const std::atomic<ULONG>& slot : inDpcs_) {
            total += slot.load(std::memory_order_relaxed);
        }
        return total;
    }

private:
    std::atomic<ULONG> inDpcs_[Slots]{};
    std::atomic<ULONG> outsideDpcs_{0};
};

}  // namespace host
