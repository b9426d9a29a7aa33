// Starting and stopping the device with 256 cables as Windows does (image load, AddDevice, the
// start request, removal, unload): the time per start and stop, and the pool each cable holds
// while the device runs, the driver's own and the port class library's (the stand-in's) apart.
#include <benchmark/benchmark.h>

#include "config/registry_store.h"
#include "core/platform.h"
#include "host/harness.h"
#include "host/machine.h"

namespace {

constexpr ULONG Cables = 256;

struct PoolFigures {
    double driverNonPaged = 0;
    double driverPaged = 0;
    double otherNonPaged = 0;
};

PoolFigures LivePool()
{
    PoolFigures figures;
    for (const host::PoolAllocation& block : host::LivePoolAllocations()) {
        const bool paged = block.type == PagedPool;
        if (block.tag == PoolTag) {
            (paged ? figures.driverPaged : figures.driverNonPaged) += static_cast<double>(block.size);
        } else if (!paged) {
            figures.otherNonPaged += static_cast<double>(block.size);
        }
    }
    return figures;
}

void BM_StartAndStop256Cables(benchmark::State& state)
{
    host::ResetPlatform();
    host::SetLockOrderChecking(false);
    host::RegistrySetDword(SoftwareKeyPath, "Number of cables", Cables);
    PoolFigures running;
    for (auto _ : state) {
        host::Machine machine;
        if (!NT_SUCCESS(machine.Boot())) {
            state.SkipWithError("the device did not start");
            break;
        }
        state.PauseTiming();
        running = LivePool();
        state.ResumeTiming();
        machine.Shutdown();
    }
    state.counters["driver_nonpaged_B_per_cable"] = running.driverNonPaged / Cables;
    state.counters["driver_paged_B_per_cable"] = running.driverPaged / Cables;
    state.counters["port_nonpaged_B_per_cable"] = running.otherNonPaged / Cables;
    state.SetLabel("one iteration = load, add, start with 256 cables, remove, unload");
}
BENCHMARK(BM_StartAndStop256Cables)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
