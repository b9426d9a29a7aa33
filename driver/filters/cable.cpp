// Cable construction and destruction.
#include "filters/cable.h"

#include "filters/adapter.h"
#include "filters/topology_miniport.h"
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
      Topology(NULL),
      MaxInstances(DefaultMaxInstances),
      CaptureOverflows(0),
      RenderUnderflows(0),
      References(1)
{
    OwnerAdapter->AddRef();
}

Cable::~Cable()
{
    OwnerAdapter->Release();
}

// A miniport that PortCls still references keeps the storage, so its streams, its timer DPC and
// any path that has already read its cable pointer go on with live locks and counters.
void Cable::Destroy(Cable* cable)
{
    cable->DropMiniports();
    cable->Release();
}

void Cable::DropMiniports()
{
    TopologyMiniport* topology = Topology;
    Topology = NULL;
    if (topology != NULL) {
        topology->Release();
    }
    WaveMiniport* wave = Wave;
    Wave = NULL;
    if (wave != NULL) {
        wave->Release();
    }
}

void Cable::AddRef()
{
    InterlockedIncrement(&References);
}

void Cable::Release()
{
    if (InterlockedDecrement(&References) == 0) {
        this->~Cable();
        PoolFree(this);
    }
}

void Cable::AttachWaveMiniport(WaveMiniport* miniport)
{
    Wave = miniport;
}

void Cable::AttachTopologyMiniport(TopologyMiniport* miniport)
{
    Topology = miniport;
}
