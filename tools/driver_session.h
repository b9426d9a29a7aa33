// The driver as a tarnhost command runs it, the way Windows does: the registry read from a file
// (created with the installation's defaults when absent) or a fresh default one, the image loaded,
// DriverEntry run, the device added and started with PnP requests; at the end the device removed,
// the image unloaded with its pool checked, and the registry file written back with whatever the
// driver and the command stored in it.
#pragma once

#include <string>

#include "core/platform.h"
#include "host/machine.h"

class Cable;
struct DriverState;

namespace tarnhost {

class DriverSession {
public:
    // Resets the platform (virtual time, the verifier stopping the program at the first
    // violation) and prepares the registry. An unusable registry file is an InputError.
    explicit DriverSession(const std::string& registryFile);
    ~DriverSession();  // shuts the driver down without the checks of Finish
    DriverSession(const DriverSession&) = delete;
    DriverSession& operator=(const DriverSession&) = delete;

    // Writes a value of cable `number` (1-based) into both places the driver reads its settings
    // from, as the driver's own saving does; for a command's settings before Boot.
    void SetCableValue(ULONG number, const std::string& valueName, ULONG value);
    // Loads the image and starts the device; a device that does not start is a DriverFault.
    void Boot();
    // The installer's property change; false when an open handle kept the device from restarting.
    bool Restart();
    // The started driver's state and its cable `number` (1-based); a cable the device does not
    // have is an InputError naming how many it has.
    DriverState& Driver();
    Cable& FindCable(ULONG number);
    host::Machine& Machine() { return machine_; }

    // Removes the device and unloads the image, then saves the registry file. Pool left after the
    // unload is a DriverFault (the file is still saved).
    void Finish();

private:
    std::string registryFile_;
    host::Machine machine_;
};

}  // namespace tarnhost
