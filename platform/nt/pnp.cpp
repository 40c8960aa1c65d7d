#include "platform/nt/pnp.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/nt/io_manager.h"
#include "platform/nt/kernel.h"
#include "platform/nt/machine.h"
#include "platform/nt/pool.h"
#include "platform/nt/reg_util.h"
#include "platform/nt/thread_context.h"
#include "platform/nt/verifier.h"
#include "platform/nt/wformat.h"
#include "platform/registry/registry.h"

namespace qk::nt::pnp {
namespace {

namespace verifier = qk::verifier;

constexpr char16_t kEnumRoot[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\";
constexpr char16_t kClassRoot[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\";
constexpr char16_t kDeviceClassesRoot[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\";
constexpr char16_t kServicesRoot[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\";
constexpr char16_t kDriverDatabase[] = u"\\Registry\\Machine\\SYSTEM\\DriverDatabase\\DeviceIds\\";
constexpr ULONG kStringTag = pool::Tag("Strg");

std::u16string Upper(std::u16string s) {
    for (auto& c : s) c = RtlUpcaseUnicodeChar(c);
    return s;
}

std::u16string Replace(std::u16string s, char16_t from, char16_t to) {
    std::replace(s.begin(), s.end(), from, to);
    return s;
}

enum class State { New, Started, NoDriver, Failed, SurpriseRemoved, Removed };

struct Node {
    PDEVICE_OBJECT pdo = nullptr;
    Node* parent = nullptr;
    std::vector<Node*> children;
    DeviceInfo info;
    State state = State::New;
    std::vector<PDRIVER_OBJECT> drivers;
    int openFiles = 0;
    bool removeWhenClosed = false;
    bool rootEnumerated = false;
    std::vector<std::u16string> hardwareIdsForRoot;
    std::vector<std::u16string> lowerFilters;
    std::u16string databaseKey;  // the installation's record the driver was matched by
};

struct InterfaceRecord {
    InterfaceInfo info;
    Node* node = nullptr;
    std::u16string keyPath;
};

}  // namespace

class PnpManager {
public:
    explicit PnpManager(Machine& machine);
    ~PnpManager();

    void Queue(std::function<void()> task);
    void RunAndWait(std::function<void()> task);
    void WaitIdle();

    Node* NodeOf(PDEVICE_OBJECT device);
    Node* NodeByPath(const std::u16string& path);

    // Everything below runs on the PnP thread.
    void ProcessNew(Node* node);
    void Enumerate(Node* node);
    void SurpriseRemove(Node* node);
    void FinishRemove(Node* node);
    bool OrderlyRemove(Node* node, bool query);
    void Deliver(const Event& e);

    std::mutex lock;  // guards nodes, tasks, interfaces, subscribers and every Node's fields
    std::condition_variable changed;
    std::deque<std::function<void()>> tasks;
    bool busy = false;
    bool stopping = false;
    std::thread worker;
    std::vector<std::unique_ptr<Node>> nodes;
    Node root;
    std::map<std::u16string, InterfaceRecord> interfaces;  // by upper-case link
    std::map<int, std::function<void(const Event&)>> subscribers;
    int nextCookie = 1;
    PDRIVER_OBJECT rootDriver = nullptr;
    ULONG rootInstances = 0;

private:
    void Loop();
    NTSTATUS SendPnp(PDEVICE_OBJECT top, UCHAR minor, std::function<void(PIO_STACK_LOCATION)> setup,
                     ULONG_PTR* information);
    bool QueryIds(Node* node);
    void WriteEnumKey(Node* node);
    bool MatchDriver(Node* node);
    bool BuildStack(Node* node);
    void UnloadUnused(const std::vector<PDRIVER_OBJECT>& drivers);
    void DisableInterfaces(Node* node);
};

namespace {

PnpManager* Manager() {
    Machine* m = Machine::CurrentOrNull();
    return m ? m->FindComponent<PnpManager>() : nullptr;
}

PnpManager& Pnp() { return Machine::Current().Component<PnpManager>(); }

// ---- The root bus: PDOs of root-enumerated devices ----------------------------------

struct RootPdoExtension {
    Node* node;
    bool removed;
};

PWSTR PoolString(const std::u16string& s) {
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, (s.size() + 1) * 2, kStringTag));
    if (buffer) {
        std::memcpy(buffer, s.data(), s.size() * 2);
        buffer[s.size()] = 0;
    }
    return buffer;
}

NTSTATUS RootDispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<RootPdoExtension*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
        case IRP_MN_QUERY_ID: {
            const DeviceInfo& info = ext->node->info;
            std::u16string answer;
            switch (stack->Parameters.QueryId.IdType) {
                case BusQueryDeviceID: {
                    auto slash = info.instancePath.rfind(u'\\');
                    answer = info.instancePath.substr(0, slash);
                    break;
                }
                case BusQueryInstanceID:
                    answer = info.instancePath.substr(info.instancePath.rfind(u'\\') + 1);
                    break;
                case BusQueryHardwareIDs:
                    answer = reg::JoinMulti(ext->node->hardwareIdsForRoot);
                    answer.pop_back();  // PoolString adds the final zero
                    break;
                default:
                    goto done;
            }
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(PoolString(answer));
            status = irp->IoStatus.Information ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        case IRP_MN_QUERY_DEVICE_TEXT:
            if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription &&
                !ext->node->info.description.empty()) {
                irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(PoolString(ext->node->info.description));
                status = STATUS_SUCCESS;
            }
            break;
        case IRP_MN_QUERY_CAPABILITIES:
            stack->Parameters.DeviceCapabilities.Capabilities->SilentInstall = 1;
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_REMOVE_DEVICE:
            status = STATUS_SUCCESS;
            irp->IoStatus.Status = status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            // A root-enumerated device is gone for good once removed.
            ext->removed = true;
            IoDeleteDevice(device);
            return status;
        default:
            break;
    }
done:
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS RootDispatchPower(PDEVICE_OBJECT, PIRP irp) {
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS RootDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_PNP] = RootDispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = RootDispatchPower;
    return STATUS_SUCCESS;
}

NTSTATUS SignalCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

PnpManager::PnpManager(Machine&) {
    root.info.instancePath = u"HTREE\\ROOT\\0";
    root.state = State::Started;
    io::CreateDriver(u"PnpManager", RootDriverEntry, &rootDriver);
    io::DeviceHooks hooks;
    hooks.fileOpened = FileOpened;
    hooks.fileClosed = FileClosed;
    io::SetDeviceHooks(hooks);
    worker = std::thread([this] { Loop(); });
}

PnpManager::~PnpManager() {
    // Shut-down removes every device, children first, so that each driver
    // unloads and the leak checks see what it left behind.
    RunAndWait([this] {
        std::vector<Node*> top;
        {
            std::lock_guard guard(lock);
            top = root.children;
        }
        for (auto it = top.rbegin(); it != top.rend(); ++it) OrderlyRemove(*it, false);
    });
    {
        std::lock_guard guard(lock);
        stopping = true;
        changed.notify_all();
    }
    worker.join();
    io::SetDeviceHooks({});
    if (rootDriver) io::UnloadDriver(rootDriver);
}

void PnpManager::Loop() {
    CurrentThreadContext().systemThread = true;
    std::unique_lock held(lock);
    while (true) {
        if (!tasks.empty()) {
            auto task = std::move(tasks.front());
            tasks.pop_front();
            busy = true;
            held.unlock();
            task();
            held.lock();
            busy = false;
            changed.notify_all();
            continue;
        }
        if (stopping) break;
        changed.wait(held);
    }
}

void PnpManager::Queue(std::function<void()> task) {
    std::lock_guard guard(lock);
    tasks.push_back(std::move(task));
    changed.notify_all();
}

void PnpManager::RunAndWait(std::function<void()> task) {
    if (std::this_thread::get_id() == worker.get_id()) {
        task();
        return;
    }
    Queue(std::move(task));
    WaitIdle();
}

void PnpManager::WaitIdle() {
    std::unique_lock held(lock);
    changed.wait(held, [this] { return tasks.empty() && !busy; });
}

Node* PnpManager::NodeOf(PDEVICE_OBJECT device) {
    if (device == nullptr) return nullptr;
    return static_cast<Node*>(io::DeviceNode(io::BottomDevice(device)));
}

Node* PnpManager::NodeByPath(const std::u16string& path) {
    std::lock_guard guard(lock);
    std::u16string key = Upper(path);
    for (auto& n : nodes) {
        if (Upper(n->info.instancePath) == key && n->state != State::Removed) return n.get();
    }
    return nullptr;
}

NTSTATUS PnpManager::SendPnp(PDEVICE_OBJECT top, UCHAR minor, std::function<void(PIO_STACK_LOCATION)> setup,
                             ULONG_PTR* information) {
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    // A Plug and Play request starts as "not supported": drivers that do not
    // handle it pass it down unchanged.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = minor;
    if (setup) setup(stack);
    IoSetCompletionRoutine(irp, SignalCompletion, &done, TRUE, TRUE, TRUE);
    IoCallDriver(top, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    if (information) *information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    return status;
}

bool PnpManager::QueryIds(Node* node) {
    PDEVICE_OBJECT top = IoGetAttachedDevice(node->pdo);
    auto query = [&](BUS_QUERY_ID_TYPE type, std::vector<std::u16string>* multi, std::u16string* single) {
        ULONG_PTR info = 0;
        NTSTATUS status = SendPnp(top, IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = type; },
                                  &info);
        if (!NT_SUCCESS(status) || info == 0) return false;
        auto* text = reinterpret_cast<PWSTR>(info);
        if (multi) {
            size_t n = 0;
            while (text[n] != 0 || text[n + 1] != 0) ++n;
            *multi = reg::SplitMulti(text, n + 2);
        } else {
            *single = text;
        }
        ExFreePool(text);
        return true;
    };
    std::u16string deviceId, instanceId;
    if (!query(BusQueryDeviceID, nullptr, &deviceId) || !query(BusQueryInstanceID, nullptr, &instanceId)) {
        return false;
    }
    query(BusQueryHardwareIDs, &node->info.hardwareIds, nullptr);
    query(BusQueryCompatibleIDs, &node->info.compatibleIds, nullptr);
    ULONG_PTR info = 0;
    if (NT_SUCCESS(SendPnp(top, IRP_MN_QUERY_DEVICE_TEXT,
                           [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceText.DeviceTextType = DeviceTextDescription; },
                           &info)) &&
        info != 0) {
        node->info.description = reinterpret_cast<PWSTR>(info);
        ExFreePool(reinterpret_cast<PVOID>(info));
    }
    node->info.instancePath = deviceId + u"\\" + instanceId;
    return true;
}

bool PnpManager::MatchDriver(Node* node) {
    // Exact hardware IDs first, then compatible IDs, then the vendor-wide
    // entry ("USB\VID_FA01") derived from each hardware ID.
    std::vector<std::u16string> candidates = node->info.hardwareIds;
    candidates.insert(candidates.end(), node->info.compatibleIds.begin(), node->info.compatibleIds.end());
    for (auto& id : node->info.hardwareIds) {
        auto amp = id.find(u'&');
        if (amp != std::u16string::npos) candidates.push_back(id.substr(0, amp));
    }
    for (auto& id : candidates) {
        HANDLE key;
        if (!NT_SUCCESS(reg::OpenPath(kDriverDatabase + Replace(id, u'\\', u'#'), KEY_READ, &key))) continue;
        auto service = reg::QueryString(key, u"Service");
        if (service) {
            node->databaseKey = kDriverDatabase + Replace(id, u'\\', u'#');
            node->info.service = *service;
            node->info.className = reg::QueryString(key, u"Class").value_or(u"");
            if (auto g = reg::QueryString(key, u"ClassGUID")) reg::ParseGuid(*g, &node->info.classGuid);
            if (auto d = reg::QueryString(key, u"DeviceDesc")) node->info.description = *d;
            node->info.friendlyName = reg::QueryString(key, u"FriendlyName").value_or(u"");
            node->info.upperFilters = reg::QueryMultiString(key, u"UpperFilters").value_or(std::vector<std::u16string>{});
            node->lowerFilters = reg::QueryMultiString(key, u"LowerFilters").value_or(std::vector<std::u16string>{});
        }
        ZwClose(key);
        if (service) return true;
    }
    return false;
}

namespace {

// The installation's values for the driver key (what a driver package's
// AddReg to the driver key writes), under "DriverValues" of its record:
// strings, copied each time the device is set up so they follow the
// installation.
void CopyDriverValues(const std::u16string& databaseKey, HANDLE driverKey) {
    HANDLE values;
    if (databaseKey.empty() || !NT_SUCCESS(reg::OpenPath(databaseKey + u"\\DriverValues", KEY_READ, &values))) return;
    alignas(8) UCHAR buffer[1024];
    for (ULONG index = 0;; ++index) {
        ULONG got = 0;
        if (!NT_SUCCESS(ZwEnumerateValueKey(values, index, KeyValueFullInformation, buffer, sizeof buffer, &got))) break;
        const auto* info = reinterpret_cast<const KEY_VALUE_FULL_INFORMATION*>(buffer);
        if (info->Type != REG_SZ || info->DataOffset + info->DataLength > got) continue;
        const std::u16string name(reinterpret_cast<const char16_t*>(info->Name), info->NameLength / sizeof(char16_t));
        std::u16string text(reinterpret_cast<const char16_t*>(buffer + info->DataOffset), info->DataLength / sizeof(char16_t));
        while (!text.empty() && text.back() == 0) text.pop_back();
        reg::SetString(driverKey, name, text);
    }
    ZwClose(values);
}

}  // namespace

void PnpManager::WriteEnumKey(Node* node) {
    HANDLE key;
    if (!NT_SUCCESS(reg::CreatePath(kEnumRoot + node->info.instancePath, KEY_ALL_ACCESS, &key))) return;
    reg::SetMultiString(key, u"HardwareID", node->info.hardwareIds);
    if (!node->info.compatibleIds.empty()) reg::SetMultiString(key, u"CompatibleIDs", node->info.compatibleIds);
    reg::SetString(key, u"DeviceDesc", node->info.description);
    if (!node->info.service.empty()) {
        reg::SetString(key, u"Service", node->info.service);
        reg::SetString(key, u"Class", node->info.className);
        std::u16string guid = reg::GuidText(node->info.classGuid);
        reg::SetString(key, u"ClassGUID", guid);
        if (!node->info.friendlyName.empty()) reg::SetString(key, u"FriendlyName", node->info.friendlyName);
        if (!node->info.upperFilters.empty()) reg::SetMultiString(key, u"UpperFilters", node->info.upperFilters);
        // The driver key stays with the instance across re-plugs.
        auto existing = reg::QueryString(key, u"Driver");
        if (existing) {
            node->info.driverKey = *existing;
        } else {
            for (int index = 0; index < 10000; ++index) {
                std::u16string candidate = guid + u"\\" + ToUtf16(Format("%04d", index));
                HANDLE probe;
                if (NT_SUCCESS(reg::OpenPath(kClassRoot + candidate, KEY_READ, &probe))) {
                    ZwClose(probe);
                    continue;
                }
                node->info.driverKey = candidate;
                break;
            }
            reg::SetString(key, u"Driver", node->info.driverKey);
        }
        HANDLE driverKey;
        if (NT_SUCCESS(reg::CreatePath(kClassRoot + node->info.driverKey, KEY_ALL_ACCESS, &driverKey))) {
            reg::SetString(driverKey, u"DriverDesc", node->info.description);
            reg::SetString(driverKey, u"MatchingDeviceId", node->info.hardwareIds.empty() ? u"" : Upper(node->info.hardwareIds[0]));
            CopyDriverValues(node->databaseKey, driverKey);
            ZwClose(driverKey);
        }
    }
    ZwClose(key);
}

bool PnpManager::BuildStack(Node* node) {
    std::vector<std::u16string> services = node->lowerFilters;
    services.push_back(node->info.service);
    services.insert(services.end(), node->info.upperFilters.begin(), node->info.upperFilters.end());
    for (size_t i = 0; i < services.size(); ++i) {
        const auto& service = services[i];
        bool isFunction = i == node->lowerFilters.size();
        auto image = reg::ReadString(kServicesRoot + service, u"ImagePath");
        PDRIVER_OBJECT driver = nullptr;
        NTSTATUS status = image ? io::LoadDriver(service, *image, &driver) : STATUS_OBJECT_NAME_NOT_FOUND;
        if (!NT_SUCCESS(status)) {
            DbgPrint("PNP: %S: cannot load driver %S (0x%08lX)\n", node->info.instancePath.c_str(), service.c_str(),
                     static_cast<ULONG>(status));
            if (isFunction) {
                node->info.problem = Problem::DriverFailedLoad;
                return false;
            }
            continue;  // a filter that does not load leaves the device without it
        }
        if (std::find(node->drivers.begin(), node->drivers.end(), driver) == node->drivers.end()) {
            node->drivers.push_back(driver);
        }
        PDRIVER_ADD_DEVICE add = driver->DriverExtension->AddDevice;
        if (add == nullptr) {
            if (isFunction) {
                node->info.problem = Problem::FailedAdd;
                return false;
            }
            continue;
        }
        {
            DriverScope scope(driver);
            status = add(driver, node->pdo);
        }
        if (!NT_SUCCESS(status)) {
            DbgPrint("PNP: %S: AddDevice of %S failed (0x%08lX)\n", node->info.instancePath.c_str(), service.c_str(),
                     static_cast<ULONG>(status));
            if (isFunction) {
                node->info.problem = Problem::FailedAdd;
                return false;
            }
        }
    }
    return true;
}

void PnpManager::ProcessNew(Node* node) {
    if (!QueryIds(node)) {
        node->state = State::Failed;
        return;
    }
    io::SetDeviceNode(node->pdo, node);
    if (!MatchDriver(node)) {
        node->state = State::NoDriver;
        node->info.problem = Problem::NoDriver;
        WriteEnumKey(node);
        Deliver({EventKind::DeviceArrival, node->info.instancePath, {}, {}});
        return;
    }
    WriteEnumKey(node);
    bool built = BuildStack(node);
    PDEVICE_OBJECT top = IoGetAttachedDevice(node->pdo);
    if (built) {
        DEVICE_CAPABILITIES caps{};
        caps.Size = sizeof caps;
        caps.Version = 1;
        caps.Address = caps.UINumber = 0xFFFFFFFF;
        SendPnp(top, IRP_MN_QUERY_CAPABILITIES,
                [&caps](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = &caps; }, nullptr);
        NTSTATUS status = SendPnp(top, IRP_MN_START_DEVICE, nullptr, nullptr);
        if (NT_SUCCESS(status)) {
            node->state = State::Started;
            node->info.started = true;
            Deliver({EventKind::DeviceArrival, node->info.instancePath, {}, {}});
            Enumerate(node);
            return;
        }
        DbgPrint("PNP: %S: start failed (0x%08lX)\n", node->info.instancePath.c_str(), static_cast<ULONG>(status));
        node->info.problem = Problem::FailedStart;
    }
    // Take down whatever part of the stack was built.
    node->state = State::Failed;
    if (top != node->pdo) SendPnp(top, IRP_MN_REMOVE_DEVICE, nullptr, nullptr);
    DisableInterfaces(node);
    UnloadUnused(node->drivers);
    node->drivers.clear();
    Deliver({EventKind::DeviceArrival, node->info.instancePath, {}, {}});
}

void PnpManager::Enumerate(Node* node) {
    if (node->state != State::Started) return;
    ULONG_PTR info = 0;
    NTSTATUS status = SendPnp(IoGetAttachedDevice(node->pdo), IRP_MN_QUERY_DEVICE_RELATIONS,
                              [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = BusRelations; },
                              &info);
    if (!NT_SUCCESS(status)) return;
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(info);
    std::vector<PDEVICE_OBJECT> reported;
    if (relations != nullptr) {
        for (ULONG i = 0; i < relations->Count; ++i) reported.push_back(relations->Objects[i]);
        ExFreePool(relations);
    }
    // Children no longer reported are gone: surprise removal.
    std::vector<Node*> gone;
    {
        std::lock_guard guard(lock);
        for (Node* child : node->children) {
            if (child->state != State::Removed && child->state != State::SurpriseRemoved &&
                std::find(reported.begin(), reported.end(), child->pdo) == reported.end()) {
                gone.push_back(child);
            }
        }
    }
    for (Node* child : gone) SurpriseRemove(child);
    for (PDEVICE_OBJECT pdo : reported) {
        bool known;
        {
            std::lock_guard guard(lock);
            known = std::any_of(node->children.begin(), node->children.end(),
                                [&](Node* c) { return c->pdo == pdo && c->state != State::Removed; });
        }
        if (!known) {
            auto child = std::make_unique<Node>();
            child->pdo = pdo;
            child->parent = node;
            child->info.pdo = pdo;
            child->info.parentInstancePath = node->info.instancePath;
            Node* raw = child.get();
            {
                std::lock_guard guard(lock);
                nodes.push_back(std::move(child));
                node->children.push_back(raw);
            }
            ProcessNew(raw);
        }
        // The bus referenced every object it reported; the tree keeps its own record.
        ObDereferenceObject(pdo);
    }
}

void PnpManager::DisableInterfaces(Node* node) {
    std::vector<std::u16string> links;
    {
        std::lock_guard guard(lock);
        for (auto& [key, rec] : interfaces) {
            if (rec.node == node && rec.info.enabled) links.push_back(rec.info.symbolicLink);
        }
    }
    for (auto& link : links) {
        UNICODE_STRING u{static_cast<USHORT>(link.size() * 2), static_cast<USHORT>(link.size() * 2), link.data()};
        IoSetDeviceInterfaceState(&u, FALSE);
    }
}

void PnpManager::SurpriseRemove(Node* node) {
    std::vector<Node*> children;
    {
        std::lock_guard guard(lock);
        children = node->children;
    }
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
        if ((*it)->state != State::Removed) SurpriseRemove(*it);
    }
    bool hadDrivers = node->state == State::Started || node->state == State::Failed;
    if (node->state == State::Started) {
        SendPnp(IoGetAttachedDevice(node->pdo), IRP_MN_SURPRISE_REMOVAL, nullptr, nullptr);
    }
    DisableInterfaces(node);
    node->info.present = false;
    node->info.started = false;
    node->state = State::SurpriseRemoved;
    Deliver({EventKind::DeviceRemoval, node->info.instancePath, {}, {}});
    bool wait;
    {
        std::lock_guard guard(lock);
        wait = node->openFiles > 0 && hadDrivers;
        node->removeWhenClosed = wait;
    }
    // The stack is removed when the last handle on it closes.
    if (!wait) FinishRemove(node);
}

void PnpManager::FinishRemove(Node* node) {
    if (node->state == State::Removed) return;
    PDEVICE_OBJECT top = IoGetAttachedDevice(node->pdo);
    SendPnp(top, IRP_MN_REMOVE_DEVICE, nullptr, nullptr);
    node->state = State::Removed;
    node->info.present = false;
    io::SetDeviceNode(node->pdo, nullptr);
    std::vector<PDRIVER_OBJECT> drivers = node->drivers;
    node->drivers.clear();
    UnloadUnused(drivers);
    std::lock_guard guard(lock);
    if (node->parent) {
        auto& siblings = node->parent->children;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), node), siblings.end());
    }
}

bool PnpManager::OrderlyRemove(Node* node, bool query) {
    std::vector<Node*> children;
    {
        std::lock_guard guard(lock);
        children = node->children;
    }
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
        if (!OrderlyRemove(*it, query)) return false;
    }
    if (node->state == State::Removed) return true;
    PDEVICE_OBJECT top = IoGetAttachedDevice(node->pdo);
    if (query && node->state == State::Started) {
        NTSTATUS status = SendPnp(top, IRP_MN_QUERY_REMOVE_DEVICE, nullptr, nullptr);
        if (!NT_SUCCESS(status)) {
            SendPnp(top, IRP_MN_CANCEL_REMOVE_DEVICE, nullptr, nullptr);
            return false;
        }
    }
    DisableInterfaces(node);
    if (node->state == State::Started) Deliver({EventKind::DeviceRemoval, node->info.instancePath, {}, {}});
    node->info.started = false;
    // The PDO stays while its bus reports it; only the stack above goes.
    FinishRemove(node);
    return true;
}

void PnpManager::UnloadUnused(const std::vector<PDRIVER_OBJECT>& drivers) {
    for (PDRIVER_OBJECT driver : drivers) {
        if (driver == rootDriver) continue;
        bool inUse;
        {
            std::lock_guard guard(lock);
            inUse = driver->DeviceObject != nullptr;
        }
        // A deleted device that an open file still holds keeps its driver:
        // closing that file calls into it.
        inUse = inUse || io::HasDeletedDevicesInUse(driver);
        if (!inUse) io::UnloadDriver(driver);
    }
}

void PnpManager::Deliver(const Event& e) {
    // Notifications go out from the Plug and Play thread after the work in
    // hand, in the order things happened (interface changes made by drivers
    // during a start or removal come before the device's own event).
    Queue([this, e] {
        std::vector<std::function<void(const Event&)>> callbacks;
        {
            std::lock_guard guard(lock);
            for (auto& [cookie, cb] : subscribers) callbacks.push_back(cb);
        }
        for (auto& cb : callbacks) cb(e);
    });
}

// ---- Public interface ---------------------------------------------------------------

std::u16string AddRootDevice(const std::u16string& deviceId, const std::vector<std::u16string>& hardwareIds,
                             const std::u16string& description) {
    PnpManager& m = Pnp();
    std::u16string path;
    m.RunAndWait([&] {
        auto node = std::make_unique<Node>();
        Node* raw = node.get();
        raw->rootEnumerated = true;
        raw->parent = &m.root;
        raw->hardwareIdsForRoot = hardwareIds;
        raw->info.description = description;
        raw->info.instancePath = deviceId + u"\\" + ToUtf16(Format("%04lu", m.rootInstances++));
        raw->info.parentInstancePath = m.root.info.instancePath;
        PDEVICE_OBJECT pdo;
        if (!NT_SUCCESS(IoCreateDevice(m.rootDriver, sizeof(RootPdoExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                       FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo))) {
            return;
        }
        auto* ext = static_cast<RootPdoExtension*>(pdo->DeviceExtension);
        ext->node = raw;
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        raw->pdo = pdo;
        raw->info.pdo = pdo;
        {
            std::lock_guard guard(m.lock);
            m.nodes.push_back(std::move(node));
            m.root.children.push_back(raw);
        }
        m.ProcessNew(raw);
        path = raw->info.instancePath;
    });
    return path;
}

bool RemoveDevice(const std::u16string& instancePath) {
    PnpManager& m = Pnp();
    bool removed = false;
    m.RunAndWait([&] {
        Node* node = m.NodeByPath(instancePath);
        if (node != nullptr) removed = m.OrderlyRemove(node, true);
    });
    return removed;
}

NTSTATUS SetDevicePower(const std::u16string& instancePath, DEVICE_POWER_STATE state) {
    PnpManager& m = Pnp();
    NTSTATUS result = STATUS_NO_SUCH_DEVICE;
    m.RunAndWait([&] {
        Node* node = m.NodeByPath(instancePath);
        if (node == nullptr || node->state != State::Started) return;
        PDEVICE_OBJECT top = IoGetAttachedDevice(node->pdo);
        PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
        if (irp == nullptr) {
            result = STATUS_INSUFFICIENT_RESOURCES;
            return;
        }
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_POWER;
        stack->MinorFunction = IRP_MN_SET_POWER;
        stack->Parameters.Power.Type = DevicePowerState;
        stack->Parameters.Power.State.DeviceState = state;
        IoSetCompletionRoutine(irp, SignalCompletion, &done, TRUE, TRUE, TRUE);
        PoCallDriver(top, irp);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        result = irp->IoStatus.Status;
        IoFreeIrp(irp);
    });
    return result;
}

std::vector<DeviceInfo> Devices() {
    PnpManager& m = Pnp();
    std::lock_guard guard(m.lock);
    std::vector<DeviceInfo> out;
    for (auto& n : m.nodes) {
        if (n->state != State::Removed) out.push_back(n->info);
    }
    return out;
}

bool FindDevice(const std::u16string& instancePath, DeviceInfo* info) {
    PnpManager& m = Pnp();
    Node* node = m.NodeByPath(instancePath);
    if (node == nullptr) return false;
    std::lock_guard guard(m.lock);
    *info = node->info;
    return true;
}

std::vector<InterfaceInfo> Interfaces(const GUID& interfaceClass, bool enabledOnly) {
    PnpManager& m = Pnp();
    std::lock_guard guard(m.lock);
    std::vector<InterfaceInfo> out;
    for (auto& [key, rec] : m.interfaces) {
        if (IsEqualGUID(rec.info.interfaceClass, interfaceClass) && (!enabledOnly || rec.info.enabled)) {
            out.push_back(rec.info);
        }
    }
    return out;
}

void WaitIdle() { Pnp().WaitIdle(); }

int Subscribe(std::function<void(const Event&)> callback) {
    PnpManager& m = Pnp();
    std::lock_guard guard(m.lock);
    int cookie = m.nextCookie++;
    m.subscribers[cookie] = std::move(callback);
    return cookie;
}

void Unsubscribe(int cookie) {
    PnpManager& m = Pnp();
    std::lock_guard guard(m.lock);
    m.subscribers.erase(cookie);
}

void FileOpened(PDEVICE_OBJECT device) {
    PnpManager* m = Manager();
    if (m == nullptr) return;
    Node* node = m->NodeOf(device);
    if (node == nullptr) return;
    std::lock_guard guard(m->lock);
    node->openFiles++;
}

void FileClosed(PDEVICE_OBJECT device) {
    PnpManager* m = Manager();
    if (m == nullptr) return;
    Node* node = m->NodeOf(device);
    if (node == nullptr) return;
    bool finish;
    {
        std::lock_guard guard(m->lock);
        finish = --node->openFiles == 0 && node->removeWhenClosed;
        if (finish) node->removeWhenClosed = false;
    }
    if (finish) m->Queue([m, node] { m->FinishRemove(node); });
}

}  // namespace qk::nt::pnp

// ======================================================================================
// WDK functions
// ======================================================================================

using qk::nt::pnp::PnpManager;
using namespace qk::nt;

namespace {

// The installation's values for a device interface's key (what a driver
// package's AddInterface section writes), under "InterfaceValues\{class}" of
// the device's record: numbers, written where the key has none yet.
void CopyInterfaceValues(const std::u16string& databaseKey, const std::u16string& guid, const std::u16string& keyPath) {
    HANDLE values;
    if (databaseKey.empty() ||
        !NT_SUCCESS(reg::OpenPath(databaseKey + u"\\InterfaceValues\\" + guid, KEY_READ, &values))) {
        return;
    }
    HANDLE target;
    if (NT_SUCCESS(reg::CreatePath(keyPath + u"\\Device Parameters", KEY_ALL_ACCESS, &target))) {
        alignas(8) UCHAR buffer[512];
        for (ULONG index = 0;; ++index) {
            ULONG got = 0;
            if (!NT_SUCCESS(ZwEnumerateValueKey(values, index, KeyValueFullInformation, buffer, sizeof buffer, &got))) break;
            const auto* info = reinterpret_cast<const KEY_VALUE_FULL_INFORMATION*>(buffer);
            if (info->Type != REG_DWORD || info->DataLength != sizeof(ULONG) || info->DataOffset + info->DataLength > got) {
                continue;
            }
            const std::u16string name(reinterpret_cast<const char16_t*>(info->Name), info->NameLength / sizeof(char16_t));
            ULONG number;
            std::memcpy(&number, buffer + info->DataOffset, sizeof number);
            if (!reg::QueryDword(target, name)) reg::SetDword(target, name, number);
        }
        ZwClose(target);
    }
    ZwClose(values);
}

PnpManager& ThePnp() { return qk::Machine::Current().Component<PnpManager>(); }

std::u16string FromCounted(const UNICODE_STRING* s) {
    if (s == nullptr || s->Buffer == nullptr) return {};
    return std::u16string(s->Buffer, s->Length / 2);
}

}  // namespace

VOID IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type) {
    if (Type != BusRelations) return;
    PnpManager& m = ThePnp();
    auto* node = m.NodeOf(DeviceObject);
    if (node == nullptr) return;
    // Enumeration happens later on the Plug and Play thread, as on the target.
    m.Queue([&m, node] { m.Enumerate(node); });
}

VOID IoRequestDeviceEject(PDEVICE_OBJECT PhysicalDeviceObject) {
    PnpManager& m = ThePnp();
    auto* node = m.NodeOf(PhysicalDeviceObject);
    if (node == nullptr) return;
    m.Queue([&m, node] { m.OrderlyRemove(node, true); });
}

NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                             PVOID PropertyBuffer, PULONG ResultLength) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoGetDeviceProperty");
    PnpManager& m = ThePnp();
    auto* node = m.NodeOf(DeviceObject);
    if (node == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    std::u16string data;
    {
        std::lock_guard guard(m.lock);
        const auto& info = node->info;
        switch (DeviceProperty) {
            case DevicePropertyDeviceDescription: data = info.description + u'\0'; break;
            case DevicePropertyFriendlyName:
                if (info.friendlyName.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
                data = info.friendlyName + u'\0';
                break;
            case DevicePropertyHardwareID: data = reg::JoinMulti(info.hardwareIds); break;
            case DevicePropertyCompatibleIDs: data = reg::JoinMulti(info.compatibleIds); break;
            case DevicePropertyClassName: data = info.className + u'\0'; break;
            case DevicePropertyClassGuid: data = reg::GuidText(info.classGuid) + u'\0'; break;
            case DevicePropertyDriverKeyName:
                if (info.driverKey.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
                data = info.driverKey + u'\0';
                break;
            case DevicePropertyManufacturer: data = u"Lumora Tech"; data += u'\0'; break;
            case DevicePropertyPhysicalDeviceObjectName: data = io::DeviceName(node->pdo) + u'\0'; break;
            case DevicePropertyEnumeratorName:
                data = info.instancePath.substr(0, info.instancePath.find(u'\\')) + u'\0';
                break;
            default:
                return STATUS_INVALID_PARAMETER_2;
        }
    }
    ULONG bytes = static_cast<ULONG>(data.size() * 2);
    *ResultLength = bytes;
    if (BufferLength < bytes || PropertyBuffer == nullptr) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(PropertyBuffer, data.data(), bytes);
    return STATUS_SUCCESS;
}

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DevInstRegKey) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey");
    PnpManager& m = ThePnp();
    auto* node = m.NodeOf(DeviceObject);
    if (node == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    std::u16string path;
    {
        std::lock_guard guard(m.lock);
        if (DevInstKeyType & PLUGPLAY_REGKEY_DRIVER) {
            if (node->info.driverKey.empty()) return STATUS_INVALID_DEVICE_REQUEST;
            path = std::u16string(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\") +
                   node->info.driverKey;
        } else if (DevInstKeyType & PLUGPLAY_REGKEY_DEVICE) {
            path = std::u16string(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\") + node->info.instancePath +
                   u"\\Device Parameters";
        } else {
            return STATUS_INVALID_PARAMETER;
        }
    }
    // Kernel callers on the target are not held to the rights they ask for; the
    // keys the I/O manager hands out carry full rights so drivers that ask for
    // standard rights only (and then read and write values) behave as there.
    return qk::registry::OpenKernelKeyGranting(path, KEY_ALL_ACCESS, true, DevInstRegKey);
}

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoRegisterDeviceInterface");
    PnpManager& m = ThePnp();
    auto* node = m.NodeOf(PhysicalDeviceObject);
    if (node == nullptr || node->pdo != PhysicalDeviceObject) return STATUS_INVALID_DEVICE_REQUEST;
    std::u16string guid = reg::GuidText(*InterfaceClassGuid);
    std::u16string instance = node->info.instancePath;
    for (auto& c : instance) {
        if (c == u'\\') c = u'#';
    }
    std::u16string reference = FromCounted(ReferenceString);
    std::u16string link = u"\\??\\" + instance + u"#" + guid + (reference.empty() ? u"" : u"\\" + reference);
    std::u16string keyPath = std::u16string(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\") +
                             guid + u"\\##?#" + instance + u"#" + guid + u"\\#" + reference;
    HANDLE key;
    if (NT_SUCCESS(reg::CreatePath(keyPath, KEY_ALL_ACCESS, &key))) {
        reg::SetString(key, u"SymbolicLink", u"\\\\?\\" + instance + u"#" + guid + (reference.empty() ? u"" : u"\\" + reference));
        ZwClose(key);
    }
    CopyInterfaceValues(node->databaseKey, guid, keyPath);
    {
        std::lock_guard guard(m.lock);
        std::u16string upperLink = link;
        for (auto& c : upperLink) c = RtlUpcaseUnicodeChar(c);
        auto& rec = m.interfaces[upperLink];
        rec.info.interfaceClass = *InterfaceClassGuid;
        rec.info.symbolicLink = link;
        rec.info.instancePath = node->info.instancePath;
        rec.node = node;
        rec.keyPath = keyPath;
    }
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, (link.size() + 1) * 2, pool::Tag("Strg")));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, link.data(), link.size() * 2);
    buffer[link.size()] = 0;
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(link.size() * 2);
    SymbolicLinkName->MaximumLength = static_cast<USHORT>((link.size() + 1) * 2);
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
    PnpManager& m = ThePnp();
    std::u16string link = FromCounted(SymbolicLinkName);
    std::u16string key = link;
    for (auto& c : key) c = RtlUpcaseUnicodeChar(c);
    qk::nt::pnp::Event event;
    std::u16string target;
    {
        std::lock_guard guard(m.lock);
        auto it = m.interfaces.find(key);
        if (it == m.interfaces.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
        auto& rec = it->second;
        if (static_cast<bool>(Enable) == rec.info.enabled) return Enable ? STATUS_OBJECT_NAME_EXISTS : STATUS_OBJECT_NAME_NOT_FOUND;
        rec.info.enabled = Enable != FALSE;
        event = {Enable ? qk::nt::pnp::EventKind::InterfaceArrival : qk::nt::pnp::EventKind::InterfaceRemoval,
                 rec.info.instancePath, rec.info.interfaceClass, rec.info.symbolicLink};
        target = io::DeviceName(rec.node->pdo);
    }
    // The link names the device without its reference string; opening
    // "<link>\<ref>" hands "\<ref>" to the device as the file name.
    std::u16string linkOnly = link;
    auto guidEnd = linkOnly.find(u'}');
    if (guidEnd != std::u16string::npos) linkOnly = linkOnly.substr(0, guidEnd + 1);
    UNICODE_STRING l{static_cast<USHORT>(linkOnly.size() * 2), static_cast<USHORT>(linkOnly.size() * 2), linkOnly.data()};
    if (Enable) {
        if (target.empty()) return STATUS_INVALID_DEVICE_REQUEST;
        UNICODE_STRING t{static_cast<USHORT>(target.size() * 2), static_cast<USHORT>(target.size() * 2), target.data()};
        NTSTATUS status = IoCreateSymbolicLink(&l, &t);
        if (!NT_SUCCESS(status) && status != STATUS_OBJECT_NAME_COLLISION) return status;
    } else {
        // Another interface of the same class and device may share the link.
        bool shared = false;
        {
            std::lock_guard guard(m.lock);
            for (auto& [k, rec] : m.interfaces) {
                if (rec.info.enabled && rec.info.symbolicLink.substr(0, linkOnly.size()) == linkOnly) shared = true;
            }
        }
        if (!shared) IoDeleteSymbolicLink(&l);
    }
    m.Deliver(event);
    return STATUS_SUCCESS;
}

NTSTATUS IoOpenDeviceInterfaceRegistryKey(PUNICODE_STRING SymbolicLinkName, ACCESS_MASK DesiredAccess,
                                          PHANDLE DeviceInterfaceKey) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoOpenDeviceInterfaceRegistryKey");
    PnpManager& m = ThePnp();
    std::u16string key = FromCounted(SymbolicLinkName);
    for (auto& c : key) c = RtlUpcaseUnicodeChar(c);
    std::u16string path;
    {
        std::lock_guard guard(m.lock);
        auto it = m.interfaces.find(key);
        if (it == m.interfaces.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
        path = it->second.keyPath + u"\\Device Parameters";
    }
    return qk::registry::OpenKernelKeyGranting(path, KEY_ALL_ACCESS, true, DeviceInterfaceKey);
}

NTSTATUS IoGetDeviceInterfaces(const GUID* InterfaceClassGuid, PDEVICE_OBJECT PhysicalDeviceObject, ULONG Flags,
                               PWSTR* SymbolicLinkList) {
    PnpManager& m = ThePnp();
    std::vector<std::u16string> links;
    {
        std::lock_guard guard(m.lock);
        for (auto& [k, rec] : m.interfaces) {
            if (!IsEqualGUID(rec.info.interfaceClass, *InterfaceClassGuid)) continue;
            if (!rec.info.enabled && !(Flags & DEVICE_INTERFACE_INCLUDE_NONACTIVE)) continue;
            if (PhysicalDeviceObject && rec.node->pdo != PhysicalDeviceObject) continue;
            links.push_back(rec.info.symbolicLink);
        }
    }
    std::u16string multi = reg::JoinMulti(links);
    if (links.empty()) multi = std::u16string(2, u'\0');
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, multi.size() * 2, pool::Tag("Strg")));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, multi.data(), multi.size() * 2);
    *SymbolicLinkList = buffer;
    return STATUS_SUCCESS;
}
