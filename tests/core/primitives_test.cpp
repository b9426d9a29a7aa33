// Kernel support primitives: pool wrappers, recursive locks, lists and GUID text.
#include <thread>

#include "core/guid_text.h"
#include "core/list.h"
#include "support/platform_fixture.h"

namespace {

class PrimitivesTest : public PlatformTest {};

struct Item {
    ListEntry Link;
    int Value;
};

}  // namespace

TEST_F(PrimitivesTest, PoolBlocksCarryTheDriverTagAndHonourTheFlags)
{
    void* plain = PoolAlloc(24);
    void* pagedZeroed = PoolAllocEx(40, PoolPaged | PoolZeroed);
    ASSERT_NE(plain, nullptr);
    ASSERT_NE(pagedZeroed, nullptr);
    std::vector<host::PoolAllocation> live = host::LivePoolAllocations();
    ASSERT_EQ(live.size(), 2u);
    EXPECT_EQ(live[0].tag, 0x206D6457u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&live[0].tag), 4), "Wdm ");
    EXPECT_EQ(live[0].type, NonPagedPool);
    EXPECT_EQ(live[1].type, PagedPool);
    EXPECT_EQ(std::vector<uint8_t>(static_cast<uint8_t*>(pagedZeroed), static_cast<uint8_t*>(pagedZeroed) + 40),
              std::vector<uint8_t>(40, 0));
    PoolFree(plain);
    PoolFree(pagedZeroed);
    PoolFree(nullptr);
    EXPECT_EQ(host::LivePoolCount(), 0u);
}

TEST_F(PrimitivesTest, RecursiveMutexIsReleasedOnlyByTheOutermostLeave)
{
    MutexLock lock;
    lock.Enter();
    lock.Enter();
    lock.Leave();
    EXPECT_TRUE(lock.OwnedByCurrentThread());
    EXPECT_EQ(lock.Depth(), 1);
    lock.Leave();
    EXPECT_FALSE(lock.OwnedByCurrentThread());
}

TEST_F(PrimitivesTest, RecursiveSpinLockHoldsDispatchLevelUntilTheOutermostLeave)
{
    SpinLockLock lock;
    lock.Enter();
    lock.Enter();
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    lock.Leave();
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_TRUE(lock.OwnedByCurrentThread());
    lock.Leave();
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_FALSE(lock.OwnedByCurrentThread());
}

TEST_F(PrimitivesTest, AMutexHeldByAnotherThreadIsNotOwnedHere)
{
    MutexLock lock;
    std::thread other([&] { lock.Enter(); });
    other.join();
    EXPECT_FALSE(lock.OwnedByCurrentThread());
}

TEST_F(PrimitivesTest, PopFrontOfAnEmptyListIsNullAndKeepsTheCountAtZero)
{
    List list;
    EXPECT_EQ(list.PopFront(), nullptr);
    EXPECT_EQ(list.Size(), 0u);
}

TEST_F(PrimitivesTest, InsertAfterNullOnAnEmptyListMakesTheEntryHeadAndTail)
{
    List list;
    Item item{{nullptr, nullptr}, 1};
    list.InsertAfter(&item.Link, nullptr);
    EXPECT_EQ(list.First(), &item.Link);
    EXPECT_EQ(list.Last(), &item.Link);
    EXPECT_EQ(list.Size(), 1u);
}

TEST_F(PrimitivesTest, InsertAfterNullPutsTheEntryBeforeTheHead)
{
    List list;
    Item a{{}, 1}, b{{}, 2};
    list.PushBack(&a.Link);
    list.InsertAfter(&b.Link, nullptr);
    EXPECT_EQ(list.First(), &b.Link);
    EXPECT_EQ(list.Last(), &a.Link);
    EXPECT_EQ(b.Link.Next, &a.Link);
    EXPECT_EQ(a.Link.Previous, &b.Link);
}

TEST_F(PrimitivesTest, RemovingHeadAndTailRelinksTheRestAndClearsTheLinks)
{
    List list;
    Item items[3] = {{{}, 0}, {{}, 1}, {{}, 2}};
    for (Item& item : items) {
        list.PushBack(&item.Link);
    }
    list.Remove(&items[0].Link);
    EXPECT_EQ(list.First(), &items[1].Link);
    EXPECT_EQ(items[1].Link.Previous, nullptr);
    EXPECT_EQ(items[0].Link.Next, nullptr);
    EXPECT_EQ(items[0].Link.Previous, nullptr);

    list.Remove(&items[2].Link);
    EXPECT_EQ(list.Last(), &items[1].Link);
    EXPECT_EQ(items[1].Link.Next, nullptr);
    EXPECT_EQ(list.Size(), 1u);
    EXPECT_FALSE(list.Contains(&items[0].Link));
    EXPECT_TRUE(list.Contains(&items[1].Link));

    list.Remove(&items[1].Link);
    EXPECT_EQ(list.First(), nullptr);
    EXPECT_EQ(list.Last(), nullptr);
}

TEST_F(PrimitivesTest, MoveAllToAppendsInOrderAndEmptiesTheSource)
{
    Item items[5] = {{{}, 0}, {{}, 1}, {{}, 2}, {{}, 3}, {{}, 4}};
    List source;
    List destination;
    source.MoveAllTo(&destination);  // an empty source changes nothing
    EXPECT_TRUE(destination.Empty());

    source.PushBack(&items[0].Link);
    source.PushBack(&items[1].Link);
    source.MoveAllTo(&destination);  // into an empty list
    EXPECT_TRUE(source.Empty());
    EXPECT_EQ(source.First(), nullptr);
    EXPECT_EQ(source.Last(), nullptr);
    EXPECT_EQ(destination.Size(), 2u);

    for (int i = 2; i < 5; ++i) {
        source.PushBack(&items[i].Link);
    }
    source.MoveAllTo(&destination);  // behind existing entries
    ASSERT_EQ(destination.Size(), 5u);
    EXPECT_EQ(destination.Last(), &items[4].Link);
    int expected = 0;
    for (ListEntry* walk = destination.First(); walk != nullptr; walk = walk->Next, ++expected) {
        EXPECT_EQ(CONTAINING_RECORD(walk, Item, Link)->Value, expected);
        EXPECT_EQ(walk->Previous, expected == 0 ? nullptr : &items[expected - 1].Link);
    }
    EXPECT_EQ(expected, 5);
    // Both lists stay usable.
    EXPECT_EQ(destination.PopFront(), &items[0].Link);
    source.PushBack(&items[0].Link);
    EXPECT_EQ(source.Size(), 1u);
}

TEST_F(PrimitivesTest, LockedListOperationsLeaveTheGuardFreeAndTheIrqlRestored)
{
    MutexLock external;
    LockedList guarded(&external);
    LockedList own;
    Item a{{}, 1};
    for (LockedList* list : {&guarded, &own}) {
        list->PushBack(&a.Link);
        EXPECT_TRUE(list->Contains(&a.Link));
        EXPECT_EQ(list->PopFront(), &a.Link);
        EXPECT_FALSE(list->Guard()->OwnedByCurrentThread());
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    }
    EXPECT_EQ(guarded.Guard(), &external);
}

TEST_F(PrimitivesTest, FormatGuidWritesLowerCaseWithoutBraces)
{
    const GUID guid = {0x22C6AC61, 0x851B, 0x11D0, {0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE}};
    char text[GuidTextBytes];
    EXPECT_STREQ(FormatGuid(text, &guid), "22c6ac61-851b-11d0-9a7f-00aa0038acfe");
    EXPECT_STREQ(FormatGuid(text, nullptr), "*** zero GUID address ***");
}
