// Boot, restart and shutdown of the installed driver, in the order the system uses.
#include "host/machine.h"

namespace host {

Machine::Machine(const std::string& imagePath) : image_(imagePath), node_(image_) {}

Machine::~Machine()
{
    Shutdown();
}

NTSTATUS Machine::Boot()
{
    NTSTATUS status = image_.Loaded() ? STATUS_SUCCESS : image_.Load();
    return NT_SUCCESS(status) ? node_.AddAndStart() : status;
}

NTSTATUS Machine::Restart()
{
    if (node_.FunctionalDevice() != nullptr) {
        NTSTATUS status = node_.Remove();
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    image_.Unload();
    return Boot();
}

void Machine::Shutdown()
{
    if (!image_.Loaded()) {
        return;
    }
    if (node_.FunctionalDevice() != nullptr) {
        node_.Remove();
    }
    image_.Unload();
}

}  // namespace host
