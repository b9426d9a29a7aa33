// The common fixture.
#include "support/platform_fixture.h"

#include <cstring>

#include "core/driver_state.h"

void PlatformTest::SetUp()
{
    host::ResetPlatform();
    host::SetVerifierMode(host::VerifierMode::Record);
    // The linked driver's timer-resolution requests as a fresh load leaves them: the platform
    // has just forgotten every request made.
    Driver.TimerResolutionUs = 0;
    Driver.TimerResolutionRequests = 0;
}

void PlatformTest::TearDown()
{
    for (const host::Violation& violation : host::TakeViolations()) {
        ADD_FAILURE() << "unexpected verifier stop: " << violation.message;
    }
    host::SetVerifierMode(host::VerifierMode::Abort);
}

ULONG RegistryDword(const std::string& keyPath, const std::string& name, ULONG fallback)
{
    host::RegistryValueData value;
    if (!host::RegistryGetValue(keyPath, name, &value)) {
        return fallback;
    }
    ULONG number = 0;
    std::memcpy(&number, value.data.data(), std::min<size_t>(value.data.size(), sizeof(number)));
    return number;
}
