// The driver started from a registry as Windows starts it, for the commands of tarnhost.
#include "driver_session.h"

#include <filesystem>
#include <stdexcept>
#include <vector>

#include "config/registry_store.h"
#include "core/driver_state.h"
#include "filters/adapter.h"
#include "filters/cable.h"

#include "command.h"

namespace tarnhost {

namespace {

// What installation gives the driver: its service key with the Parameters key, and the number
// of cables made explicit.
constexpr ULONG InstalledNumberOfCables = 8;

std::string ParametersKey()
{
    return host::DriverImage::DefaultServiceKey + "\\Parameters";
}

void WriteInstalledRegistry()
{
    host::RegistryCreateKey(ParametersKey());
    host::RegistrySetDword(ParametersKey(), "Number of cables", InstalledNumberOfCables);
}

}  // namespace

DriverSession::DriverSession(const std::string& registryFile) : registryFile_(registryFile)
{
    if (!registryFile_.empty()) {
        std::filesystem::path folder = std::filesystem::absolute(registryFile_).parent_path();
        if (!std::filesystem::is_directory(folder)) {
            throw InputError(registryFile_ + ": no such folder to keep the registry in");
        }
    }
    host::ResetPlatform();
    host::SetVerifierMode(host::VerifierMode::Abort);
    if (registryFile_.empty() || !std::filesystem::exists(registryFile_)) {
        WriteInstalledRegistry();
    } else if (!host::RegistryLoadFile(registryFile_)) {
        throw InputError(registryFile_ + ": not a registry file this program wrote");
    }
}

DriverSession::~DriverSession() = default;

void DriverSession::SetCableValue(ULONG number, const std::string& valueName, ULONG value)
{
    const std::string subkey = "\\Cable " + std::to_string(number);
    host::RegistrySetDword(SoftwareKeyPath + subkey, valueName, value);
    host::RegistrySetDword(ParametersKey() + subkey, valueName, value);
}

void DriverSession::Boot()
{
    NTSTATUS status = machine_.Boot();
    if (!NT_SUCCESS(status)) {
        throw DriverFault("the device did not start: status " + std::to_string(status));
    }
}

bool DriverSession::Restart()
{
    NTSTATUS status = machine_.Restart();
    if (status == STATUS_DEVICE_BUSY) {
        return false;
    }
    if (!NT_SUCCESS(status)) {
        throw DriverFault("the device did not start again: status " + std::to_string(status));
    }
    return true;
}

DriverState& DriverSession::Driver()
{
    auto* driver = static_cast<DriverState*>(machine_.Image().Symbol("Driver"));
    if (driver == nullptr || driver->Adapter == nullptr) {
        throw DriverFault("the driver has no started device");
    }
    return *driver;
}

Cable& DriverSession::FindCable(ULONG number)
{
    Adapter* adapter = Driver().Adapter;
    Cable* cable = number == 0 ? nullptr : adapter->FindCable(number - 1);
    if (cable == nullptr) {
        throw InputError("cable " + std::to_string(number) + " does not exist: the device has " +
                         std::to_string(adapter->Cables.Items().Size()) + " cables");
    }
    return *cable;
}

void DriverSession::Finish()
{
    machine_.Shutdown();
    const std::vector<host::PoolAllocation> leaks = host::LivePoolAllocations();
    if (!registryFile_.empty()) {
        try {
            host::RegistrySaveFile(registryFile_);
        } catch (const std::runtime_error& error) {
            throw InputError(error.what());
        }
    }
    if (!leaks.empty()) {
        std::string message = std::to_string(leaks.size()) + " pool allocation(s) left after the driver was unloaded";
        if (!leaks.front().site.empty()) {
            message += ", the first from " + leaks.front().site;
        }
        throw DriverFault(message);
    }
}

}  // namespace tarnhost
