// Cable construction and destruction.
#include "filters/cable.h"

#include "filters/adapter.h"
#include "filters/wave_miniport.h"

Cable* Cable::Create(ULONG index, Adapter* adapter)
{
    void* memory = PoolAlloc(sizeof(Cable));
    if (memory == NULL) {
        return NULL;
    }
    return new (memory, InPlace) Cable(index, adapter);
}

Cable::Cable(ULONG index, Adapter* adapter)
    : Link{NULL, NULL},
      Index(index),
      OwnerAdapter(adapter),
      Wave(NULL),
      MaxInstances(DefaultMaxInstances),
      CaptureOverflows(0),
      RenderUnderflows(0)
{
    OwnerAdapter->AddRef();
}

// A miniport that PortCls still references outlives the cable: it must find a null back-pointer,
// not a freed cable.
Cable::~Cable()
{
    if (Wave != NULL) {
        Wave->DetachCable();
        Wave->Release();
        Wave = NULL;
    }
    OwnerAdapter->Release();
}

void Cable::Destroy(Cable* cable)
{
    cable->~Cable();
    PoolFree(cable);
}

void Cable::AttachWaveMiniport(WaveMiniport* miniport)
{
    Wave = miniport;
}
