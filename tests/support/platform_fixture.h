// The common fixture: a clean platform for each test, the verifier in record mode, and a failure
// for every violation the test did not take and check itself.
#pragma once

#include <gtest/gtest.h>

#include "host/harness.h"

class PlatformTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

// Reads a 4-byte registry value as a number, or returns `fallback` when absent.
ULONG RegistryDword(const std::string& keyPath, const std::string& name, ULONG fallback = 0xFFFFFFFF);
