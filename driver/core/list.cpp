// Intrusive doubly linked lists.
#include "core/list.h"

ListEntry* List::PushBack(ListEntry* entry)
{
    InsertAfter(entry, Tail);
    return entry;
}

void List::InsertAfter(ListEntry* entry, ListEntry* after)
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

ListEntry* List::PopFront()
{
    ListEntry* entry = Head;
    if (entry != NULL) {
        Remove(entry);
    }
    return entry;
}

void List::Remove(ListEntry* entry)
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
