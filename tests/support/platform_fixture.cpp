// The common fixture.
#include "support/platform_fixture.h"

#include <cstring>

void PlatformTest::SetUp()
{
    host::ResetPlatform();
    host::SetVerifierMode(host::VerifierMode::Record);
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
