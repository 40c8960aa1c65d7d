// Every top-level window hears that the machine's devices changed: a device
// node that comes or goes posts WM_DEVICECHANGE with DBT_DEVNODES_CHANGED to
// each of them, as the system does without any registration. Posted, not
// sent: the notice comes from the Plug and Play thread, which must never
// wait for an application's window procedure.
#include <memory>
#include <mutex>

#include "dbt.h"
#include "platform/nt/pnp.h"
#include "platform/ui/ui_internal.h"

namespace qk::ui {

namespace {

// Shared with the subscription, which may run once more after the desktop
// went: it then finds `desktop` cleared and does nothing.
struct Watch {
    std::mutex lock;
    Desktop* desktop = nullptr;
    int cookie = -1;
};

void Notify(Watch& watch) {
    std::lock_guard guard(watch.lock);
    if (watch.desktop == nullptr) return;
    PostToTopLevel(*watch.desktop, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
}

}  // namespace

std::shared_ptr<void> WatchDeviceChanges(Desktop& desktop) {
    auto watch = std::make_shared<Watch>();
    watch->desktop = &desktop;
    std::weak_ptr<Watch> weak = watch;
    watch->cookie = nt::pnp::Subscribe([weak](const nt::pnp::Event& e) {
        if (e.kind != nt::pnp::EventKind::DeviceArrival && e.kind != nt::pnp::EventKind::DeviceRemoval) return;
        if (auto w = weak.lock()) Notify(*w);
    });
    return std::shared_ptr<void>(nullptr, [watch](void*) {
        {
            std::lock_guard guard(watch->lock);
            watch->desktop = nullptr;
        }
        nt::pnp::Unsubscribe(watch->cookie);
    });
}

}  // namespace qk::ui
