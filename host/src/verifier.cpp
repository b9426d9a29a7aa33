// The verifier: the checks Driver Verifier makes, reported with the rule, the routine and what to
// fix, so that a developer can mend the bug from the message alone.
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "host/harness.h"
#include "host/internal.h"

namespace host {
namespace {

std::mutex verifierMutex;
VerifierMode verifierMode = VerifierMode::Abort;
std::vector<Violation> recorded;

}  // namespace

void SetVerifierMode(VerifierMode mode)
{
    std::lock_guard<std::mutex> guard(verifierMutex);
    verifierMode = mode;
}

VerifierMode GetVerifierMode()
{
    std::lock_guard<std::mutex> guard(verifierMutex);
    return verifierMode;
}

std::vector<Violation> TakeViolations()
{
    std::lock_guard<std::mutex> guard(verifierMutex);
    std::vector<Violation> taken;
    taken.swap(recorded);
    return taken;
}

void ReportViolation(const std::string& rule, const std::string& routine, const std::string& detail)
{
    Violation violation{rule, routine,
                        "Driver Verifier: " + rule + " in " + routine + " at IRQL " +
                            std::to_string(static_cast<int>(CurrentIrql())) + ": " + detail};
    std::lock_guard<std::mutex> guard(verifierMutex);
    if (verifierMode == VerifierMode::Abort) {
        std::fprintf(stderr, "%s\n", violation.message.c_str());
        std::fflush(stderr);
        std::abort();
    }
    recorded.push_back(std::move(violation));
}

RecordViolations::RecordViolations() : previous_(GetVerifierMode())
{
    SetVerifierMode(VerifierMode::Record);
}

RecordViolations::~RecordViolations()
{
    SetVerifierMode(previous_);
}

}  // namespace host
