// Code placement, as Driver Verifier's IRQL checking enforces it: the driver's pageable routines
// (section "tarn_page") and init routines ("tarn_init") are found in every loaded copy of the
// image, and the driver's compiler hooks on each routine's entry and exit report a pageable
// routine entered above APC_LEVEL, a pageable routine that raises IRQL to DISPATCH_LEVEL itself
// (its own code would then run at DISPATCH_LEVEL), and an init routine entered after its image's
// DriverEntry returned (the kernel discards INIT then). A resident routine that a pageable one
// calls may raise and lower again: the pageable caller only runs again at the lower IRQL, as
// Driver Verifier's paging-out at each raise allows.
#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "host/harness.h"
#include "host/internal.h"

namespace host {
namespace {

enum class Placement { Resident, Pageable, Init };

struct CodeRange {
    std::atomic<uintptr_t> start{0};
    std::atomic<uintptr_t> end{0};
    std::atomic<bool> discarded{false};  // init code after DriverEntry returned
    Placement placement = Placement::Resident;
    uintptr_t imageBase = 0;
};

constexpr int MaxRanges = 32;
CodeRange ranges[MaxRanges];
std::atomic<int> rangeCount{0};
std::mutex rangesMutex;


// The file offsets and sizes of the named sections of an ELF64 shared object.
bool FindSections(const std::string& path, uintptr_t base)
{
    std::ifstream file(path, std::ios::binary);
    Elf64_Ehdr header{};
    if (!file.read(reinterpret_cast<char*>(&header), sizeof(header)) ||
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
        header.e_shentsize != sizeof(Elf64_Shdr) || header.e_shstrndx >= header.e_shnum) {
        return false;
    }
    std::vector<Elf64_Shdr> sections(header.e_shnum);
    file.seekg(static_cast<std::streamoff>(header.e_shoff));
    if (!file.read(reinterpret_cast<char*>(sections.data()), sections.size() * sizeof(Elf64_Shdr))) {
        return false;
    }
    const Elf64_Shdr& names = sections[header.e_shstrndx];
    std::string table(names.sh_size, '\0');
    file.seekg(static_cast<std::streamoff>(names.sh_offset));
    if (!file.read(table.data(), static_cast<std::streamsize>(table.size()))) {
        return false;
    }
    bool found = false;
    for (const Elf64_Shdr& section : sections) {
        if (section.sh_name >= table.size() || section.sh_size == 0) {
            continue;
        }
        const char* name = table.c_str() + section.sh_name;
        Placement placement = std::strcmp(name, "tarn_page") == 0   ? Placement::Pageable
                              : std::strcmp(name, "tarn_init") == 0 ? Placement::Init
                                                                    : Placement::Resident;
        if (placement == Placement::Resident) {
            continue;
        }
        uintptr_t start = base + section.sh_addr;
        bool known = false;
        for (int index = 0; index < rangeCount.load(); ++index) {
            known = known || (ranges[index].start.load() == start && ranges[index].placement == placement);
        }
        if (known) {
            continue;
        }
        // A slot an unloaded image left, else a new one. Start before end: a hook reading the
        // slot meanwhile matches nothing.
        int slot = 0;
        while (slot < rangeCount.load() && ranges[slot].end.load() != 0) {
            ++slot;
        }
        if (slot == MaxRanges) {
            continue;
        }
        CodeRange& range = ranges[slot];
        range.end = 0;
        range.placement = placement;
        range.imageBase = base;
        range.discarded = false;
        range.start = start;
        range.end = start + section.sh_size;
        if (slot == rangeCount.load()) {
            rangeCount.fetch_add(1, std::memory_order_release);
        }
        found = true;
    }
    return found;
}

Placement PlacementOf(uintptr_t address, CodeRange** range)
{
    int count = rangeCount.load(std::memory_order_acquire);
    for (int index = 0; index < count; ++index) {
        CodeRange& candidate = ranges[index];
        if (address >= candidate.start.load(std::memory_order_relaxed) &&
            address < candidate.end.load(std::memory_order_relaxed)) {
            *range = &candidate;
            return candidate.placement;
        }
    }
    return Placement::Resident;
}

[[gnu::cold, gnu::noinline]] void ReportEntry(void* routine, Placement placement)
{
    std::string name = RoutineName(routine);
    const std::string bareName = name.substr(0, name.find('('));
    if (placement == Placement::Pageable) {
        ReportViolation("PAGEABLE_CODE_AT_RAISED_IRQL", bareName,
                        "the pageable routine " + name + " was entered at " + IrqlName(CurrentIrql()) +
                            "; pageable code runs only at APC_LEVEL or below: move it out of the PAGE section "
                            "or call it at PASSIVE_LEVEL");
    } else {
        ReportViolation("INIT_CODE_AFTER_DRIVER_ENTRY", bareName,
                        "the init routine " + name +
                            " was entered after DriverEntry returned, when the kernel has discarded the INIT "
                            "section: move it out of INIT");
    }
}

}  // namespace

void RegisterLoadedImageSections()
{
    std::lock_guard<std::mutex> guard(rangesMutex);
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void*) {
            // The executable itself comes without a name.
            const bool executable = info->dlpi_name == nullptr || info->dlpi_name[0] == '\0';
            FindSections(executable ? "/proc/self/exe" : info->dlpi_name, info->dlpi_addr);
            return 0;
        },
        nullptr);
}

void RegisterImageSections(const std::string& path, void* handle)
{
    link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(rangesMutex);
    FindSections(path, map->l_addr);
}

void DiscardInitSections(void* handle, bool discarded)
{
    link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(rangesMutex);
    for (int index = 0; index < rangeCount.load(); ++index) {
        if (ranges[index].imageBase == map->l_addr && ranges[index].placement == Placement::Init) {
            ranges[index].discarded = discarded;
        }
    }
}

void ForgetImageSections(void* handle)
{
    link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(rangesMutex);
    for (int index = 0; index < rangeCount.load(); ++index) {
        if (ranges[index].imageBase == map->l_addr) {
            ranges[index].end = 0;  // matches nothing; a later image at the same base registers anew
            ranges[index].start = 0;
        }
    }
}

__thread int frameDepth HOST_HOT_TLS = 0;
__thread bool framePageable[MaxTrackedFrames] HOST_HOT_TLS;

void ReportPageableRaise(const char* routine)
{
    ReportViolation("PAGEABLE_CODE_AT_RAISED_IRQL", routine,
                    std::string("a pageable routine called ") + routine +
                        " itself, so the rest of its code runs at DISPATCH_LEVEL where it may not be paged in; "
                        "take the lock in a routine that is not pageable (" + CallStackNames(2) + ")");
}

}  // namespace host

// The compiler's hooks on every instrumented routine of the driver (-finstrument-functions).
extern "C" [[gnu::no_instrument_function]] void __cyg_profile_func_enter(void* routine, void* callSite)
{
    host::CodeRange* range = nullptr;
    host::Placement placement = host::PlacementOf(reinterpret_cast<uintptr_t>(routine), &range);
    int depth = host::frameDepth++;
    if (depth < host::MaxTrackedFrames) {
        host::framePageable[depth] = placement == host::Placement::Pageable;
    }
    if (placement == host::Placement::Pageable && host::CurrentIrql() > APC_LEVEL) {
        host::ReportEntry(routine, placement);
    } else if (placement == host::Placement::Init && range->discarded.load(std::memory_order_relaxed)) {
        host::ReportEntry(routine, placement);
    }
}

extern "C" [[gnu::no_instrument_function]] void __cyg_profile_func_exit(void* routine, void* callSite)
{
    if (host::frameDepth > 0) {
        --host::frameDepth;
    }
}
