// Intrusive doubly linked lists: elements embed a ListEntry; a LockedList wraps each operation in
// its guarding lock (its own spin lock, or an external lock given at construction).
#pragma once

#include "core/locks.h"

struct ListEntry {
    ListEntry* Previous;
    ListEntry* Next;  // both null while the element is in no list
};

// The operations are inline: the timer DPC moves mappings between lists on every pass.
class List {
public:
    List() : Head(NULL), Tail(NULL), Count(0) {}

    ListEntry* PushBack(ListEntry* entry)
    {
        InsertAfter(entry, Tail);
        return entry;
    }

    // Links `entry` after `after`; with a null `after`, before the head.
    void InsertAfter(ListEntry* entry, ListEntry* after)
    {
        ListEntry* next = (after != NULL) ? after->Next : Head;
        entry->Previous = after;
        entry->Next = next;
        if (after != NULL) {
            after->Next = entry;
        } else {
            Head = entry;
        }
        if (next != NULL) {
            next->Previous = entry;
        } else {
            Tail = entry;
        }
        ++Count;
    }

    ListEntry* PopFront()
    {
        ListEntry* entry = Head;
        if (entry != NULL) {
            Remove(entry);
        }
        return entry;
    }

    // `entry` must be in this list.
    void Remove(ListEntry* entry)
    {
        if (entry->Previous != NULL) {
            entry->Previous->Next = entry->Next;
        } else {
            Head = entry->Next;
        }
        if (entry->Next != NULL) {
            entry->Next->Previous = entry->Previous;
        } else {
            Tail = entry->Previous;
        }
        entry->Previous = NULL;
        entry->Next = NULL;
        --Count;
    }

    // Moves every entry of this list, in order, to the end of destination, leaving this list
    // empty; constant time.
    void MoveAllTo(List* destination)
    {
        if (Head == NULL) {
            return;
        }
        Head->Previous = destination->Tail;
        if (destination->Tail != NULL) {
            destination->Tail->Next = Head;
        } else {
            destination->Head = Head;
        }
        destination->Tail = Tail;
        destination->Count += Count;
        Head = NULL;
        Tail = NULL;
        Count = 0;
    }

    bool Contains(const ListEntry* entry) const;

    ListEntry* First() const { return Head; }
    ListEntry* Last() const { return Tail; }
    ULONG Size() const { return Count; }
    bool Empty() const { return Count == 0; }

private:
    ListEntry* Head;
    ListEntry* Tail;
    ULONG Count;
};

class LockedList {
public:
    // Without an external lock the list guards itself with its own spin lock.
    explicit LockedList(RecursiveLock* externalLock = NULL)
        : guard_(externalLock != NULL ? externalLock : &ownLock_)
    {
    }

    ListEntry* PushBack(ListEntry* entry);
    ListEntry* PopFront();
    void Remove(ListEntry* entry);
    bool Contains(const ListEntry* entry);

    // For walks: hold the guard while reading Items().
    RecursiveLock* Guard() const { return guard_; }
    List& Items() { return list_; }

private:
    List list_;
    SpinLockLock ownLock_;
    RecursiveLock* guard_;
};
