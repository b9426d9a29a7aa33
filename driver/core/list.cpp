// Intrusive doubly linked lists.
#include "core/list.h"

bool List::Contains(const ListEntry* entry) const
{
    for (const ListEntry* walk = Head; walk != NULL; walk = walk->Next) {
        if (walk == entry) {
            return true;
        }
    }
    return false;
}

ListEntry* LockedList::PushBack(ListEntry* entry)
{
    guard_->Enter();
    list_.PushBack(entry);
    guard_->Leave();
    return entry;
}

ListEntry* LockedList::PopFront()
{
    guard_->Enter();
    ListEntry* entry = list_.PopFront();
    guard_->Leave();
    return entry;
}

void LockedList::Remove(ListEntry* entry)
{
    guard_->Enter();
    list_.Remove(entry);
    guard_->Leave();
}

bool LockedList::Contains(const ListEntry* entry)
{
    guard_->Enter();
    bool found = list_.Contains(entry);
    guard_->Leave();
    return found;
}
