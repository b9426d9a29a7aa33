// Loading and unloading the driver image, and the class driver's side of driver initialisation.
// Every DriverImage maps a fresh copy of the driver's shared object, so the image's globals start
// from their load-time values, as they do when Windows loads a driver anew.
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

#include "host/harness.h"
#include "host/portcls.h"
#include "host/internal.h"

namespace host {
namespace {

std::mutex imageMutex;
constexpr ULONG DeviceExtensionTag = 0x78446350;  // "PcDx"
std::vector<std::string> eventLog;
NTSTATUS pcInitializeStatus = STATUS_SUCCESS;
NTSTATUS pcDispatchStatus = STATUS_INVALID_DEVICE_REQUEST;
std::atomic<int> loadedCopies{0};

struct ExtensionDeleter {
    void operator()(void* extension) const { ExFreePoolWithTag(extension, DeviceExtensionTag); }
};

struct AdapterDevice {
    std::unique_ptr<DEVICE_OBJECT> device;
    std::unique_ptr<void, ExtensionDeleter> extension;  // the class driver's, from non-paged pool
    PDEVICE_OBJECT physicalDeviceObject = nullptr;
    PCPFNSTARTDEVICE startDevice = nullptr;
    ULONG maxObjects = 0;
};

struct ClassDriverState {
    PDRIVER_ADD_DEVICE addDevice = nullptr;
    std::vector<AdapterDevice> devices;
};
std::unordered_map<PDRIVER_OBJECT, ClassDriverState>& ClassDrivers()
{
    static std::unordered_map<PDRIVER_OBJECT, ClassDriverState> drivers;
    return drivers;
}

// The class driver's dispatcher: the host's I/O manager routes requests here when the driver
// hands them on. Until devices exist there is nothing for it to do.
NTSTATUS ClassDispatch(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    return PcDispatchIrp(deviceObject, irp);
}

// The class driver's unload routine: the device objects that were never removed go with their
// subdevices, then what PcInitializeAdapterDriver set up.
void ClassUnload(PDRIVER_OBJECT driverObject)
{
    LogEvent("class unload");
    std::vector<PDEVICE_OBJECT> devices;
    {
        std::lock_guard<std::mutex> guard(imageMutex);
        auto found = ClassDrivers().find(driverObject);
        if (found != ClassDrivers().end()) {
            for (const AdapterDevice& adapter : found->second.devices) {
                devices.push_back(adapter.device.get());
            }
        }
    }
    for (PDEVICE_OBJECT device : devices) {
        TearDownSubdevices(device);
    }
    std::lock_guard<std::mutex> guard(imageMutex);
    ClassDrivers().erase(driverObject);
}

}  // namespace

const std::string DriverImage::DefaultServiceKey =
    "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tarndrv";

DriverImage::DriverImage(const std::string& imagePath) : imagePath_(imagePath) {}

DriverImage::~DriverImage()
{
    if (Loaded()) {
        Unload();
    }
}

NTSTATUS DriverImage::Load(const std::string& serviceKeyPath)
{
    if (Loaded()) {
        throw std::logic_error("DriverImage::Load: the image is already loaded");
    }
    // A copy under a fresh name forces the dynamic loader to map new data sections.
    char name[64];
    std::snprintf(name, sizeof(name), "/tmp/tarndrv-%d-%d.so", static_cast<int>(getpid()), loadedCopies.fetch_add(1));
    loadedCopy_ = name;
    {
        std::ifstream in(imagePath_, std::ios::binary);
        std::ofstream out(loadedCopy_, std::ios::binary | std::ios::trunc);
        if (!in || !out) {
            throw std::runtime_error("DriverImage::Load: cannot copy the image " + imagePath_);
        }
        out << in.rdbuf();
    }
    handle_ = dlopen(loadedCopy_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ != nullptr) {
        RegisterImageSections(loadedCopy_, handle_);
    }
    std::remove(loadedCopy_.c_str());
    if (handle_ == nullptr) {
        throw std::runtime_error(std::string("DriverImage::Load: ") + dlerror());
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(handle_, "DriverEntry"));
    if (entry == nullptr) {
        throw std::runtime_error("DriverImage::Load: the image has no DriverEntry");
    }

    driverObject_ = std::make_unique<DRIVER_OBJECT>();
    driverExtension_ = std::make_unique<DRIVER_EXTENSION>();
    std::memset(driverObject_.get(), 0, sizeof(DRIVER_OBJECT));
    std::memset(driverExtension_.get(), 0, sizeof(DRIVER_EXTENSION));
    driverExtension_->DriverObject = driverObject_.get();
    driverObject_->DriverExtension = driverExtension_.get();
    driverObject_->Size = sizeof(DRIVER_OBJECT);
    driverObject_->DriverInit = entry;

    std::u16string widePath(serviceKeyPath.begin(), serviceKeyPath.end());
    UNICODE_STRING registryPath;
    registryPath.Buffer = widePath.data();
    registryPath.Length = static_cast<USHORT>(widePath.size() * sizeof(WCHAR));
    registryPath.MaximumLength = registryPath.Length;  // the system's string is not terminated

    NTSTATUS status;
    {
        DriverCall call("DriverEntry");
        status = entry(driverObject_.get(), &registryPath);
    }
    // The kernel discards the INIT section once DriverEntry has returned.
    DiscardInitSections(handle_, true);
    entrySucceeded_ = NT_SUCCESS(status);
    return status;
}

NTSTATUS DriverImage::EnterAgain(PUNICODE_STRING registryPath)
{
    DiscardInitSections(handle_, false);
    NTSTATUS status;
    {
        DriverCall call("DriverEntry");
        status = driverObject_->DriverInit(driverObject_.get(), registryPath);
    }
    DiscardInitSections(handle_, true);
    return status;
}

void DriverImage::Unload()
{
    if (!Loaded()) {
        return;
    }
    if (entrySucceeded_ && driverObject_->DriverUnload != nullptr) {
        DriverCall call("DriverUnload");
        driverObject_->DriverUnload(driverObject_.get());
    }
    entrySucceeded_ = false;
    CheckPendingOperationsAtUnload(handle_);
    ForgetImageSections(handle_);
    dlclose(handle_);
    handle_ = nullptr;
    {
        std::lock_guard<std::mutex> guard(imageMutex);
        ClassDrivers().erase(driverObject_.get());
    }
    for (const PoolAllocation& block : LivePoolAllocations()) {
        char detail[160];
        std::snprintf(detail, sizeof(detail), "%zu bytes of %s with tag 0x%08X (allocation #%llu) still allocated",
                      block.size, (block.type & 1) != 0 ? "PagedPool" : "NonPagedPool", block.tag,
                      static_cast<unsigned long long>(block.serial));
        ReportViolation("POOL_LEAK_AT_UNLOAD", block.site, detail);
    }
}

void* DriverImage::Symbol(const std::string& name) const
{
    return handle_ == nullptr ? nullptr : dlsym(handle_, name.c_str());
}

std::string DefaultDriverImagePath()
{
#ifdef TARN_DRIVER_IMAGE
    return TARN_DRIVER_IMAGE;
#else
    const char* path = std::getenv("TARN_DRIVER_IMAGE");
    return path != nullptr ? path : "libtarndrv.so";
#endif
}

PDRIVER_DISPATCH ClassDispatchRoutine()
{
    return &ClassDispatch;
}

PDRIVER_UNLOAD ClassUnloadRoutine()
{
    return &ClassUnload;
}

PDRIVER_ADD_DEVICE RegisteredAddDevice(PDRIVER_OBJECT driverObject)
{
    std::lock_guard<std::mutex> guard(imageMutex);
    auto found = ClassDrivers().find(driverObject);
    return found == ClassDrivers().end() ? nullptr : found->second.addDevice;
}

bool FindClassDevice(PDEVICE_OBJECT deviceObject, ClassDeviceInfo* info)
{
    std::lock_guard<std::mutex> guard(imageMutex);
    for (auto& [driverObject, state] : ClassDrivers()) {
        for (const AdapterDevice& adapter : state.devices) {
            if (adapter.device.get() == deviceObject) {
                info->driverObject = driverObject;
                info->physicalDeviceObject = adapter.physicalDeviceObject;
                info->startDevice = adapter.startDevice;
                info->maxObjects = adapter.maxObjects;
                return true;
            }
        }
    }
    return false;
}

void DeleteClassDevice(PDEVICE_OBJECT deviceObject)
{
    std::lock_guard<std::mutex> guard(imageMutex);
    for (auto& [driverObject, state] : ClassDrivers()) {
        for (auto it = state.devices.begin(); it != state.devices.end(); ++it) {
            if (it->device.get() == deviceObject) {
                if (driverObject->DeviceObject == deviceObject) {
                    driverObject->DeviceObject = nullptr;
                }
                state.devices.erase(it);
                return;
            }
        }
    }
}

void LogEvent(const std::string& event)
{
    std::lock_guard<std::mutex> guard(imageMutex);
    eventLog.push_back(event);
}

std::vector<std::string> TakeEventLog()
{
    std::lock_guard<std::mutex> guard(imageMutex);
    std::vector<std::string> taken;
    taken.swap(eventLog);
    return taken;
}

void SetPcInitializeAdapterDriverStatus(NTSTATUS status)
{
    std::lock_guard<std::mutex> guard(imageMutex);
    pcInitializeStatus = status;
}

void ResetImageState()
{
    std::lock_guard<std::mutex> guard(imageMutex);
    eventLog.clear();
    pcInitializeStatus = STATUS_SUCCESS;
    pcDispatchStatus = STATUS_INVALID_DEVICE_REQUEST;
}

void SetPcDispatchIrpStatus(NTSTATUS status)
{
    std::lock_guard<std::mutex> guard(imageMutex);
    pcDispatchStatus = status;
}

void ResetPlatform()
{
    ResetPool();
    ResetLockOrder();
    RegisterLoadedImageSections();
    ResetSystemAnswers();
    ResetImageState();
    ResetDeviceInterfaces();
    ResetSubdevices();
    ResetDevicePowerStates();
    ResetOpenFiles();
    ResetScheduler();
    RegistryClear();
    RegistryClearFaults();
    TakeViolations();
}

}  // namespace host

// Like PcInitializeAdapterDriver: fills every major function with the class driver's
// dispatcher, installs the class driver's unload routine and remembers AddDevice.
NTSTATUS PcInitializeAdapterDriver(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPathName,
                                   PDRIVER_ADD_DEVICE addDevice)
{
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "PcInitializeAdapterDriver", "it runs at PASSIVE_LEVEL only");
    std::lock_guard<std::mutex> guard(host::imageMutex);
    if (!NT_SUCCESS(host::pcInitializeStatus)) {
        return host::pcInitializeStatus;
    }
    for (auto& dispatch : driverObject->MajorFunction) {
        dispatch = &host::ClassDispatch;
    }
    driverObject->DriverUnload = &host::ClassUnload;
    driverObject->DriverExtension->AddDevice = addDevice;
    host::ClassDrivers()[driverObject].addDevice = addDevice;
    return STATUS_SUCCESS;
}

// Like PcAddAdapterDevice: the class driver creates the functional device object (with its own
// extension of at least PORT_CLASS_DEVICE_EXTENSION_SIZE, from non-paged pool: out of pool the
// device is not created, STATUS_INSUFFICIENT_RESOURCES) and remembers StartDevice and the largest
// number of subdevices.
NTSTATUS PcAddAdapterDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject,
                            PCPFNSTARTDEVICE startDevice, ULONG maxObjects, ULONG deviceExtensionSize)
{
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "PcAddAdapterDevice", "it runs at PASSIVE_LEVEL only");
    if (deviceExtensionSize != 0 && deviceExtensionSize < PORT_CLASS_DEVICE_EXTENSION_SIZE) {
        return STATUS_INVALID_PARAMETER;
    }
    if (host::RegisteredAddDevice(driverObject) == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    // The device object's extension comes from non-paged pool, as IoCreateDevice takes it.
    size_t extensionSize = deviceExtensionSize != 0 ? deviceExtensionSize : PORT_CLASS_DEVICE_EXTENSION_SIZE;
    void* extension = ExAllocatePoolWithTag(NonPagedPool, extensionSize, host::DeviceExtensionTag);
    if (extension == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(extension, 0, extensionSize);
    std::lock_guard<std::mutex> guard(host::imageMutex);
    auto found = host::ClassDrivers().find(driverObject);
    host::AdapterDevice adapter;
    adapter.extension.reset(extension);
    if (found == host::ClassDrivers().end()) {
        return STATUS_INVALID_PARAMETER;  // unloaded meanwhile
    }
    adapter.device = std::make_unique<DEVICE_OBJECT>();
    std::memset(adapter.device.get(), 0, sizeof(DEVICE_OBJECT));
    adapter.device->DriverObject = driverObject;
    adapter.device->AttachedDevice = physicalDeviceObject;
    adapter.device->DeviceExtension = extension;
    adapter.physicalDeviceObject = physicalDeviceObject;
    adapter.startDevice = startDevice;
    adapter.maxObjects = maxObjects;
    driverObject->DeviceObject = adapter.device.get();
    found->second.devices.push_back(std::move(adapter));
    host::eventLog.push_back("PcAddAdapterDevice " + std::to_string(maxObjects));
    return STATUS_SUCCESS;
}

// Like PcDispatchIrp: the class driver's own handling of a request. PnP and power requests are
// handled (and completed) as PortCls does; create, close, cleanup and device control open, close
// and serve filter and pin handles (subdevices.cpp). A call without a request (a test of the
// driver's hooks alone) gets the answer the test named.
NTSTATUS PcDispatchIrp(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    if (irp != nullptr) {
        switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
        case IRP_MJ_PNP:
            return host::ClassPnp(deviceObject, irp);
        case IRP_MJ_POWER:
            return host::ClassPower(deviceObject, irp);
        case IRP_MJ_CREATE:
        case IRP_MJ_CLOSE:
        case IRP_MJ_CLEANUP:
        case IRP_MJ_DEVICE_CONTROL:
            return host::ClassFileRequest(deviceObject, irp);
        default:
            break;
        }
    }
    std::lock_guard<std::mutex> guard(host::imageMutex);
    return host::pcDispatchStatus;
}
