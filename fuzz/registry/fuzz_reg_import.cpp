// A .reg file from outside must never make the importer read or write out of
// bounds, and whatever it accepts must survive export and import unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/registry/hive.h"
#include "platform/registry/reg_file.h"
#include "platform/registry/store.h"

namespace {

using namespace qk::registry;

std::unique_ptr<Store> FreshStore() {
    std::string error;
    auto store = Store::Open(":memory:", Store::Durability::Relaxed, &error);
    if (store == nullptr) std::abort();
    Store::Txn txn(*store, Store::Txn::Mode::Write);
    if (!NT_SUCCESS(PrepareHives(txn)) || !NT_SUCCESS(txn.Commit())) std::abort();
    return store;
}

std::string ExportAll(Store& store) {
    std::string all;
    for (const auto& [levels, display] : {std::pair<std::vector<std::u16string>, std::u16string>{{u"MACHINE"}, u"HKEY_LOCAL_MACHINE"},
                                          {{u"USER"}, u"HKEY_USERS"}}) {
        std::string text;
        RegFileError error;
        if (!WriteRegText(store, levels, display, &text, &error)) std::abort();
        all += text;
    }
    return all;
}

// Imports each exported part ("Windows Registry ..." headers start them).
void ImportAll(Store& store, const std::string& all) {
    size_t second = all.find("Windows Registry Editor", 1);
    for (const std::string& part : {all.substr(0, second), all.substr(second)}) {
        std::vector<RegOperation> operations;
        RegFileError error;
        auto bytes = std::span(reinterpret_cast<const uint8_t*>(part.data()), part.size());
        if (!ParseRegText(bytes, &operations, &error) || !ApplyRegOperations(store, operations, &error)) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    std::vector<RegOperation> operations;
    RegFileError error;
    if (!ParseRegText({data, size}, &operations, &error)) return 0;
    auto store = FreshStore();
    std::string before = ExportAll(*store);
    if (!ApplyRegOperations(*store, operations, &error)) {
        // A refused file changes nothing.
        if (ExportAll(*store) != before) std::abort();
        return 0;
    }
    std::string exported = ExportAll(*store);
    auto again = FreshStore();
    ImportAll(*again, exported);
    if (ExportAll(*again) != exported) std::abort();
    return 0;
}
