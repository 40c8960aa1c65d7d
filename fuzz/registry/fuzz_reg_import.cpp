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

// Each hive's export, a file of its own (a key or value may itself contain a
// file's header line, so the parts are never told apart by searching).
std::vector<std::string> ExportAll(Store& store) {
    std::vector<std::string> parts;
    for (const auto& [levels, display] : {std::pair<std::vector<std::u16string>, std::u16string>{{u"MACHINE"}, u"HKEY_LOCAL_MACHINE"},
                                          {{u"USER"}, u"HKEY_USERS"}}) {
        std::string text;
        RegFileError error;
        if (!WriteRegText(store, levels, display, &text, &error)) std::abort();
        parts.push_back(std::move(text));
    }
    return parts;
}

void ImportAll(Store& store, const std::vector<std::string>& parts) {
    for (const std::string& part : parts) {
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
    std::vector<std::string> before = ExportAll(*store);
    if (!ApplyRegOperations(*store, operations, &error)) {
        // A refused file changes nothing.
        if (ExportAll(*store) != before) std::abort();
        return 0;
    }
    std::vector<std::string> exported = ExportAll(*store);
    auto again = FreshStore();
    ImportAll(*again, exported);
    if (ExportAll(*again) != exported) std::abort();
    return 0;
}
