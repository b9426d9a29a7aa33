// COM plumbing for the driver's objects in the PortCls manner: a non-delegating unknown with an
// interlocked reference count, delegation to an outer unknown (the object itself unless PortCls
// aggregates it), and ReturnInterface for QueryInterface implementations.
#pragma once

#include "core/pool.h"

// The base of every COM-style driver object: holds the reference count and the outer unknown.
// The last NonDelegatingRelease destroys the object through its virtual destructor, whose
// class-scope delete returns the memory to the pool.
class UnknownBase : public INonDelegatingUnknown, public PoolObject {
public:
    STDMETHODIMP_(ULONG) NonDelegatingAddRef() override;
    STDMETHODIMP_(ULONG) NonDelegatingRelease() override;
    virtual ~UnknownBase() {}

    PUNKNOWN GetOuterUnknown() const { return outerUnknown_; }

protected:
    // `outerUnknown` is the aggregating object, or null when the object is its own outer unknown:
    // then the non-delegating unknown serves as the outer IUnknown, its three slots standing where
    // QueryInterface, AddRef and Release stand, as kernel COM arranges it.
    explicit UnknownBase(PUNKNOWN outerUnknown)
        : referenceCount_(0),
          outerUnknown_(outerUnknown != NULL
                            ? outerUnknown
                            : reinterpret_cast<PUNKNOWN>(static_cast<INonDelegatingUnknown*>(this)))
    {
    }

private:
    LONG referenceCount_;
    PUNKNOWN outerUnknown_;
};

// The delegating IUnknown of a class derived from UnknownBase: everything goes to the outer unknown.
#define DELEGATING_UNKNOWN                                                                 \
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override            \
    {                                                                                      \
        return GetOuterUnknown()->QueryInterface(iid, object);                             \
    }                                                                                      \
    STDMETHODIMP_(ULONG) AddRef() override { return GetOuterUnknown()->AddRef(); }         \
    STDMETHODIMP_(ULONG) Release() override { return GetOuterUnknown()->Release(); }

// AddRefs and succeeds for a non-null interface; STATUS_INVALID_PARAMETER for null. Every
// QueryInterface stores the pointer (or null) in the caller's out parameter first.
NTSTATUS ReturnInterface(PUNKNOWN object);
