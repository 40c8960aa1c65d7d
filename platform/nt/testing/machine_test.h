// Test fixture: a fresh simulated machine per test case on a temporary system
// root. At the end of the case the machine shuts down (unloading drivers and
// checking the pool for leaks), and any verifier report the test did not take
// with TakeViolations fails the case.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "platform/nt/machine.h"
#include "platform/nt/verifier.h"

namespace qk::testing {

class MachineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Shuts the machine down and boots a new one on the same system root, as a
    // restart of the real machine would (the registry and files persist).
    void RestartMachine();

    // Removes the reports of violation `v` from the record and returns how many
    // there were; tests that provoke misuse assert on this.
    size_t TakeViolations(qk::verifier::Violation v);

    const std::filesystem::path& Root() const { return root_; }
    Machine& TheMachine() { return *machine_; }

private:
    void Boot();
    void ShutDown();
    std::filesystem::path root_;
    std::unique_ptr<Machine> machine_;
};

}  // namespace qk::testing
