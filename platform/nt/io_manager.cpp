#include "platform/nt/io_manager.h"

#include <dlfcn.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "platform/nt/kernel.h"
#include "platform/nt/object.h"
#include "platform/nt/pool.h"
#include "platform/nt/thread_context.h"
#include "platform/nt/verifier.h"
#include "platform/nt/wformat.h"

namespace qk::nt::io {
namespace {

namespace verifier = qk::verifier;

constexpr ULONG kIrpTag = pool::Tag("Irp ");
constexpr ULONG kBufferTag = pool::Tag("IoBf");
constexpr ULONG kMdlTag = pool::Tag("Mdl ");
constexpr ULONG kWorkItemTag = pool::Tag("IoWk");
constexpr uint64_t kIrpLive = 0x5052494B51564C49ull;
constexpr CSHORT kDeviceObjectType = 3;
constexpr CSHORT kFileObjectType = 5;
constexpr CSHORT kIrpType = 6;

std::u16string Upper(std::u16string_view s) {
    std::u16string out(s);
    for (auto& c : out) c = RtlUpcaseUnicodeChar(c);
    return out;
}

std::u16string FromCounted(const UNICODE_STRING* s) {
    if (s == nullptr || s->Buffer == nullptr) return {};
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

// "\DosDevices\X", "\??\X" and "\\.\X" all name "\GLOBAL??\X".
std::u16string Canonical(std::u16string_view path) {
    static const std::u16string_view kAliases[] = {u"\\DosDevices\\", u"\\??\\", u"\\\\.\\", u"\\\\?\\"};
    for (auto alias : kAliases) {
        if (path.size() >= alias.size() && Upper(path.substr(0, alias.size())) == Upper(alias)) {
            return u"\\GLOBAL??\\" + std::u16string(path.substr(alias.size()));
        }
    }
    return std::u16string(path);
}

struct alignas(16) IrpRecord {
    uint64_t magic;
    uint64_t serial;
    enum State : uint32_t { Allocated, Completed } state;
    uint32_t pendingMarks;     // bit n: IoMarkIrpPending at location n
    uint32_t returnedPending;  // bit n: the dispatch at location n returned STATUS_PENDING (io lock)
    uint32_t dispatchActive;   // bit n: the dispatch at location n has not returned yet (io lock)
    bool threadIrp;         // built by IoBuildDeviceIoControlRequest & co: the I/O manager frees it
    PDRIVER_OBJECT owner;   // the driver that allocated it (runs its top completion routine)
    PVOID userOutput;       // METHOD_BUFFERED output to copy back on completion
    ULONG userOutputLength;
    PMDL ownedMdl;
    PVOID ownedBuffer;
    // Completion callback of an asynchronous user request (owned; deleted at completion).
    std::function<void(NTSTATUS, ULONG_PTR)>* onComplete;
    // An asynchronous user request is listed with its file until it completes,
    // so that closing the file's last handle can cancel it (io lock).
    PFILE_OBJECT trackedFile;
    // Cancellers holding the request while they call IoCancelIrp; its memory
    // goes only when the last lets go (io lock).
    uint32_t cancelHolds;
    bool freeWhenReleased;
};
static_assert(sizeof(IrpRecord) % 16 == 0);

IrpRecord* RecordOf(PIRP irp) { return reinterpret_cast<IrpRecord*>(irp) - 1; }

struct DeviceRecord {
    PDEVICE_OBJECT device = nullptr;
    std::u16string name;  // empty for unnamed devices
    PDEVICE_OBJECT lower = nullptr;
    bool deleted = false;
    void* node = nullptr;
    std::unique_ptr<uint8_t[]> memory;
};

struct DriverRecord {
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string name;     // "\Driver\<service>"
    std::u16string service;  // key name
    std::u16string registryPath;
    void* module = nullptr;  // dlopen handle
    std::map<PVOID, std::unique_ptr<uint8_t[]>> clientExtensions;
};

struct FileRecord {
    FILE_OBJECT object{};
    std::u16string name;
    std::unique_ptr<uint8_t[]> extendedName;  // the name buffer when it carries binary data
    long handles = 0;
    long references = 0;
    PDEVICE_OBJECT device = nullptr;  // the named device the open reached (referenced)
    std::vector<PIRP> asyncRequests;  // asynchronous user requests still in flight (io lock)
};

}  // namespace

// Per-machine state of the I/O manager.
class IoManager {
public:
    explicit IoManager(Machine& machine);
    ~IoManager();

    std::mutex lock;  // guards every map below and the device stacks' links
    std::map<std::u16string, std::unique_ptr<DriverRecord>> drivers;  // by upper-case service name
    std::unordered_map<PDEVICE_OBJECT, std::unique_ptr<DeviceRecord>> devices;
    std::map<std::u16string, PDEVICE_OBJECT> deviceNames;     // upper-case "\Device\X"
    std::map<std::u16string, std::u16string> symbolicLinks;   // upper-case "\GLOBAL??\X" -> target
    std::unordered_map<PFILE_OBJECT, std::unique_ptr<FileRecord>> files;
    std::unordered_set<PIRP> liveIrps;
    // (IRP serial, location) -> marked: completion left a location whose dispatch had not returned.
    std::map<std::pair<uint64_t, CHAR>, bool> passedWhileActive;
    std::atomic<uint64_t> irpSerial{1};
    std::atomic<ULONG> autoNameCounter{0};
    KSPIN_LOCK cancelLock = 0;
    UCHAR wdmMajor = 1, wdmMinor = 0x30;
    DeviceHooks hooks;
};

namespace {

std::mutex g_staticLock;  // guards g_staticDrivers
std::map<std::u16string, PDRIVER_INITIALIZE>& StaticDrivers() {
    static std::map<std::u16string, PDRIVER_INITIALIZE> drivers;
    return drivers;
}

IoManager& Io() { return Machine::Current().Component<IoManager>(); }

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

DeviceRecord* FindDeviceLocked(IoManager& io, PDEVICE_OBJECT device) {
    auto it = io.devices.find(device);
    return it == io.devices.end() ? nullptr : it->second.get();
}

void FreeDeviceLocked(IoManager& io, PDEVICE_OBJECT device) {
    io.devices.erase(device);  // frees the record and the object's memory
}

bool ReferenceExternal(void* body) {
    IoManager& io = Io();
    std::lock_guard guard(io.lock);
    if (auto* rec = FindDeviceLocked(io, static_cast<PDEVICE_OBJECT>(body))) {
        rec->device->ReferenceCount++;
        return true;
    }
    auto it = io.files.find(static_cast<PFILE_OBJECT>(body));
    if (it != io.files.end()) {
        it->second->references++;
        return true;
    }
    return false;
}

void CloseFileObject(PFILE_OBJECT file);

bool DereferenceExternal(void* body) {
    IoManager& io = Io();
    PFILE_OBJECT closing = nullptr;
    {
        std::lock_guard guard(io.lock);
        if (auto* rec = FindDeviceLocked(io, static_cast<PDEVICE_OBJECT>(body))) {
            if (rec->device->ReferenceCount <= 0) {
                verifier::Raise(verifier::Violation::ObjectMisuse,
                                Format("ObDereferenceObject of device %p, which holds no reference", body));
                return true;
            }
            if (--rec->device->ReferenceCount == 0 && rec->deleted && rec->device->AttachedDevice == nullptr) {
                FreeDeviceLocked(io, rec->device);
            }
            return true;
        }
        auto it = io.files.find(static_cast<PFILE_OBJECT>(body));
        if (it == io.files.end()) return false;
        if (--it->second->references == 0) closing = it->first;
    }
    if (closing != nullptr) CloseFileObject(closing);
    return true;
}

}  // namespace

IoManager::IoManager(Machine&) {
    Kernel::Get().SetExternalReferenceHooks(ReferenceExternal, DereferenceExternal);
}

IoManager::~IoManager() {
    // Drivers still loaded at shutdown are unloaded; those with devices left
    // are reported by the Plug and Play manager, which goes first.
    std::vector<PDRIVER_OBJECT> loaded;
    {
        std::lock_guard guard(lock);
        for (auto& [name, rec] : drivers) loaded.push_back(&rec->object);
    }
    for (auto* d : loaded) UnloadDriver(d);
    Kernel::Get().FlushWork();
    Kernel::Get().SetExternalReferenceHooks(nullptr, nullptr);
    std::lock_guard guard(lock);
    for (auto& [device, rec] : devices) {
        if (!rec->deleted) {
            verifier::Raise(verifier::Violation::ObjectMisuse,
                            Format("device object %p of %s still exists at shutdown", static_cast<void*>(device),
                                   ToUtf8(rec->name).c_str()));
        }
    }
}

// ---- Drivers ------------------------------------------------------------------------

void RegisterStaticDriver(std::u16string imageName, PDRIVER_INITIALIZE entry) {
    std::lock_guard guard(g_staticLock);
    StaticDrivers()[Upper(imageName)] = entry;
}

static NTSTATUS StartDriver(const std::u16string& serviceName, PDRIVER_INITIALIZE entry, void* module,
                            PDRIVER_OBJECT* out) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "LoadDriver");
    IoManager& io = Io();
    auto rec = std::make_unique<DriverRecord>();
    rec->service = serviceName;
    rec->name = u"\\Driver\\" + serviceName;
    rec->registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + serviceName;
    rec->module = module;
    DRIVER_OBJECT& d = rec->object;
    d.Type = 4;
    d.Size = sizeof(DRIVER_OBJECT);
    d.DriverExtension = &rec->extension;
    rec->extension.DriverObject = &d;
    d.DriverName = {static_cast<USHORT>(rec->name.size() * 2), static_cast<USHORT>(rec->name.size() * 2),
                    rec->name.data()};
    rec->extension.ServiceKeyName = {static_cast<USHORT>(rec->service.size() * 2),
                                     static_cast<USHORT>(rec->service.size() * 2), rec->service.data()};
    d.DriverInit = entry;
    for (auto& f : d.MajorFunction) f = InvalidDeviceRequest;
    DriverRecord* raw = rec.get();
    {
        std::lock_guard guard(io.lock);
        if (io.drivers.count(Upper(serviceName))) return STATUS_OBJECT_NAME_COLLISION;
        io.drivers[Upper(serviceName)] = std::move(rec);
    }
    UNICODE_STRING registryPath{static_cast<USHORT>(raw->registryPath.size() * 2),
                                static_cast<USHORT>(raw->registryPath.size() * 2), raw->registryPath.data()};
    NTSTATUS status;
    {
        DriverScope scope(&raw->object);
        status = entry(&raw->object, &registryPath);
    }
    if (!NT_SUCCESS(status)) {
        // A driver whose entry failed is unloaded without its unload routine.
        raw->object.DriverUnload = nullptr;
        UnloadDriver(&raw->object);
        return status;
    }
    {
        // Devices created in DriverEntry are ready once it returns.
        std::lock_guard guard(io.lock);
        for (PDEVICE_OBJECT dev = raw->object.DeviceObject; dev; dev = dev->NextDevice) {
            dev->Flags &= ~DO_DEVICE_INITIALIZING;
        }
    }
    *out = &raw->object;
    return STATUS_SUCCESS;
}

NTSTATUS CreateDriver(const std::u16string& serviceName, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* driver) {
    if (auto* existing = FindDriver(serviceName)) {
        *driver = existing;
        return STATUS_SUCCESS;
    }
    return StartDriver(serviceName, entry, nullptr, driver);
}

NTSTATUS LoadDriver(const std::u16string& serviceName, const std::u16string& imageName, PDRIVER_OBJECT* driver) {
    if (auto* existing = FindDriver(serviceName)) {
        *driver = existing;
        return STATUS_SUCCESS;
    }
    std::u16string file = imageName;
    auto slash = file.find_last_of(u"\\/");
    if (slash != std::u16string::npos) file = file.substr(slash + 1);
    PDRIVER_INITIALIZE entry = nullptr;
    {
        std::lock_guard guard(g_staticLock);
        auto it = StaticDrivers().find(Upper(file));
        if (it != StaticDrivers().end()) entry = it->second;
    }
    void* module = nullptr;
    if (entry == nullptr) {
        auto path = Machine::Current().DriversFolder() / ToUtf8(file);
        module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) {
            DbgPrint("IO: cannot load driver image %s: %s\n", path.c_str(), dlerror());
            return STATUS_DRIVER_UNABLE_TO_LOAD;
        }
        entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(module, "DriverEntry"));
        if (entry == nullptr) {
            dlclose(module);
            return STATUS_DRIVER_ENTRYPOINT_NOT_FOUND;
        }
    }
    NTSTATUS status = StartDriver(serviceName, entry, module, driver);
    if (!NT_SUCCESS(status) && module != nullptr && FindDriver(serviceName) == nullptr) {
        // StartDriver already closed the module through UnloadDriver when it registered it.
    }
    return status;
}

PDRIVER_OBJECT FindDriver(const std::u16string& serviceName) {
    IoManager& io = Io();
    std::lock_guard guard(io.lock);
    auto it = io.drivers.find(Upper(serviceName));
    return it == io.drivers.end() ? nullptr : &it->second->object;
}

std::vector<PDRIVER_OBJECT> LoadedDrivers() {
    IoManager& io = Io();
    std::lock_guard guard(io.lock);
    std::vector<PDRIVER_OBJECT> out;
    for (auto& [n, rec] : io.drivers) out.push_back(&rec->object);
    return out;
}

NTSTATUS UnloadDriver(PDRIVER_OBJECT driver) {
    IoManager& io = Io();
    DriverRecord* rec = nullptr;
    {
        std::lock_guard guard(io.lock);
        for (auto& [n, r] : io.drivers) {
            if (&r->object == driver) rec = r.get();
        }
    }
    if (rec == nullptr) return STATUS_INVALID_PARAMETER;
    if (driver->DriverUnload != nullptr) {
        DriverScope scope(driver);
        driver->DriverUnload(driver);
    }
    // Work queued by the driver must finish before its code goes away.
    Kernel::Get().FlushWork();
    Kernel::Get().FlushDpcs();
    std::string name = ToUtf8(rec->name);
    {
        std::lock_guard guard(io.lock);
        for (PDEVICE_OBJECT dev = driver->DeviceObject; dev; dev = dev->NextDevice) {
            verifier::Raise(verifier::Violation::ObjectMisuse,
                            Format("%s unloaded with device object %p still present", name.c_str(),
                                   static_cast<void*>(dev)));
        }
    }
    pool::CheckLeaks(driver, (name + " unload").c_str());
    Kernel::Get().CheckThreads(driver, (name + " unload").c_str());
    void* module = rec->module;
    {
        std::lock_guard guard(io.lock);
        io.drivers.erase(Upper(rec->service));
    }
    if (module != nullptr) dlclose(module);
    return STATUS_SUCCESS;
}

// ---- Namespace --------------------------------------------------------------------------

PDEVICE_OBJECT ResolveDevice(std::u16string_view path, std::u16string* remainder) {
    IoManager& io = Io();
    std::lock_guard guard(io.lock);
    std::u16string current = Canonical(path);
    for (int hops = 0; hops < 8; ++hops) {
        std::u16string upper = Upper(current);
        // The longest registered name that is a prefix at a '\' boundary.
        for (size_t end = upper.size(); end > 0; end = upper.rfind(u'\\', end - 1)) {
            std::u16string head = upper.substr(0, end);
            auto dev = io.deviceNames.find(head);
            if (dev != io.deviceNames.end()) {
                if (remainder) *remainder = current.substr(end);
                return dev->second;
            }
            auto link = io.symbolicLinks.find(head);
            if (link != io.symbolicLinks.end()) {
                current = link->second + current.substr(end);
                goto next_hop;
            }
            if (end == 0) break;
        }
        return nullptr;
    next_hop:;
    }
    return nullptr;
}

std::u16string DeviceName(PDEVICE_OBJECT device) {
    IoManager& io = Io();
    std::lock_guard guard(io.lock);
    auto* rec = FindDeviceLocked(io, device);
    return rec ? rec->name : std::u16string();
}

bool SymbolicLinkExists(std::u16string_view link) {
    IoManager& io = Io();
    std::lock_guard guard(io.lock);
    return io.symbolicLinks.count(Upper(Canonical(link))) != 0;
}

void SetWdmVersion(UCHAR major, UCHAR minor) {
    IoManager& io = Io();
    std::lock_guard guard(io.lock);
    io.wdmMajor = major;
    io.wdmMinor = minor;
}

void SetDeviceHooks(DeviceHooks hooks) {
    IoManager& io = Io();
    std::lock_guard guard(io.lock);
    io.hooks = std::move(hooks);
}

void SetDeviceNode(PDEVICE_OBJECT device, void* node) {
    IoManager& io = Io();
    std::lock_guard guard(io.lock);
    if (auto* rec = FindDeviceLocked(io, device)) rec->node = node;
}

void* DeviceNode(PDEVICE_OBJECT device) {
    IoManager& io = Io();
    std::lock_guard guard(io.lock);
    auto* rec = FindDeviceLocked(io, device);
    return rec ? rec->node : nullptr;
}

PDEVICE_OBJECT LowerDevice(PDEVICE_OBJECT device) {
    IoManager& io = Io();
    std::lock_guard guard(io.lock);
    auto* rec = FindDeviceLocked(io, device);
    return rec ? rec->lower : nullptr;
}

PDEVICE_OBJECT BottomDevice(PDEVICE_OBJECT device) {
    IoManager& io = Io();
    std::lock_guard guard(io.lock);
    while (true) {
        auto* rec = FindDeviceLocked(io, device);
        if (rec == nullptr || rec->lower == nullptr) return device;
        device = rec->lower;
    }
}

size_t LiveIrpCount() {
    IoManager& io = Io();
    std::lock_guard guard(io.lock);
    return io.liveIrps.size();
}

// ---- Files ---------------------------------------------------------------------------------

namespace {

class FileHandle : public KernelObject {
public:
    explicit FileHandle(PFILE_OBJECT file) : file_(file) {}
    ~FileHandle() override;
    const char* TypeName() const override { return "File"; }
    void* Body() override { return file_; }
    PFILE_OBJECT File() const { return file_; }

private:
    PFILE_OBJECT file_;
};

// Sends a request built by the caller synchronously to the top of the file's
// device stack and returns its final status.
NTSTATUS SendSynchronous(PDEVICE_OBJECT top, PIRP irp) {
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->UserEvent = &done;
    irp->UserIosb = &iosb;
    NTSTATUS status = IoCallDriver(top, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    } else {
        // The request may have completed with a status the dispatch did not return.
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

PIRP BuildFileRequest(PFILE_OBJECT file, UCHAR major, UCHAR minor = 0) {
    PDEVICE_OBJECT top = IoGetRelatedDeviceObject(file);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) return nullptr;
    RecordOf(irp)->threadIrp = true;
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->MinorFunction = minor;
    stack->FileObject = file;
    return irp;
}

void NotifyFile(std::function<void(PDEVICE_OBJECT)> DeviceHooks::*which, PDEVICE_OBJECT device) {
    std::function<void(PDEVICE_OBJECT)> hook;
    {
        IoManager& io = Io();
        std::lock_guard guard(io.lock);
        hook = io.hooks.*which;
    }
    if (hook) hook(device);
}

void CloseFileObject(PFILE_OBJECT file) {
    PIRP irp = BuildFileRequest(file, IRP_MJ_CLOSE);
    if (irp != nullptr) SendSynchronous(IoGetRelatedDeviceObject(file), irp);
    PDEVICE_OBJECT device;
    PFILE_OBJECT related;
    {
        IoManager& io = Io();
        std::lock_guard guard(io.lock);
        auto it = io.files.find(file);
        device = it->second->device;
        related = it->second->object.RelatedFileObject;
        io.files.erase(it);
    }
    NotifyFile(&DeviceHooks::fileClosed, device);
    ObDereferenceObject(device);
    // The open it was made relative to (a filter under a pin) may close now.
    if (related != nullptr) ObDereferenceObject(related);
}

FileHandle::~FileHandle() {
    bool lastHandle;
    {
        IoManager& io = Io();
        std::lock_guard guard(io.lock);
        lastHandle = --io.files.at(file_)->handles == 0;
    }
    if (lastHandle) {
        // What the caller left in flight on the file is cancelled with its
        // last handle, before the driver hears of the cleanup.
        CancelFileRequests(file_);
        PIRP irp = BuildFileRequest(file_, IRP_MJ_CLEANUP);
        if (irp != nullptr) SendSynchronous(IoGetRelatedDeviceObject(file_), irp);
    }
    ObDereferenceObject(file_);
}

}  // namespace

NTSTATUS OpenDevice(std::u16string_view path, ACCESS_MASK access, HANDLE* handle, PFILE_OBJECT relatedFile,
                    const void* extendedName, size_t extendedBytes) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "OpenDevice");
    std::u16string remainder;
    PDEVICE_OBJECT device = nullptr;
    if (relatedFile != nullptr) {
        // A create relative to an open file (a pin on a filter) goes to the same device.
        device = relatedFile->DeviceObject;
        remainder = std::u16string(path);
    } else {
        device = ResolveDevice(path, &remainder);
    }
    if (device == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (device->Flags & DO_DEVICE_INITIALIZING) return STATUS_DEVICE_NOT_READY;
    IoManager& io = Io();
    auto rec = std::make_unique<FileRecord>();
    FILE_OBJECT& f = rec->object;
    f.Type = kFileObjectType;
    f.Size = sizeof(FILE_OBJECT);
    f.DeviceObject = device;
    f.RelatedFileObject = relatedFile;
    f.ReadAccess = (access & (GENERIC_READ | FILE_READ_DATA)) != 0;
    f.WriteAccess = (access & (GENERIC_WRITE | FILE_WRITE_DATA)) != 0;
    if (extendedName != nullptr) {
        // Kernel-streaming creates carry a binary block after the name.
        rec->extendedName.reset(new uint8_t[extendedBytes + 2]());
        std::memcpy(rec->extendedName.get(), extendedName, extendedBytes);
        f.FileName = {static_cast<USHORT>(extendedBytes), static_cast<USHORT>(extendedBytes),
                      reinterpret_cast<PWSTR>(rec->extendedName.get())};
    } else {
        rec->name = remainder;
        f.FileName = {static_cast<USHORT>(rec->name.size() * 2), static_cast<USHORT>(rec->name.size() * 2),
                      rec->name.data()};
    }
    rec->handles = 0;
    rec->references = 1;
    rec->device = device;
    PFILE_OBJECT file = &rec->object;
    {
        std::lock_guard guard(io.lock);
        io.files[file] = std::move(rec);
    }
    ObReferenceObject(device);
    if (relatedFile != nullptr) ObReferenceObject(relatedFile);
    PIRP irp = BuildFileRequest(file, IRP_MJ_CREATE);
    NTSTATUS status = irp ? SendSynchronous(IoGetRelatedDeviceObject(file), irp) : STATUS_INSUFFICIENT_RESOURCES;
    if (!NT_SUCCESS(status)) {
        // A failed create never reaches close: the file object just goes.
        {
            std::lock_guard guard(io.lock);
            io.files.erase(file);
        }
        ObDereferenceObject(device);
        if (relatedFile != nullptr) ObDereferenceObject(relatedFile);
        return status;
    }
    {
        std::lock_guard guard(io.lock);
        io.files[file]->handles = 1;
    }
    NotifyFile(&DeviceHooks::fileOpened, device);
    *handle = InsertHandle(std::make_shared<FileHandle>(file), access);
    return STATUS_SUCCESS;
}

PFILE_OBJECT FileObjectOfHandle(HANDLE handle) {
    std::shared_ptr<FileHandle> fh;
    if (!NT_SUCCESS(LookupHandleAs(handle, &fh))) return nullptr;
    return fh->File();
}

NTSTATUS DeviceControl(HANDLE handle, ULONG code, const void* input, ULONG inputLength, void* output,
                       ULONG outputLength, ULONG* returned) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "DeviceIoControl");
    std::shared_ptr<FileHandle> fh;
    NTSTATUS status = LookupHandleAs(handle, &fh);
    if (!NT_SUCCESS(status)) return status;
    PFILE_OBJECT file = fh->File();
    PDEVICE_OBJECT top = IoGetRelatedDeviceObject(file);
    IO_STATUS_BLOCK iosb{};
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, top, const_cast<void*>(input), inputLength, output, outputLength,
                                             FALSE, &done, &iosb);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = file;
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    status = IoCallDriver(top, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
    if (returned) *returned = static_cast<ULONG>(iosb.Information);
    return status;
}

NTSTATUS DeviceControlAsync(HANDLE handle, ULONG code, const void* input, ULONG inputLength, void* output,
                            ULONG outputLength, std::function<void(NTSTATUS, ULONG_PTR)> done) {
    std::shared_ptr<FileHandle> fh;
    NTSTATUS status = LookupHandleAs(handle, &fh);
    if (!NT_SUCCESS(status)) return status;
    PFILE_OBJECT file = fh->File();
    PDEVICE_OBJECT top = IoGetRelatedDeviceObject(file);
    PIRP irp = IoBuildDeviceIoControlRequest(code, top, const_cast<void*>(input), inputLength, output, outputLength,
                                             FALSE, nullptr, nullptr);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = file;
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    RecordOf(irp)->onComplete = new std::function<void(NTSTATUS, ULONG_PTR)>(std::move(done));
    {
        IoManager& io = Io();
        std::lock_guard guard(io.lock);
        io.files.at(file)->asyncRequests.push_back(irp);
        RecordOf(irp)->trackedFile = file;
    }
    return IoCallDriver(top, irp);
}

void CancelFileRequests(PFILE_OBJECT file) {
    IoManager& io = Io();
    std::vector<PIRP> held;
    {
        std::lock_guard guard(io.lock);
        auto it = io.files.find(file);
        if (it == io.files.end()) return;
        held = it->second->asyncRequests;
        for (PIRP irp : held) RecordOf(irp)->cancelHolds++;
    }
    // A request that completes meanwhile stays in memory until it is let go.
    for (PIRP irp : held) IoCancelIrp(irp);
    std::vector<IrpRecord*> release;
    {
        std::lock_guard guard(io.lock);
        for (PIRP irp : held) {
            IrpRecord* rec = RecordOf(irp);
            if (--rec->cancelHolds == 0 && rec->freeWhenReleased) {
                io.liveIrps.erase(irp);
                release.push_back(rec);
            }
        }
    }
    for (IrpRecord* rec : release) {
        rec->magic = 0;
        ExFreePoolWithTag(rec, kIrpTag);
    }
}

NTSTATUS ReadFile(HANDLE handle, void* buffer, ULONG length, ULONG* returned) {
    std::shared_ptr<FileHandle> fh;
    NTSTATUS status = LookupHandleAs(handle, &fh);
    if (!NT_SUCCESS(status)) return status;
    PFILE_OBJECT file = fh->File();
    PIRP irp = BuildFileRequest(file, IRP_MJ_READ);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    PDEVICE_OBJECT top = IoGetRelatedDeviceObject(file);
    IoGetNextIrpStackLocation(irp)->Parameters.Read.Length = length;
    if (top->Flags & DO_BUFFERED_IO) {
        irp->AssociatedIrp.SystemBuffer = ExAllocatePoolWithTag(NonPagedPool, length ? length : 1, kBufferTag);
        RecordOf(irp)->ownedBuffer = irp->AssociatedIrp.SystemBuffer;
        RecordOf(irp)->userOutput = buffer;
        RecordOf(irp)->userOutputLength = length;
        irp->Flags |= IRP_BUFFERED_IO | IRP_INPUT_OPERATION;
    } else if (top->Flags & DO_DIRECT_IO) {
        irp->MdlAddress = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
        RecordOf(irp)->ownedMdl = irp->MdlAddress;
    } else {
        irp->UserBuffer = buffer;
    }
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->UserEvent = &done;
    irp->UserIosb = &iosb;
    IoCallDriver(top, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    if (returned) *returned = static_cast<ULONG>(iosb.Information);
    return iosb.Status;
}

}  // namespace qk::nt::io

// ======================================================================================
// WDK functions
// ======================================================================================

using namespace qk::nt::io;
using qk::nt::Kernel;
namespace verifier = qk::verifier;

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
    qk::nt::CheckIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice");
    IoManager& io = Io();
    std::u16string name = FromCounted(DeviceName);
    if (name.empty() && (DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME)) {
        name = qk::ToUtf16(qk::Format("\\Device\\%08lx", static_cast<ULONG>(++io.autoNameCounter)));
    }
    auto rec = std::make_unique<DeviceRecord>();
    size_t extensionOffset = (sizeof(DEVICE_OBJECT) + 15) & ~size_t{15};
    rec->memory.reset(new uint8_t[extensionOffset + DeviceExtensionSize]());
    auto* dev = reinterpret_cast<PDEVICE_OBJECT>(rec->memory.get());
    dev->Type = kDeviceObjectType;
    dev->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    dev->DriverObject = DriverObject;
    dev->DeviceExtension = DeviceExtensionSize ? rec->memory.get() + extensionOffset : nullptr;
    dev->DeviceType = DeviceType;
    dev->Characteristics = DeviceCharacteristics & ~static_cast<ULONG>(FILE_AUTOGENERATED_DEVICE_NAME);
    dev->StackSize = 1;
    dev->Flags = DO_DEVICE_INITIALIZING | (name.empty() ? 0 : DO_DEVICE_HAS_NAME) | (Exclusive ? DO_EXCLUSIVE : 0);
    dev->DeviceObjectExtension = rec.get();
    rec->device = dev;
    rec->name = name;
    std::lock_guard guard(io.lock);
    if (!name.empty()) {
        std::u16string key = Upper(name);
        if (io.deviceNames.count(key) || io.symbolicLinks.count(key)) return STATUS_OBJECT_NAME_COLLISION;
        io.deviceNames[key] = dev;
    }
    dev->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = dev;
    io.devices[dev] = std::move(rec);
    *DeviceObject = dev;
    return STATUS_SUCCESS;
}

namespace qk::nt::io {

bool HasDeletedDevicesInUse(PDRIVER_OBJECT driver) {
    IoManager& io = Io();
    std::lock_guard guard(io.lock);
    for (const auto& [device, rec] : io.devices) {
        if (rec->deleted && device->DriverObject == driver) return true;
    }
    return false;
}

}  // namespace qk::nt::io

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    qk::nt::CheckIrqlAtMost(PASSIVE_LEVEL, "IoDeleteDevice");
    IoManager& io = Io();
    std::function<void(PDEVICE_OBJECT)> deletedHook;
    {
        std::lock_guard guard(io.lock);
        auto* rec = FindDeviceLocked(io, DeviceObject);
        if (rec == nullptr || rec->deleted) {
            verifier::Raise(verifier::Violation::ObjectMisuse,
                            qk::Format("IoDeleteDevice of %p, which is not a device", static_cast<void*>(DeviceObject)));
            return;
        }
        if (rec->lower != nullptr) {
            verifier::Raise(verifier::Violation::ObjectMisuse,
                            qk::Format("IoDeleteDevice of %p while still attached; call IoDetachDevice first",
                                       static_cast<void*>(DeviceObject)));
            auto* lowerRec = FindDeviceLocked(io, rec->lower);
            if (lowerRec) lowerRec->device->AttachedDevice = nullptr;
            rec->lower = nullptr;
        }
        if (!rec->name.empty()) io.deviceNames.erase(Upper(rec->name));
        PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
        while (*link != nullptr && *link != DeviceObject) link = &(*link)->NextDevice;
        if (*link == DeviceObject) *link = DeviceObject->NextDevice;
        rec->deleted = true;
        deletedHook = io.hooks.deleted;
    }
    if (deletedHook) deletedHook(DeviceObject);
    std::lock_guard guard(io.lock);
    // A device with another still attached above it stays until that one
    // detaches (removal runs bottom-up through dispatch routines that detach
    // from a device the lower driver has just deleted).
    if (DeviceObject->ReferenceCount == 0 && DeviceObject->AttachedDevice == nullptr) FreeDeviceLocked(io, DeviceObject);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    IoManager& io = Io();
    std::lock_guard guard(io.lock);
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    auto* topRec = FindDeviceLocked(io, top);
    auto* srcRec = FindDeviceLocked(io, SourceDevice);
    if (topRec == nullptr || srcRec == nullptr || topRec->deleted) return nullptr;
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    srcRec->lower = top;
    return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    IoManager& io = Io();
    std::lock_guard guard(io.lock);
    PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
    if (above == nullptr) {
        verifier::Raise(verifier::Violation::ObjectMisuse,
                        qk::Format("IoDetachDevice of %p, which has nothing attached", static_cast<void*>(TargetDevice)));
        return;
    }
    if (auto* rec = FindDeviceLocked(io, above)) rec->lower = nullptr;
    TargetDevice->AttachedDevice = nullptr;
    auto* target = FindDeviceLocked(io, TargetDevice);
    if (target != nullptr && target->deleted && TargetDevice->ReferenceCount == 0) FreeDeviceLocked(io, TargetDevice);
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
    IoManager& io = Io();
    std::lock_guard guard(io.lock);
    while (DeviceObject->AttachedDevice != nullptr) DeviceObject = DeviceObject->AttachedDevice;
    return DeviceObject;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
    ObReferenceObject(top);
    return top;
}

PDEVICE_OBJECT IoGetLowerDeviceObject(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_OBJECT lower = LowerDevice(DeviceObject);
    if (lower != nullptr) ObReferenceObject(lower);
    return lower;
}

PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT FileObject) { return IoGetAttachedDevice(FileObject->DeviceObject); }

NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess, PFILE_OBJECT* FileObject,
                                  PDEVICE_OBJECT* DeviceObject) {
    HANDLE handle;
    NTSTATUS status = OpenDevice(FromCounted(ObjectName), DesiredAccess, &handle);
    if (!NT_SUCCESS(status)) return status;
    PVOID file;
    status = ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, &file, nullptr);
    ZwClose(handle);
    if (!NT_SUCCESS(status)) return status;
    *FileObject = static_cast<PFILE_OBJECT>(file);
    *DeviceObject = IoGetRelatedDeviceObject(*FileObject);
    return STATUS_SUCCESS;
}

NTSTATUS IoAllocateDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress,
                                         ULONG DriverObjectExtensionSize, PVOID* DriverObjectExtension) {
    IoManager& io = Io();
    std::lock_guard guard(io.lock);
    for (auto& [n, rec] : io.drivers) {
        if (&rec->object != DriverObject) continue;
        if (rec->clientExtensions.count(ClientIdentificationAddress)) return STATUS_OBJECT_NAME_COLLISION;
        auto& block = rec->clientExtensions[ClientIdentificationAddress];
        block.reset(new uint8_t[DriverObjectExtensionSize ? DriverObjectExtensionSize : 1]());
        *DriverObjectExtension = block.get();
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_PARAMETER;
}

PVOID IoGetDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress) {
    IoManager& io = Io();
    std::lock_guard guard(io.lock);
    for (auto& [n, rec] : io.drivers) {
        if (&rec->object != DriverObject) continue;
        auto it = rec->clientExtensions.find(ClientIdentificationAddress);
        return it == rec->clientExtensions.end() ? nullptr : it->second.get();
    }
    return nullptr;
}

// ---- IRPs -------------------------------------------------------------------------------------

USHORT IoSizeOfIrp(CCHAR StackSize) {
    return static_cast<USHORT>(sizeof(IRP) + StackSize * sizeof(IO_STACK_LOCATION));
}

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    std::memset(Irp, 0, PacketSize);
    Irp->Type = kIrpType;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    InitializeListHead(&Irp->ThreadListEntry);
    auto* stacks = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1);
    Irp->Tail.Overlay.CurrentStackLocation = stacks + StackSize;
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    qk::nt::CheckIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
    if (StackSize < 1) StackSize = 1;
    size_t bytes = sizeof(IrpRecord) + IoSizeOfIrp(StackSize);
    auto* rec = static_cast<IrpRecord*>(ExAllocatePoolWithTag(NonPagedPool, bytes, kIrpTag));
    if (rec == nullptr) return nullptr;
    std::memset(rec, 0, sizeof(IrpRecord));
    IoManager& io = Io();
    rec->magic = kIrpLive;
    rec->serial = io.irpSerial++;
    rec->state = IrpRecord::Allocated;
    rec->owner = qk::nt::CurrentThreadContext().driver;
    auto* irp = reinterpret_cast<PIRP>(rec + 1);
    IoInitializeIrp(irp, IoSizeOfIrp(StackSize), StackSize);
    std::lock_guard guard(io.lock);
    io.liveIrps.insert(irp);
    return irp;
}

static bool CheckLive(PIRP Irp, const char* service) {
    IoManager& io = Io();
    {
        std::lock_guard guard(io.lock);
        if (io.liveIrps.count(Irp) && RecordOf(Irp)->magic == kIrpLive) return true;
    }
    verifier::Raise(verifier::Violation::IrpFreedInUse,
                    qk::Format("%s on IRP %p, which was freed or never allocated", service, static_cast<void*>(Irp)));
    return false;
}

VOID IoFreeIrp(PIRP Irp) {
    if (!CheckLive(Irp, "IoFreeIrp")) return;
    if (Irp->CurrentLocation <= Irp->StackCount && RecordOf(Irp)->state != IrpRecord::Completed) {
        verifier::Raise(verifier::Violation::IrpMisuse,
                        qk::Format("IoFreeIrp of IRP %p while a driver still owns it (location %d of %d)",
                                   static_cast<void*>(Irp), Irp->CurrentLocation, Irp->StackCount));
    }
    IoManager& io = Io();
    {
        std::lock_guard guard(io.lock);
        io.liveIrps.erase(Irp);
    }
    IrpRecord* rec = RecordOf(Irp);
    rec->magic = 0;
    ExFreePoolWithTag(rec, kIrpTag);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    if (!CheckLive(Irp, "IoReuseIrp")) return;
    IrpRecord* rec = RecordOf(Irp);
    CCHAR stackSize = Irp->StackCount;
    USHORT size = Irp->Size;
    IoInitializeIrp(Irp, size, stackSize);
    Irp->IoStatus.Status = Iostatus;
    rec->state = IrpRecord::Allocated;
    rec->pendingMarks = 0;
    rec->returnedPending = 0;
    rec->dispatchActive = 0;
    rec->serial = Io().irpSerial++;
}

VOID IoMarkIrpPending(PIRP Irp) {
    IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
    if (Irp->CurrentLocation >= 0 && Irp->CurrentLocation < 32) {
        __atomic_fetch_or(&RecordOf(Irp)->pendingMarks, 1u << Irp->CurrentLocation, __ATOMIC_SEQ_CST);
    }
}

static void ReportUnmarkedPending(PDRIVER_OBJECT driver, PIRP Irp) {
    verifier::Raise(verifier::Violation::IrpPendingNotMarked,
                    qk::Format("%s returned STATUS_PENDING for IRP %p without IoMarkIrpPending",
                               driver ? qk::ToUtf8(FromCounted(&driver->DriverName)).c_str() : "a driver",
                               static_cast<void*>(Irp)));
}

NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    qk::nt::CheckIrqlAtMost(DISPATCH_LEVEL, "IoCallDriver");
    if (!CheckLive(Irp, "IoCallDriver")) return STATUS_INVALID_PARAMETER;
    IrpRecord* rec = RecordOf(Irp);
    if (Irp->CurrentLocation <= 1) {
        verifier::Raise(verifier::Violation::IrpMisuse,
                        qk::Format("IoCallDriver to %p with no stack location left in IRP %p",
                                   static_cast<void*>(DeviceObject), static_cast<void*>(Irp)));
        Irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        return STATUS_INVALID_PARAMETER;
    }
    if (Irp->CurrentLocation == Irp->StackCount + 1) {
        // A fresh submission (drivers re-send their own IRPs): the pending
        // bookkeeping of the previous round does not apply.
        IoManager& io = Io();
        std::lock_guard guard(io.lock);
        rec->pendingMarks = 0;
        rec->returnedPending = 0;
        rec->dispatchActive = 0;
        rec->state = IrpRecord::Allocated;
    }
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    CHAR location = Irp->CurrentLocation;
    uint64_t serial = rec->serial;
    uint32_t bit = (location > 0 && location < 32) ? 1u << location : 0;
    IoManager& io = Io();
    {
        std::lock_guard guard(io.lock);
        rec->dispatchActive |= bit;
    }
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    NTSTATUS status;
    {
        qk::nt::DriverScope scope(driver);
        UCHAR major = stack->MajorFunction;
        PDRIVER_DISPATCH dispatch = major <= IRP_MJ_MAXIMUM_FUNCTION ? driver->MajorFunction[major] : nullptr;
        status = dispatch ? dispatch(DeviceObject, Irp) : InvalidDeviceRequest(DeviceObject, Irp);
    }
    // A driver that returns STATUS_PENDING must have marked its location by the
    // time completion leaves it, in its dispatch or in its completion routine.
    // If completion left it while the dispatch ran, it noted whether the mark
    // was there; otherwise the completion checks later. The request may be
    // freed by now: the notes are kept by serial number, not in the IRP.
    bool report = false;
    if (bit != 0) {
        std::lock_guard guard(io.lock);
        auto it = io.passedWhileActive.find({serial, location});
        if (it != io.passedWhileActive.end()) {
            report = status == STATUS_PENDING && !it->second;
            io.passedWhileActive.erase(it);
        } else if (io.liveIrps.count(Irp) && rec->magic == kIrpLive && rec->serial == serial) {
            rec->dispatchActive &= ~bit;
            if (status == STATUS_PENDING) rec->returnedPending |= bit;
        }
    }
    if (report) ReportUnmarkedPending(driver, Irp);
    return status;
}

// Takes a finished asynchronous request off its file's list.
static void UntrackLocked(IoManager& io, PIRP Irp) {
    IrpRecord* rec = RecordOf(Irp);
    if (rec->trackedFile == nullptr) return;
    auto it = io.files.find(rec->trackedFile);
    if (it != io.files.end()) std::erase(it->second->asyncRequests, Irp);
    rec->trackedFile = nullptr;
}

static void FinishThreadIrp(PIRP Irp) {
    IrpRecord* rec = RecordOf(Irp);
    // Output is copied back on success and on warnings (STATUS_BUFFER_OVERFLOW
    // returns as much as fits), as the target's I/O manager does.
    if (rec->userOutput != nullptr && !NT_ERROR(Irp->IoStatus.Status)) {
        size_t n = Irp->IoStatus.Information;
        if (n > rec->userOutputLength) n = rec->userOutputLength;
        if (n > 0 && Irp->AssociatedIrp.SystemBuffer != nullptr) {
            std::memcpy(rec->userOutput, Irp->AssociatedIrp.SystemBuffer, n);
        }
    }
    if (Irp->UserIosb != nullptr) *Irp->UserIosb = Irp->IoStatus;
    PKEVENT event = Irp->UserEvent;
    auto* onComplete = rec->onComplete;
    rec->onComplete = nullptr;
    IO_STATUS_BLOCK final = Irp->IoStatus;
    if (rec->ownedBuffer != nullptr) ExFreePoolWithTag(rec->ownedBuffer, kBufferTag);
    if (rec->ownedMdl != nullptr) IoFreeMdl(rec->ownedMdl);
    rec->ownedBuffer = nullptr;
    rec->ownedMdl = nullptr;
    Irp->MdlAddress = nullptr;
    IoManager& io = Io();
    bool held;
    {
        std::lock_guard guard(io.lock);
        UntrackLocked(io, Irp);
        held = rec->cancelHolds > 0;
        if (held) rec->freeWhenReleased = true;
        else io.liveIrps.erase(Irp);
    }
    if (!held) {
        rec->magic = 0;
        ExFreePoolWithTag(rec, kIrpTag);
    }
    if (event != nullptr) KeSetEvent(event, 0, FALSE);
    if (onComplete != nullptr) {
        (*onComplete)(final.Status, final.Information);
        delete onComplete;
    }
}

VOID IoCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    qk::nt::CheckIrqlAtMost(DISPATCH_LEVEL, "IoCompleteRequest");
    if (!CheckLive(Irp, "IoCompleteRequest")) return;
    IrpRecord* rec = RecordOf(Irp);
    if (rec->state == IrpRecord::Completed || Irp->CurrentLocation > Irp->StackCount) {
        verifier::Raise(verifier::Violation::IrpDoubleCompletion,
                        qk::Format("IoCompleteRequest on IRP %p, which is already completed", static_cast<void*>(Irp)));
        return;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        verifier::Raise(verifier::Violation::IrpMisuse,
                        qk::Format("IRP %p completed with STATUS_PENDING", static_cast<void*>(Irp)));
    }
    if (Irp->CancelRoutine != nullptr) {
        verifier::Raise(verifier::Violation::IrpMisuse,
                        qk::Format("IRP %p completed with its cancel routine still set", static_cast<void*>(Irp)));
        Irp->CancelRoutine = nullptr;
    }
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        UCHAR control = stack->Control;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = routine != nullptr &&
                      ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                       (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                       (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            bool top = Irp->CurrentLocation > Irp->StackCount;
            PDEVICE_OBJECT device = top ? nullptr : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
            PDRIVER_OBJECT driver = device ? device->DriverObject : rec->owner;
            NTSTATUS result;
            {
                qk::nt::DriverScope scope(driver);
                result = routine(device, Irp, context);
            }
            if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
        // Completion now stands at CurrentLocation; leaving the one below is final for it.
        CHAR left = static_cast<CHAR>(Irp->CurrentLocation - 1);
        if (left > 0 && left < 32) {
            IoManager& io = Io();
            bool report = false;
            PDRIVER_OBJECT driver = nullptr;
            {
                std::lock_guard guard(io.lock);
                bool marked = __atomic_load_n(&rec->pendingMarks, __ATOMIC_SEQ_CST) & (1u << left);
                if (rec->dispatchActive & (1u << left)) {
                    rec->dispatchActive &= ~(1u << left);
                    io.passedWhileActive[{rec->serial, left}] = marked;
                } else if (rec->returnedPending & (1u << left)) {
                    rec->returnedPending &= ~(1u << left);
                    report = !(__atomic_load_n(&rec->pendingMarks, __ATOMIC_SEQ_CST) & (1u << left));
                    driver = stack->DeviceObject ? stack->DeviceObject->DriverObject : nullptr;
                }
            }
            if (report) ReportUnmarkedPending(driver, Irp);
        }
    }
    rec->state = IrpRecord::Completed;
    if (rec->threadIrp) {
        FinishThreadIrp(Irp);
        return;
    }
    verifier::Raise(verifier::Violation::IrpMisuse,
                    qk::Format("IRP %p from IoAllocateIrp completed past its top: its completion routine must return "
                               "STATUS_MORE_PROCESSING_REQUIRED and free it",
                               static_cast<void*>(Irp)));
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&Io().cancelLock, Irql); }

VOID IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&Io().cancelLock, Irql); }

BOOLEAN IoCancelIrp(PIRP Irp) {
    qk::nt::CheckIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
    if (!CheckLive(Irp, "IoCancelIrp")) return FALSE;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->CancelIrql = irql;
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    PDEVICE_OBJECT device =
        Irp->CurrentLocation <= Irp->StackCount ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
    qk::nt::DriverScope scope(device ? device->DriverObject : nullptr);
    routine(device, Irp);  // releases the cancel spin lock
    return TRUE;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    qk::nt::CheckIrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
    PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    if (irp == nullptr) return nullptr;
    IrpRecord* rec = RecordOf(irp);
    rec->threadIrp = true;
    irp->UserEvent = Event;
    irp->UserIosb = IoStatusBlock;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
        case METHOD_BUFFERED: {
            ULONG size = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
            if (size > 0) {
                void* buffer = ExAllocatePoolWithTag(NonPagedPool, size, kBufferTag);
                if (buffer == nullptr) {
                    IoFreeIrp(irp);
                    return nullptr;
                }
                std::memset(buffer, 0, size);
                if (InputBuffer != nullptr && InputBufferLength > 0) std::memcpy(buffer, InputBuffer, InputBufferLength);
                irp->AssociatedIrp.SystemBuffer = buffer;
                rec->ownedBuffer = buffer;
                irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
                if (OutputBuffer != nullptr && OutputBufferLength > 0) {
                    rec->userOutput = OutputBuffer;
                    rec->userOutputLength = OutputBufferLength;
                    irp->Flags |= IRP_INPUT_OPERATION;
                }
            }
            break;
        }
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT:
            if (InputBuffer != nullptr && InputBufferLength > 0) {
                void* buffer = ExAllocatePoolWithTag(NonPagedPool, InputBufferLength, kBufferTag);
                if (buffer == nullptr) {
                    IoFreeIrp(irp);
                    return nullptr;
                }
                std::memcpy(buffer, InputBuffer, InputBufferLength);
                irp->AssociatedIrp.SystemBuffer = buffer;
                rec->ownedBuffer = buffer;
                irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            }
            if (OutputBuffer != nullptr && OutputBufferLength > 0) {
                irp->MdlAddress = IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, nullptr);
                if (irp->MdlAddress == nullptr) {
                    if (rec->ownedBuffer) ExFreePoolWithTag(rec->ownedBuffer, kBufferTag);
                    IoFreeIrp(irp);
                    return nullptr;
                }
                rec->ownedMdl = irp->MdlAddress;
            }
            break;
        default:
            stack->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
            irp->UserBuffer = OutputBuffer;
            break;
    }
    return irp;
}

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                  PLARGE_INTEGER StartingOffset, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    if (irp == nullptr) return nullptr;
    RecordOf(irp)->threadIrp = true;
    irp->UserEvent = Event;
    irp->UserIosb = IoStatusBlock;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = static_cast<UCHAR>(MajorFunction);
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
        stack->Parameters.Read.Length = Length;
        if (StartingOffset) stack->Parameters.Read.ByteOffset = *StartingOffset;
        irp->UserBuffer = Buffer;
    }
    return irp;
}

// ---- MDLs ----------------------------------------------------------------------------------
// Memory is never paged here, so an MDL describes the caller's buffer directly
// and its system address is that buffer.

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp) {
    auto* mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, sizeof(MDL), kMdlTag));
    if (mdl == nullptr) return nullptr;
    std::memset(mdl, 0, sizeof(MDL));
    mdl->Size = sizeof(MDL);
    mdl->StartVa = reinterpret_cast<PVOID>(reinterpret_cast<uintptr_t>(VirtualAddress) & ~uintptr_t{0xFFF});
    mdl->ByteOffset = static_cast<ULONG>(reinterpret_cast<uintptr_t>(VirtualAddress) & 0xFFF);
    mdl->ByteCount = Length;
    if (Irp != nullptr) {
        if (SecondaryBuffer && Irp->MdlAddress) {
            PMDL last = Irp->MdlAddress;
            while (last->Next) last = last->Next;
            last->Next = mdl;
        } else {
            Irp->MdlAddress = mdl;
        }
    }
    return mdl;
}

VOID IoFreeMdl(PMDL Mdl) { ExFreePoolWithTag(Mdl, kMdlTag); }

VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
}

namespace {

// Whether every page of [address, address + length) can be read (and, for
// write access, written) by this process. The kernel answers EFAULT for
// memory that is not there instead of faulting, so a hostile address from a
// caller is refused, as the target's probe raises an access violation.
bool ProbeRange(uintptr_t address, size_t length, bool write) {
    if (length == 0) return true;
    if (address + length < address) return false;
    const pid_t self = getpid();
    const uintptr_t end = address + length;
    // A byte of every page, up to a batch of pages a call: a call per page
    // made the probe of a 640x480 picture cost half a millisecond.
    constexpr size_t kBatch = 256;
    unsigned char bytes[kBatch];
    iovec local[kBatch];
    iovec remote[kBatch];
    uintptr_t page = address & ~uintptr_t{0xFFF};
    while (page < end) {
        size_t n = 0;
        for (; n < kBatch && page < end; ++n, page += 0x1000) {
            uintptr_t at = page < address ? address : page;
            local[n] = {&bytes[n], 1};
            remote[n] = {reinterpret_cast<void*>(at), 1};
        }
        // A page that cannot be read ends the transfer short of n bytes.
        if (process_vm_readv(self, local, n, remote, n, 0) != static_cast<ssize_t>(n)) return false;
        // The bytes go back as they were: only the right to write is tested.
        if (write && process_vm_writev(self, local, n, remote, n, 0) != static_cast<ssize_t>(n)) return false;
    }
    return true;
}

}  // namespace

VOID MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) {
    if (AccessMode == UserMode) {
        auto start = reinterpret_cast<uintptr_t>(MmGetMdlVirtualAddress(MemoryDescriptorList));
        if (!ProbeRange(start, MemoryDescriptorList->ByteCount, Operation != IoReadAccess)) {
            ExRaiseStatus(STATUS_ACCESS_VIOLATION);
        }
    }
    MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
}

BOOLEAN IoIs32bitProcess(PIRP) {
    // Every process of this machine runs 64-bit code.
    return FALSE;
}

VOID MmUnlockPages(PMDL MemoryDescriptorList) { MemoryDescriptorList->MdlFlags &= ~MDL_PAGES_LOCKED; }

PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority) {
    if (!(Mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA)) {
        Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
        Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    }
    return Mdl->MappedSystemVa;
}

PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, ULONG CacheType,
                                   PVOID RequestedAddress, ULONG BugCheckOnFailure, ULONG Priority) {
    return MmGetSystemAddressForMdlSafe(MemoryDescriptorList, Priority);
}

// ---- Symbolic links -----------------------------------------------------------------------------

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    qk::nt::CheckIrqlAtMost(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    IoManager& io = Io();
    std::u16string link = Upper(Canonical(FromCounted(SymbolicLinkName)));
    if (link.empty()) return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard guard(io.lock);
    if (io.symbolicLinks.count(link) || io.deviceNames.count(link)) return STATUS_OBJECT_NAME_COLLISION;
    io.symbolicLinks[link] = Canonical(FromCounted(DeviceName));
    return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    qk::nt::CheckIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    IoManager& io = Io();
    std::lock_guard guard(io.lock);
    return io.symbolicLinks.erase(Upper(Canonical(FromCounted(SymbolicLinkName)))) ? STATUS_SUCCESS
                                                                                    : STATUS_OBJECT_NAME_NOT_FOUND;
}

// ---- Work items ----------------------------------------------------------------------------------

struct _IO_WORKITEM {
    PDEVICE_OBJECT device;
    PDRIVER_OBJECT driver;
    std::atomic<bool> queued;
};

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    auto* item = static_cast<PIO_WORKITEM>(ExAllocatePoolWithTag(NonPagedPool, sizeof(_IO_WORKITEM), kWorkItemTag));
    if (item == nullptr) return nullptr;
    new (item) _IO_WORKITEM{DeviceObject, DeviceObject->DriverObject, false};
    return item;
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    if (IoWorkItem->queued.load()) {
        verifier::Raise(verifier::Violation::ObjectMisuse, "IoFreeWorkItem of a work item that is still queued");
    }
    IoWorkItem->~_IO_WORKITEM();
    ExFreePoolWithTag(IoWorkItem, kWorkItemTag);
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context) {
    qk::nt::CheckIrqlAtMost(DISPATCH_LEVEL, "IoQueueWorkItem");
    if (IoWorkItem->queued.exchange(true)) {
        verifier::Raise(verifier::Violation::ObjectMisuse, "IoQueueWorkItem of a work item that is already queued");
        return;
    }
    PDEVICE_OBJECT device = IoWorkItem->device;
    // The device object stays while the item is queued, so its driver cannot unload under it.
    ObReferenceObject(device);
    Kernel::Get().QueueWork(IoWorkItem->driver, [IoWorkItem, WorkerRoutine, Context, device] {
        IoWorkItem->queued = false;
        WorkerRoutine(device, Context);
        ObDereferenceObject(device);
    });
}

BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
    IoManager& io = Io();
    std::lock_guard guard(io.lock);
    return (MajorVersion < io.wdmMajor || (MajorVersion == io.wdmMajor && MinorVersion <= io.wdmMinor)) ? TRUE : FALSE;
}

// ---- Power -------------------------------------------------------------------------------------------

VOID PoStartNextPowerIrp(PIRP Irp) {}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IoCallDriver(DeviceObject, Irp); }

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    POWER_STATE old{};
    return old;
}
