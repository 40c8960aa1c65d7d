#include "tools/install/install.h"

#include <cstring>
#include <system_error>
#include <vector>

#include "platform/nt/machine.h"
#include "platform/nt/wformat.h"
#include "platform/registry/hive.h"
#include "platform/registry/reg_file.h"
#include "platform/registry/registry.h"
#include "wdm.h"

namespace qk::install {
namespace {

using qk::registry::RegOperation;
using Levels = std::vector<std::u16string>;

constexpr uint32_t kServiceKernelDriver = 1;
constexpr uint32_t kStartOnDemand = 3;
constexpr uint32_t kErrorControlNormal = 1;

// Builds the registry part of the installation as one list of changes.
class Entries {
public:
    void Key(Levels levels) {
        RegOperation op;
        op.kind = RegOperation::Kind::CreateKey;
        op.levels = std::move(levels);
        operations_.push_back(std::move(op));
        ++keys_;
    }
    void String(std::u16string_view name, std::u16string_view text, uint32_t type = REG_SZ) {
        std::vector<uint8_t> data((text.size() + 1) * 2, 0);
        std::memcpy(data.data(), text.data(), text.size() * 2);
        Value(name, type, std::move(data));
    }
    // One string, with the two terminators of a REG_MULTI_SZ.
    void MultiString(std::u16string_view name, std::u16string_view item) {
        std::vector<uint8_t> data((item.size() + 2) * 2, 0);
        std::memcpy(data.data(), item.data(), item.size() * 2);
        Value(name, REG_MULTI_SZ, std::move(data));
    }
    void Dword(std::u16string_view name, uint32_t number) {
        std::vector<uint8_t> data(4);
        std::memcpy(data.data(), &number, 4);
        Value(name, REG_DWORD, std::move(data));
    }
    const std::vector<RegOperation>& operations() const { return operations_; }
    size_t keys() const { return keys_; }
    size_t values() const { return values_; }

private:
    void Value(std::u16string_view name, uint32_t type, std::vector<uint8_t> data) {
        RegOperation op;
        op.kind = RegOperation::Kind::SetValue;
        op.levels = operations_.back().levels;
        op.valueName = std::u16string(name);
        op.type = type;
        op.data = std::move(data);
        operations_.push_back(std::move(op));
        ++values_;
    }
    std::vector<RegOperation> operations_;
    size_t keys_ = 0;
    size_t values_ = 0;
};

Levels MachineLevels(std::u16string_view path) {
    Levels levels{u"MACHINE"};
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string_view::npos) end = path.size();
        levels.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return levels;
}

void AddServices(Entries* entries) {
    for (const auto& service : Services()) {
        entries->Key(MachineLevels(u"SYSTEM\\CurrentControlSet\\Services\\" + std::u16string(service.name)));
        entries->String(u"ImagePath", u"\\SystemRoot\\System32\\drivers\\" + std::u16string(service.imageFile),
                        REG_EXPAND_SZ);
        entries->Dword(u"Type", kServiceKernelDriver);
        entries->Dword(u"Start", kStartOnDemand);
        entries->Dword(u"ErrorControl", kErrorControlNormal);
        entries->String(u"DisplayName", service.displayName);
    }
}

void AddDevices(Entries* entries) {
    for (const auto& device : Devices()) {
        entries->Key(MachineLevels(u"SYSTEM\\DriverDatabase\\DeviceIds\\" + HardwareIdKey(device)));
        entries->String(u"Service", device.service);
        if (!device.upperFilters.empty()) entries->MultiString(u"UpperFilters", device.upperFilters);
        entries->String(u"ClassGUID", device.classGuid);
        entries->String(u"Class", device.className);
        entries->String(u"DeviceDesc", device.deviceDesc);
        if (!device.friendlyName.empty()) entries->String(u"FriendlyName", device.friendlyName);
        if (!device.interfaceValues.empty()) {
            entries->Key(MachineLevels(u"SYSTEM\\DriverDatabase\\DeviceIds\\" + HardwareIdKey(device) +
                                       u"\\InterfaceValues\\" + std::u16string(device.interfaceClass)));
            for (const InterfaceValue& v : device.interfaceValues) entries->Dword(v.name, v.number);
        }
        if (device.driverValues.empty()) continue;
        entries->Key(MachineLevels(u"SYSTEM\\DriverDatabase\\DeviceIds\\" + HardwareIdKey(device) + u"\\DriverValues"));
        for (const DriverValue& v : device.driverValues) entries->String(v.name, v.text);
    }
}

}  // namespace

std::u16string HardwareIdKey(const Device& device) {
    if (!device.compatibleId.empty() || !device.hardwareId.empty()) {
        std::u16string id(device.hardwareId.empty() ? device.compatibleId : device.hardwareId);
        for (auto& c : id) {
            if (c == u'\\') c = u'#';
        }
        return id;
    }
    std::u16string id = FormatWide(u"USB#VID_%04X", device.vendorId);
    if (device.productId >= 0) id += FormatWide(u"&PID_%04X", device.productId);
    if (device.interface >= 0) id += FormatWide(u"&MI_%02X", device.interface);
    return id;
}

std::filesystem::path ProgramFolder() {
    std::error_code ec;
    auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::current_path() : self.parent_path();
}

bool Install(const Options& options, Result* result, std::string* error) {
    *result = {};
    const auto& root = Machine::Current().SystemRoot();
    for (const auto& folder : Folders()) {
        std::error_code ec;
        std::filesystem::create_directories(root / folder.path, ec);
        if (ec) {
            *error = "cannot create " + (root / folder.path).string() + ": " + ec.message();
            return false;
        }
        ++result->folders;
    }
    // Without a module folder the machine's drivers are registered in the
    // process (tests, tools that link them); only the registry is written.
    for (const auto& module : options.moduleFolder.empty() ? std::span<const ModuleFile>{} : ModuleFiles()) {
        auto source = options.moduleFolder / module.buildName;
        std::error_code ec;
        std::filesystem::copy_file(source, root / module.destination,
                                   std::filesystem::copy_options::overwrite_existing, ec);
        if (ec) {
            *error = "cannot copy " + source.string() + ": " + ec.message();
            return false;
        }
        ++result->modules;
    }

    Entries entries;
    AddServices(&entries);
    AddDevices(&entries);
    for (const auto& key : PlainKeys()) entries.Key(MachineLevels(key.path));
    for (const auto& machineString : MachineStrings()) {
        entries.Key(MachineLevels(machineString.path));
        entries.String(machineString.name, machineString.text);
    }

    registry::Store* store = registry::CurrentStore();
    if (store == nullptr) {
        *error = registry::StoreError();
        return false;
    }
    for (const auto& initial : InitialValues()) {
        Levels levels = MachineLevels(initial.path);
        registry::KeyRecord key;
        registry::ValueRecord value;
        bool present;
        {
            registry::Store::Txn txn(*store, registry::Store::Txn::Mode::Read);
            present = NT_SUCCESS(txn.Resolve(registry::kRootKeyId, levels, &key)) &&
                      NT_SUCCESS(txn.GetValue(key.id, initial.name, &value));
        }
        if (present) continue;
        entries.Key(levels);
        entries.Dword(initial.name, initial.number);
    }
    registry::RegFileError failure;
    if (!registry::ApplyRegOperations(*store, entries.operations(), &failure)) {
        *error = "cannot write the registry entries: " + failure.message;
        return false;
    }
    result->keys = entries.keys();
    result->values = entries.values();
    return true;
}

}  // namespace qk::install
