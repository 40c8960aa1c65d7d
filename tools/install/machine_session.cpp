#include "tools/install/machine_session.h"

#include <system_error>

#include "platform/nt/kernel.h"
#include "platform/registry/registry.h"

namespace qk::install {

MachineSession::MachineSession(const std::filesystem::path& root) : machine_(root) { qk::nt::Boot(machine_); }

MachineSession::~MachineSession() = default;

std::unique_ptr<MachineSession> MachineSession::Start(const std::filesystem::path& root, Root need,
                                                      std::string* error) {
    std::error_code ec;
    if (need == Root::Installed && !std::filesystem::is_regular_file(root / "registry.db", ec)) {
        *error = "'" + root.string() + "' is not an installed system root (it has no registry.db); run `qk0340 install --root " +
                 root.string() + "` first";
        return nullptr;
    }
    if (need == Root::Any) {
        std::filesystem::create_directories(root, ec);
        if (ec) {
            *error = "cannot create the system root '" + root.string() + "': " + ec.message();
            return nullptr;
        }
    }
    std::unique_ptr<MachineSession> session(new MachineSession(std::filesystem::absolute(root, ec)));
    std::string storeError = registry::StoreError();
    if (!storeError.empty()) {
        *error = storeError;
        return nullptr;
    }
    return session;
}

}  // namespace qk::install
