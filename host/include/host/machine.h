// The driver installed on a stand-in machine: its image and its root-enumerated device node, driven
// as Windows drives them at boot, at a property change from the device's installer, and at
// shutdown. The registry the driver reads is the stand-in's (harness.h): set it up before Boot.
#pragma once

#include <string>

#include "host/harness.h"

namespace host {

class Machine {
public:
    explicit Machine(const std::string& imagePath = DefaultDriverImagePath());
    ~Machine();  // Shutdown
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Loads the image (DriverEntry), then adds and starts the device. A device that does not
    // start is removed, as the PnP manager does, and the image stays loaded.
    NTSTATUS Boot();
    // The installer's property change: the device is removed and, being the driver's only one,
    // the image is unloaded; the image is then loaded anew, reading the registry as it stands, and
    // the device added and started. A handle left open vetoes the removal: the old load keeps
    // running and the result is STATUS_DEVICE_BUSY (the installer then asks for a reboot).
    NTSTATUS Restart();
    // Removes the device and unloads the image; pool still allocated then is reported as a leak.
    // The caller closes its handles first. Later calls do nothing.
    void Shutdown();

    bool Loaded() const { return image_.Loaded(); }
    DriverImage& Image() { return image_; }
    DeviceNode& Node() { return node_; }
    // The functional device object, or null while no device is added.
    PDEVICE_OBJECT Device() { return node_.FunctionalDevice(); }

private:
    DriverImage image_;
    DeviceNode node_;
};

}  // namespace host
