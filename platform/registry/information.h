// The information classes of ZwQueryValueKey, ZwEnumerateValueKey,
// ZwQueryKey and ZwEnumerateKey, written into the caller's buffer with the
// target's layouts and its size protocol:
//  - ResultLength is always the size the whole answer needs;
//  - a buffer shorter than the fixed part gets nothing: STATUS_BUFFER_TOO_SMALL;
//  - a buffer that holds the fixed part but not the rest gets the fixed part
//    and as much of the name as fits, never partial data:
//    STATUS_BUFFER_OVERFLOW.
// The caller's buffer needs no alignment; nothing is written past Length.
#pragma once

#include <string_view>

#include "platform/registry/store.h"
#include "wdm.h"

namespace qk::registry {

NTSTATUS WriteValueInformation(KEY_VALUE_INFORMATION_CLASS informationClass, const ValueRecord& value, void* buffer,
                               ULONG length, ULONG* resultLength);

// `path` is the key's full path (KeyNameInformation); `counts` its subkey and
// value statistics (KeyFullInformation, KeyCachedInformation).
NTSTATUS WriteKeyInformation(KEY_INFORMATION_CLASS informationClass, const KeyRecord& key, const KeyCounts& counts,
                             std::u16string_view path, void* buffer, ULONG length, ULONG* resultLength);

}  // namespace qk::registry
