#include "platform/nt/testing/machine_test.h"

#include <unistd.h>

#include <atomic>
#include <string>

#include "platform/nt/debug.h"
#include "platform/nt/kernel.h"

namespace qk::testing {

void MachineTest::SetUp() {
    static std::atomic<int> counter{0};
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name) {
        if (c == '/') c = '_';
    }
    root_ = std::filesystem::temp_directory_path() /
            ("qk-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" + name);
    std::filesystem::remove_all(root_);
    qk::verifier::Clear();
    qk::debug::Clear();
    Boot();
}

void MachineTest::TearDown() {
    ShutDown();
    auto reports = qk::verifier::Reports();
    for (const auto& r : reports) {
        ADD_FAILURE() << "verifier: " << qk::verifier::Name(r.violation) << ": " << r.message;
    }
    qk::verifier::Clear();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

void MachineTest::Boot() {
    machine_ = std::make_unique<Machine>(root_);
    qk::nt::Boot(*machine_);
}

void MachineTest::ShutDown() { machine_.reset(); }

void MachineTest::RestartMachine() {
    ShutDown();
    Boot();
}

size_t MachineTest::TakeViolations(qk::verifier::Violation v) { return qk::verifier::Take(v); }

}  // namespace qk::testing
