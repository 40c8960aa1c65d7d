#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/nt/io_manager.h"
#include "platform/nt/pnp.h"
#include "platform/nt/reg_util.h"
#include "platform/nt/wformat.h"
#include "platform/nt/testing/machine_test.h"
#include "wdm.h"

namespace {

using qk::nt::pnp::DeviceInfo;
using qk::nt::pnp::Event;
using qk::nt::pnp::EventKind;
namespace reg = qk::nt::reg;

constexpr GUID kTestInterface = {0x12345678, 0x1234, 0x5678, {0x9A, 0xBC, 0xDE, 0xF0, 0x12, 0x34, 0x56, 0x78}};

// ---- A bus with hot plug --------------------------------------------------------------

struct BusState {
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    std::vector<PDEVICE_OBJECT> children;  // present children
};
BusState g_bus;

struct ChildExtension {
    bool isChild;  // distinguishes child PDOs from the bus FDO
    bool present;
    const char16_t* deviceId;
    const char16_t* hardwareIds;  // multi-string
    int serial;
};

NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Forwards an IRP down and waits for it (the usual start handling).
NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(lower, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR info = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = info;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

PWSTR PoolCopy(const char16_t* s, size_t units) {
    auto* p = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, units * 2, 'tseT'));
    std::memcpy(p, s, units * 2);
    return p;
}

NTSTATUS ChildPnp(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<ChildExtension*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
        case IRP_MN_QUERY_ID: {
            if (stack->Parameters.QueryId.IdType == BusQueryDeviceID) {
                return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(PoolCopy(ext->deviceId, std::char_traits<char16_t>::length(ext->deviceId) + 1)));
            }
            if (stack->Parameters.QueryId.IdType == BusQueryInstanceID) {
                char16_t serial[2] = {static_cast<char16_t>(u'0' + ext->serial), 0};
                return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(PoolCopy(serial, 2)));
            }
            if (stack->Parameters.QueryId.IdType == BusQueryHardwareIDs) {
                size_t n = 0;
                while (ext->hardwareIds[n] || ext->hardwareIds[n + 1]) ++n;
                return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(PoolCopy(ext->hardwareIds, n + 2)));
            }
            return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
        }
        case IRP_MN_QUERY_CAPABILITIES:
            stack->Parameters.DeviceCapabilities.Capabilities->Removable = 1;
            return Complete(irp, STATUS_SUCCESS);
        case IRP_MN_START_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            return Complete(irp, STATUS_SUCCESS);
        case IRP_MN_REMOVE_DEVICE: {
            bool present = ext->present;
            Complete(irp, STATUS_SUCCESS);
            if (!present) IoDeleteDevice(device);  // a child that left the bus goes for good
            return STATUS_SUCCESS;
        }
        default:
            return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
}

NTSTATUS BusPnp(PDEVICE_OBJECT device, PIRP irp) {
    if (device != g_bus.fdo) return ChildPnp(device, irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
            return Complete(irp, ForwardAndWait(g_bus.lower, irp));
        case IRP_MN_QUERY_DEVICE_RELATIONS: {
            if (stack->Parameters.QueryDeviceRelations.Type != BusRelations) break;
            size_t n = g_bus.children.size();
            auto* rel = static_cast<PDEVICE_RELATIONS>(
                ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS) + n * sizeof(PDEVICE_OBJECT), 'tseT'));
            rel->Count = static_cast<ULONG>(n);
            for (size_t i = 0; i < n; ++i) {
                rel->Objects[i] = g_bus.children[i];
                ObReferenceObject(g_bus.children[i]);
            }
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(rel);
            irp->IoStatus.Status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_REMOVE_DEVICE: {
            IoSkipCurrentIrpStackLocation(irp);
            NTSTATUS status = IoCallDriver(g_bus.lower, irp);
            for (PDEVICE_OBJECT child : g_bus.children) IoDeleteDevice(child);
            g_bus.children.clear();
            IoDetachDevice(g_bus.lower);
            IoDeleteDevice(g_bus.fdo);
            g_bus.fdo = nullptr;
            return status;
        }
        default:
            break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(g_bus.lower, irp);
}

NTSTATUS BusAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    NTSTATUS status = IoCreateDevice(driver, sizeof(ChildExtension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &g_bus.fdo);
    if (!NT_SUCCESS(status)) return status;
    g_bus.pdo = pdo;
    g_bus.lower = IoAttachDeviceToDeviceStack(g_bus.fdo, pdo);
    g_bus.fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS BusPower(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    if (device != g_bus.fdo) return Complete(irp, STATUS_SUCCESS);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(g_bus.lower, irp);
}

NTSTATUS BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_PNP] = BusPnp;
    driver->MajorFunction[IRP_MJ_POWER] = BusPower;
    driver->DriverExtension->AddDevice = BusAddDevice;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT Plug(const char16_t* deviceId, const char16_t* hardwareIds, int serial) {
    PDEVICE_OBJECT child;
    EXPECT_EQ(IoCreateDevice(g_bus.fdo->DriverObject, sizeof(ChildExtension), nullptr, FILE_DEVICE_UNKNOWN,
                             FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &child),
              STATUS_SUCCESS);
    auto* ext = static_cast<ChildExtension*>(child->DeviceExtension);
    *ext = {true, true, deviceId, hardwareIds, serial};
    child->Flags &= ~DO_DEVICE_INITIALIZING;
    g_bus.children.push_back(child);
    IoInvalidateDeviceRelations(g_bus.pdo, BusRelations);
    qk::nt::pnp::WaitIdle();
    return child;
}

void Unplug(PDEVICE_OBJECT child) {
    static_cast<ChildExtension*>(child->DeviceExtension)->present = false;
    g_bus.children.erase(std::find(g_bus.children.begin(), g_bus.children.end(), child));
    IoInvalidateDeviceRelations(g_bus.pdo, BusRelations);
    qk::nt::pnp::WaitIdle();
}

// ---- A function driver and an upper filter ------------------------------------------------

struct FunctionBehaviour {
    NTSTATUS addResult = STATUS_SUCCESS;
    NTSTATUS startResult = STATUS_SUCCESS;
    NTSTATUS queryRemoveResult = STATUS_SUCCESS;
};
FunctionBehaviour g_function;
std::mutex g_logLock;
std::vector<std::string> g_log;

void Log(const std::string& s) {
    std::lock_guard guard(g_logLock);
    g_log.push_back(s);
}

struct FunctionExtension {
    PDEVICE_OBJECT lower;
    PDEVICE_OBJECT pdo;
    UNICODE_STRING link;
    DEVICE_POWER_STATE power;
};

NTSTATUS FunctionPnp(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<FunctionExtension*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE: {
            NTSTATUS status = ForwardAndWait(ext->lower, irp);
            if (NT_SUCCESS(status)) status = g_function.startResult;
            if (NT_SUCCESS(status)) {
                IoSetDeviceInterfaceState(&ext->link, TRUE);
                HANDLE key;
                if (NT_SUCCESS(IoOpenDeviceRegistryKey(ext->pdo, PLUGPLAY_REGKEY_DRIVER, KEY_WRITE, &key))) {
                    reg::SetString(key, u"CreateFileName", std::u16string(ext->link.Buffer, ext->link.Length / 2));
                    ZwClose(key);
                }
            }
            Log("function start");
            return Complete(irp, status);
        }
        case IRP_MN_QUERY_REMOVE_DEVICE:
            if (!NT_SUCCESS(g_function.queryRemoveResult)) return Complete(irp, g_function.queryRemoveResult);
            break;
        case IRP_MN_SURPRISE_REMOVAL:
            Log("function surprise removal");
            IoSetDeviceInterfaceState(&ext->link, FALSE);
            irp->IoStatus.Status = STATUS_SUCCESS;
            break;
        case IRP_MN_REMOVE_DEVICE: {
            Log("function remove");
            IoSetDeviceInterfaceState(&ext->link, FALSE);
            RtlFreeUnicodeString(&ext->link);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoSkipCurrentIrpStackLocation(irp);
            NTSTATUS status = IoCallDriver(ext->lower, irp);
            IoDetachDevice(ext->lower);
            IoDeleteDevice(device);
            return status;
        }
        default:
            break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

NTSTATUS FunctionPower(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<FunctionExtension*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
        ext->power = stack->Parameters.Power.State.DeviceState;
    }
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ext->lower, irp);
}

NTSTATUS FunctionCreateClose(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_CREATE) {
        Log("create " + qk::ToUtf8(std::u16string(stack->FileObject->FileName.Buffer, stack->FileObject->FileName.Length / 2)));
    }
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS FunctionAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    if (!NT_SUCCESS(g_function.addResult)) return g_function.addResult;
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FunctionExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    auto* ext = static_cast<FunctionExtension*>(fdo->DeviceExtension);
    ext->pdo = pdo;
    UNICODE_STRING reference;
    RtlInitUnicodeString(&reference, u"GLOBAL");
    status = IoRegisterDeviceInterface(pdo, &kTestInterface, &reference, &ext->link);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(fdo);
        return status;
    }
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS FunctionEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_PNP] = FunctionPnp;
    driver->MajorFunction[IRP_MJ_POWER] = FunctionPower;
    driver->MajorFunction[IRP_MJ_CREATE] = FunctionCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = FunctionCreateClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = FunctionCreateClose;
    driver->DriverExtension->AddDevice = FunctionAddDevice;
    return STATUS_SUCCESS;
}

struct FilterExtension {
    PDEVICE_OBJECT lower;
};

NTSTATUS FilterPass(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<FilterExtension*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        Log("filter remove");
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(ext->lower, irp);
        IoDetachDevice(ext->lower);
        IoDeleteDevice(device);
        return status;
    }
    if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_START_DEVICE) Log("filter start");
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

NTSTATUS FilterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fido;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FilterExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fido);
    if (!NT_SUCCESS(status)) return status;
    static_cast<FilterExtension*>(fido->DeviceExtension)->lower = IoAttachDeviceToDeviceStack(fido, pdo);
    fido->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& f : driver->MajorFunction) f = FilterPass;
    driver->DriverExtension->AddDevice = FilterAddDevice;
    return STATUS_SUCCESS;
}

// ---- Fixture ------------------------------------------------------------------------------------

class PnpTest : public qk::testing::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        g_bus = {};
        g_function = {};
        g_log.clear();
        qk::nt::io::RegisterStaticDriver(u"TestBus.sys", BusEntry);
        qk::nt::io::RegisterStaticDriver(u"TestFunc.sys", FunctionEntry);
        qk::nt::io::RegisterStaticDriver(u"TestFilter.sys", FilterEntry);
        for (auto* service : {u"TestBus", u"TestFunc", u"TestFilter"}) {
            HANDLE key;
            std::u16string s = service;
            ASSERT_EQ(reg::CreatePath(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\" + s, KEY_ALL_ACCESS, &key),
                      STATUS_SUCCESS);
            reg::SetString(key, u"ImagePath", u"\\SystemRoot\\System32\\drivers\\" + s + u".sys", REG_EXPAND_SZ);
            ZwClose(key);
        }
        Install(u"ROOT#QKTESTBUS", u"TestBus", {});
        Install(u"TESTBUS#DEV_01", u"TestFunc", {u"TestFilter"});
        events_ = qk::nt::pnp::Subscribe([this](const Event& e) {
            std::lock_guard guard(g_logLock);
            events_seen_.push_back(e);
        });
        busPath_ = qk::nt::pnp::AddRootDevice(u"ROOT\\QKTESTBUS", {u"ROOT\\QKTESTBUS"}, u"Test bus");
        ASSERT_NE(g_bus.fdo, nullptr);
    }
    void TearDown() override {
        qk::nt::pnp::Unsubscribe(events_);
        MachineTest::TearDown();
    }
    void Install(const std::u16string& id, const std::u16string& service, const std::vector<std::u16string>& filters) {
        HANDLE key;
        ASSERT_EQ(reg::CreatePath(u"\\Registry\\Machine\\SYSTEM\\DriverDatabase\\DeviceIds\\" + id, KEY_ALL_ACCESS, &key),
                  STATUS_SUCCESS);
        reg::SetString(key, u"Service", service);
        reg::SetString(key, u"ClassGUID", u"{6bdd1fc6-810f-11d0-bec7-08002be2092f}");
        reg::SetString(key, u"Class", u"Image");
        reg::SetString(key, u"DeviceDesc", u"Test device");
        if (!filters.empty()) reg::SetMultiString(key, u"UpperFilters", filters);
        ZwClose(key);
    }
    static constexpr char16_t kDevIds[] = u"TESTBUS\\DEV_01\0TESTBUS\\DEV\0";

    int events_ = 0;
    std::vector<Event> events_seen_;
    std::u16string busPath_;
};

TEST_F(PnpTest, PluggedChildGetsItsStackStartedAndItsInterfaceEnabled) {
    // The installation's strings for the driver key; anything but a string stays behind.
    HANDLE values;
    ASSERT_EQ(reg::CreatePath(u"\\Registry\\Machine\\SYSTEM\\DriverDatabase\\DeviceIds\\TESTBUS#DEV_01\\DriverValues",
                              KEY_ALL_ACCESS, &values),
              STATUS_SUCCESS);
    reg::SetString(values, u"LuAudioName", u"Test microphone");
    reg::SetDword(values, u"Number", 7);
    ZwClose(values);
    PDEVICE_OBJECT child = Plug(u"TESTBUS\\DEV_01", kDevIds, 1);
    DeviceInfo info;
    ASSERT_TRUE(qk::nt::pnp::FindDevice(u"TESTBUS\\DEV_01\\1", &info));
    EXPECT_TRUE(info.started);
    EXPECT_EQ(info.service, u"TestFunc");
    EXPECT_EQ(info.upperFilters, std::vector<std::u16string>{u"TestFilter"});
    EXPECT_EQ(info.parentInstancePath, busPath_);
    // Stack: filter above function above the bus's PDO; starts run top-down then bottom-up.
    PDEVICE_OBJECT top = IoGetAttachedDevice(child);
    EXPECT_EQ(top->DriverObject, qk::nt::io::FindDriver(u"TestFilter"));
    EXPECT_EQ((std::vector<std::string>{"filter start", "function start"}), g_log);

    auto interfaces = qk::nt::pnp::Interfaces(kTestInterface);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(interfaces[0].symbolicLink, u"\\??\\TESTBUS#DEV_01#1#{12345678-1234-5678-9abc-def012345678}\\GLOBAL");
    // The driver key holds what the driver wrote; the Enum key names it.
    auto driverKey = reg::ReadString(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\TESTBUS\\DEV_01\\1", u"Driver");
    ASSERT_TRUE(driverKey.has_value());
    EXPECT_EQ(*driverKey, info.driverKey);
    EXPECT_EQ(reg::ReadString(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\" + *driverKey, u"CreateFileName"),
              interfaces[0].symbolicLink);
    const std::u16string driverPath = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\" + *driverKey;
    EXPECT_EQ(reg::ReadString(driverPath, u"LuAudioName").value_or(u""), u"Test microphone");
    HANDLE driver;
    ASSERT_EQ(reg::OpenPath(driverPath, KEY_READ, &driver), STATUS_SUCCESS);
    EXPECT_FALSE(reg::QueryDword(driver, u"Number").has_value());
    ZwClose(driver);

    // Opening through the interface reaches the function driver with the reference string.
    HANDLE h;
    ASSERT_EQ(qk::nt::io::OpenDevice(u"\\\\?\\TESTBUS#DEV_01#1#{12345678-1234-5678-9abc-def012345678}\\GLOBAL",
                                     GENERIC_READ, &h),
              STATUS_SUCCESS);
    EXPECT_EQ(g_log.back(), "create \\GLOBAL");
    ZwClose(h);

    ULONG needed = 0;
    EXPECT_EQ(IoGetDeviceProperty(child, DevicePropertyHardwareID, 0, nullptr, &needed), STATUS_BUFFER_TOO_SMALL);
    std::vector<WCHAR> ids(needed / 2);
    EXPECT_EQ(IoGetDeviceProperty(child, DevicePropertyHardwareID, needed, ids.data(), &needed), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(ids.data()), u"TESTBUS\\DEV_01");
}

TEST_F(PnpTest, SurpriseRemovalWaitsForTheLastHandleThenUnloads) {
    PDEVICE_OBJECT child = Plug(u"TESTBUS\\DEV_01", kDevIds, 1);
    HANDLE h;
    ASSERT_EQ(qk::nt::io::OpenDevice(u"\\??\\TESTBUS#DEV_01#1#{12345678-1234-5678-9abc-def012345678}\\GLOBAL",
                                     GENERIC_READ, &h),
              STATUS_SUCCESS);
    g_log.clear();
    Unplug(child);
    EXPECT_EQ((std::vector<std::string>{"function surprise removal"}), g_log);
    EXPECT_TRUE(qk::nt::pnp::Interfaces(kTestInterface).empty());
    EXPECT_NE(qk::nt::io::FindDriver(u"TestFunc"), nullptr);  // still loaded: a handle is open
    ZwClose(h);
    qk::nt::pnp::WaitIdle();
    EXPECT_EQ((std::vector<std::string>{"function surprise removal", "filter remove", "function remove"}), g_log);
    EXPECT_EQ(qk::nt::io::FindDriver(u"TestFunc"), nullptr);
    EXPECT_EQ(qk::nt::io::FindDriver(u"TestFilter"), nullptr);
    EXPECT_FALSE(qk::nt::pnp::FindDevice(u"TESTBUS\\DEV_01\\1", nullptr) && false);
}

TEST_F(PnpTest, ReplugKeepsTheDriverKeyAndEventsArriveInOrder) {
    PDEVICE_OBJECT child = Plug(u"TESTBUS\\DEV_01", kDevIds, 1);
    DeviceInfo first;
    ASSERT_TRUE(qk::nt::pnp::FindDevice(u"TESTBUS\\DEV_01\\1", &first));
    Unplug(child);
    Plug(u"TESTBUS\\DEV_01", kDevIds, 1);
    DeviceInfo second;
    ASSERT_TRUE(qk::nt::pnp::FindDevice(u"TESTBUS\\DEV_01\\1", &second));
    EXPECT_EQ(first.driverKey, second.driverKey);
    std::vector<EventKind> kinds;
    for (auto& e : events_seen_) {
        if (e.instancePath == u"TESTBUS\\DEV_01\\1") kinds.push_back(e.kind);
    }
    std::vector<EventKind> expected = {EventKind::InterfaceArrival, EventKind::DeviceArrival, EventKind::InterfaceRemoval,
                                       EventKind::DeviceRemoval,    EventKind::InterfaceArrival, EventKind::DeviceArrival};
    EXPECT_EQ(kinds, expected);
}

TEST_F(PnpTest, DevicesThatCannotStartReportTheirProblem) {
    DeviceInfo info;
    Plug(u"TESTBUS\\UNKNOWN", u"TESTBUS\\UNKNOWN\0", 2);
    ASSERT_TRUE(qk::nt::pnp::FindDevice(u"TESTBUS\\UNKNOWN\\2", &info));
    EXPECT_EQ(info.problem, qk::nt::pnp::Problem::NoDriver);

    g_function.addResult = STATUS_INSUFFICIENT_RESOURCES;
    Plug(u"TESTBUS\\DEV_01", kDevIds, 3);
    ASSERT_TRUE(qk::nt::pnp::FindDevice(u"TESTBUS\\DEV_01\\3", &info));
    EXPECT_EQ(info.problem, qk::nt::pnp::Problem::FailedAdd);
    EXPECT_FALSE(info.started);

    g_function = {};
    g_function.startResult = STATUS_UNSUCCESSFUL;
    Plug(u"TESTBUS\\DEV_01", kDevIds, 4);
    ASSERT_TRUE(qk::nt::pnp::FindDevice(u"TESTBUS\\DEV_01\\4", &info));
    EXPECT_EQ(info.problem, qk::nt::pnp::Problem::FailedStart);
    // The failed stack was taken down and its drivers unloaded.
    EXPECT_EQ(qk::nt::io::FindDriver(u"TestFunc"), nullptr);
}

TEST_F(PnpTest, OrderlyRemovalCanBeVetoedAndPowerReachesTheStack) {
    PDEVICE_OBJECT child = Plug(u"TESTBUS\\DEV_01", kDevIds, 1);
    PDEVICE_OBJECT function = qk::nt::io::LowerDevice(IoGetAttachedDevice(child));
    EXPECT_EQ(qk::nt::pnp::SetDevicePower(u"TESTBUS\\DEV_01\\1", PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(static_cast<FunctionExtension*>(function->DeviceExtension)->power, PowerDeviceD3);
    g_function.queryRemoveResult = STATUS_DEVICE_BUSY;
    EXPECT_FALSE(qk::nt::pnp::RemoveDevice(u"TESTBUS\\DEV_01\\1"));
    DeviceInfo info;
    ASSERT_TRUE(qk::nt::pnp::FindDevice(u"TESTBUS\\DEV_01\\1", &info));
    EXPECT_TRUE(info.started);
    g_function.queryRemoveResult = STATUS_SUCCESS;
    EXPECT_TRUE(qk::nt::pnp::RemoveDevice(busPath_));  // the bus and its child
    EXPECT_EQ(g_bus.fdo, nullptr);
    EXPECT_TRUE(qk::nt::io::LoadedDrivers().size() == 1);  // only the Plug and Play manager's own
}

}  // namespace
