// PcNewServiceGroup: a group of service sinks served by one DPC. Asking the group for service
// queues the DPC (once, however often it is asked before it runs); the DPC calls RequestService
// on every member. The port's Notify goes through here.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "host/harness.h"
#include "host/host_mutex.h"
#include "host/internal.h"
#include "host/portcls.h"
#include "scheduler.h"

namespace host {
namespace {

constexpr int DrainYields = 64;
constexpr std::chrono::microseconds DrainNap{50};

// Answered only by the stand-in's own groups, so a pin can tell a group that drains on removal
// (RemoveMemberAndDrain) from a miniport's own IServiceGroup.
// {6F1C2D3A-7B4E-4C59-9A1D-2E8F3B5C7D90}
const GUID HostServiceGroupIid = {0x6f1c2d3a, 0x7b4e, 0x4c59, {0x9a, 0x1d, 0x2e, 0x8f, 0x3b, 0x5c, 0x7d, 0x90}};

// The members as the DPC serves them: a list that is replaced, never changed, when membership
// changes, and that holds a reference on each member. A serving DPC marks the list in its
// processor's slot (serving_) instead of taking a reference, so serving costs no locked
// instruction beyond the group lock. A replaced list that a DPC still serves is kept (and with it
// its members) until a later membership change or the group's end finds no slot showing it.
class MemberList {
public:
    explicit MemberList(std::vector<PSERVICESINK> members) : members_(std::move(members))
    {
        for (PSERVICESINK member : members_) {
            member->AddRef();
        }
    }
    ~MemberList()
    {
        for (PSERVICESINK member : members_) {
            member->Release();
        }
    }
    MemberList(const MemberList&) = delete;
    MemberList& operator=(const MemberList&) = delete;
    const std::vector<PSERVICESINK>& Members() const { return members_; }

private:
    const std::vector<PSERVICESINK> members_;  // referenced
};

class ServiceGroup final : public IServiceGroup {
public:
    ServiceGroup()
    {
        KeInitializeDpc(&dpc_, ServiceDpc, this);
        KeInitializeDpc(&delayedDpc_, ServiceDpc, this);
        KeInitializeTimer(&timer_);
    }

    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override
    {
        if (iid == IID_IUnknown || iid == IID_IServiceSink || iid == IID_IServiceGroup || iid == HostServiceGroupIid) {
            *object = static_cast<IServiceGroup*>(this);
            AddRef();
            return STATUS_SUCCESS;
        }
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return references_.fetch_add(1) + 1; }
    STDMETHODIMP_(ULONG) Release() override
    {
        LONG left = references_.fetch_sub(1) - 1;
        if (left == 0) {
            delete this;
        }
        return left;
    }

    // Like IServiceSink::RequestService on a group: any IRQL. A queued DPC holds a reference, so
    // the group outlives it.
    STDMETHODIMP_(void) RequestService() override
    {
        AddRef();
        if (!KeInsertQueueDpc(&dpc_, nullptr, nullptr)) {
            Release();  // already queued: the one run serves this request too
        }
    }

    // Like IServiceGroup::AddMember: the group holds a reference on each member.
    STDMETHODIMP_(NTSTATUS) AddMember(PSERVICESINK serviceSink) override
    {
        if (serviceSink == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        std::lock_guard<std::mutex> membership(membershipLock_);
        std::vector<PSERVICESINK> members = members_->Members();
        members.push_back(serviceSink);
        Replace(new MemberList(std::move(members)));
        return STATUS_SUCCESS;
    }

    STDMETHODIMP_(void) RemoveMember(PSERVICESINK serviceSink) override
    {
        std::lock_guard<std::mutex> membership(membershipLock_);
        std::vector<PSERVICESINK> members;
        if (MembersWithout(serviceSink, &members)) {
            Replace(new MemberList(std::move(members)));
        }
    }

    // RemoveMember, then waits until no DPC still serves a list that holds the member: from then
    // on the group never calls it again. PASSIVE_LEVEL, outside any of the group's DPCs.
    void RemoveMemberAndDrain(PSERVICESINK serviceSink)
    {
        // The replaced list, and any replaced earlier that a DPC still served (they may hold the
        // member too), are ours to wait out, without the membership lock: a member may change
        // membership from its RequestService.
        std::vector<std::unique_ptr<MemberList>> draining;
        {
            std::lock_guard<std::mutex> membership(membershipLock_);
            std::vector<PSERVICESINK> members;
            if (!MembersWithout(serviceSink, &members)) {
                return;
            }
            draining.swap(retired_);
            draining.emplace_back(Swap(new MemberList(std::move(members))));
        }
        // A serving DPC usually holds a list for a few short member calls, so yield at first; a
        // member's call may take long, and yielding throughout would keep a processor busy, so
        // then nap. On the virtual clock none runs.
        for (const std::unique_ptr<MemberList>& list : draining) {
            for (int attempt = 0; Serving(list.get()); ++attempt) {
                if (attempt < DrainYields) {
                    std::this_thread::yield();
                } else {
                    std::this_thread::sleep_for(DrainNap);
                }
            }
        }
    }

    STDMETHODIMP_(void) SupportDelayedService() override { delayedSupported_ = true; }

    // Like IServiceGroup::RequestDelayedService: the delay is a KeSetTimer due time (negative:
    // relative, 100-ns units). An armed timer holds a reference until it fires or is cancelled.
    STDMETHODIMP_(void) RequestDelayedService(ULONGLONG delay) override
    {
        if (!delayedSupported_) {
            ReportViolation("DELAYED_SERVICE_NOT_SUPPORTED", "IServiceGroup::RequestDelayedService",
                            "call SupportDelayedService on the group before asking for delayed service");
            return;
        }
        AddRef();
        LARGE_INTEGER dueTime;
        dueTime.QuadPart = static_cast<LONGLONG>(delay);
        if (KeSetTimer(&timer_, dueTime, &delayedDpc_)) {
            Release();  // it was armed already: that arming's reference carries over
        }
    }

    STDMETHODIMP_(void) CancelDelayedService() override
    {
        if (delayedSupported_ && KeCancelTimer(&timer_)) {
            Release();
        }
    }

private:
    // Caller holds membershipLock_. The current members less serviceSink into *members; false
    // when it is not one of them.
    bool MembersWithout(PSERVICESINK serviceSink, std::vector<PSERVICESINK>* members) const
    {
        *members = members_->Members();
        auto found = std::find(members->begin(), members->end(), serviceSink);
        if (found == members->end()) {
            return false;
        }
        members->erase(found);
        return true;
    }

    ~ServiceGroup()
    {
        KeCancelTimer(&timer_);
        KeRemoveQueueDpc(&dpc_);
        KeRemoveQueueDpc(&delayedDpc_);
        // A running DPC holds a reference, so none serves any list now.
        retired_.clear();
        delete members_;
    }

    // Caller holds membershipLock_. Puts `members` in place; returns the list it replaced, which
    // a DPC may still be serving.
    MemberList* Swap(MemberList* members)
    {
        std::lock_guard<HostMutex> guard(lock_);
        MemberList* old = members_;
        members_ = members;
        return old;
    }

    // Whether a DPC serves `members` now. A DPC marks its slot under lock_, so once lock_ has
    // replaced the list, a slot that does not show it never will again.
    bool Serving(const MemberList* members) const
    {
        for (const std::atomic<const MemberList*>& slot : serving_) {
            if (slot.load(std::memory_order_acquire) == members) {
                return true;
            }
        }
        return false;
    }

    // Caller holds membershipLock_: frees the replaced lists no DPC serves any more.
    void ReclaimRetired()
    {
        retired_.erase(std::remove_if(retired_.begin(), retired_.end(),
                                      [this](const std::unique_ptr<MemberList>& list) { return !Serving(list.get()); }),
                       retired_.end());
    }

    // Caller holds membershipLock_.
    void Replace(MemberList* members)
    {
        std::unique_ptr<MemberList> old(Swap(members));
        ReclaimRetired();
        if (Serving(old.get())) {
            retired_.push_back(std::move(old));
        }
    }

    // Runs as a DPC, so on one processor (dpcProcessor), whose slot no other code writes.
    void ServeMembers()
    {
        std::atomic<const MemberList*>& slot = serving_[dpcProcessor];
        const MemberList* members = nullptr;
        {
            std::lock_guard<HostMutex> guard(lock_);
            members = members_;
            slot.store(members, std::memory_order_relaxed);
        }
        for (PSERVICESINK member : members->Members()) {
            member->RequestService();
        }
        slot.store(nullptr, std::memory_order_release);
    }

    // Both DPCs run this; each drops the reference its queuing (or its timer's arming) took. A
    // timer re-armed and fired again before its DPC ran queues that DPC once: the arming's
    // reference is then never dropped, so the group is leaked rather than freed early.
    static void ServiceDpc(PKDPC, PVOID context, PVOID, PVOID)
    {
        auto* group = static_cast<ServiceGroup*>(context);
        group->ServeMembers();
        group->Release();
    }

    std::atomic<LONG> references_{1};
    std::mutex membershipLock_;  // orders AddMember and RemoveMember; taken before lock_; guards retired_
    HostMutex lock_;             // guards members_ (the pointer) against a DPC taking it
    MemberList* members_ = new MemberList({});
    std::vector<std::unique_ptr<MemberList>> retired_;  // replaced while a DPC served them
    // Per processor: the list a DPC of this group serves there now, else null.
    std::atomic<const MemberList*> serving_[MaxProcessors] = {};
    std::atomic<bool> delayedSupported_{false};
    KDPC dpc_;
    KDPC delayedDpc_;
    KTIMER timer_;
};

}  // namespace

bool IsDrainingServiceGroup(PSERVICEGROUP group)
{
    PVOID answer = nullptr;
    if (!NT_SUCCESS(group->QueryInterface(HostServiceGroupIid, &answer)) || answer == nullptr) {
        return false;
    }
    static_cast<PSERVICEGROUP>(answer)->Release();
    return true;
}

void RemoveMemberAndDrain(PSERVICEGROUP group, PSERVICESINK member)
{
    static_cast<ServiceGroup*>(group)->RemoveMemberAndDrain(member);
}

}  // namespace host

// Like PcNewServiceGroup: a new group with one reference; aggregation is not supported.
NTSTATUS PcNewServiceGroup(PSERVICEGROUP* outServiceGroup, PUNKNOWN outerUnknown)
{
    if (outServiceGroup == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *outServiceGroup = nullptr;
    if (outerUnknown != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *outServiceGroup = new host::ServiceGroup;
    return STATUS_SUCCESS;
}
