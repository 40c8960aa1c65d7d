// Property requests on filters and pins: the minidriver's automation tables
// first, then the class driver's own sets (pin factories, topology,
// connection, stream). Basic-support and default-value queries are answered
// from an item's values lists when it has no support handler.
#include <cstring>
#include <vector>

#include "platform/ks/clock.h"
#include "platform/ks/ks_objects.h"
#include "platform/nt/object.h"
#include "platform/nt/thread_context.h"

namespace qk::ks {
namespace {

constexpr size_t Align8(size_t n) { return (n + 7) & ~size_t{7}; }

struct Call {
    PIRP irp;
    KSPROPERTY* request;  // the whole request, inputBytes long
    ULONG inputBytes;
    uint8_t* data;  // kernel copy of the caller's data buffer
    ULONG dataBytes;
    ULONG_PTR information = 0;
};

// Writes `bytes` to the data buffer following the size protocol: no buffer
// asks the size (overflow), a short one is too small.
NTSTATUS Answer(Call& call, const void* bytes, size_t n) {
    if (call.dataBytes == 0) {
        call.information = n;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (call.dataBytes < n) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(call.data, bytes, n);
    call.information = n;
    return STATUS_SUCCESS;
}

NTSTATUS AnswerUlong(Call& call, ULONG value) { return Answer(call, &value, sizeof value); }

std::vector<uint8_t> MultipleItem(const std::vector<std::vector<uint8_t>>& items) {
    std::vector<uint8_t> out(sizeof(KSMULTIPLE_ITEM));
    for (auto& item : items) {
        size_t at = out.size();
        out.resize(at + Align8(item.size()));
        std::memcpy(out.data() + at, item.data(), item.size());
    }
    KSMULTIPLE_ITEM header{static_cast<ULONG>(out.size()), static_cast<ULONG>(items.size())};
    std::memcpy(out.data(), &header, sizeof header);
    return out;
}

NTSTATUS AnswerMultiple(Call& call, const std::vector<uint8_t>& multiple) {
    // A buffer of just the header gets the header, so callers can size the rest.
    if (call.dataBytes == sizeof(KSMULTIPLE_ITEM) && multiple.size() > sizeof(KSMULTIPLE_ITEM)) {
        std::memcpy(call.data, multiple.data(), sizeof(KSMULTIPLE_ITEM));
        call.information = sizeof(KSMULTIPLE_ITEM);
        return STATUS_SUCCESS;
    }
    return Answer(call, multiple.data(), multiple.size());
}

const KSPIN_DESCRIPTOR_EX* PinDescriptor(Filter* filter, ULONG id) {
    const KSFILTER_DESCRIPTOR* fd = filter->ks.Descriptor;
    if (id >= fd->PinDescriptorsCount) return nullptr;
    return reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(reinterpret_cast<const uint8_t*>(fd->PinDescriptors) +
                                                        size_t{id} * fd->PinDescriptorSize);
}

NTSTATUS PinFactoryProperty(Call& call, Filter* filter) {
    if (!(call.request->Flags & KSPROPERTY_TYPE_GET)) return STATUS_INVALID_DEVICE_REQUEST;
    if (call.request->Id == KSPROPERTY_PIN_CTYPES) return AnswerUlong(call, filter->ks.Descriptor->PinDescriptorsCount);
    if (call.inputBytes < sizeof(KSP_PIN)) return STATUS_INVALID_BUFFER_SIZE;
    auto* pinRequest = reinterpret_cast<KSP_PIN*>(call.request);
    const KSPIN_DESCRIPTOR_EX* pd = PinDescriptor(filter, pinRequest->PinId);
    if (pd == nullptr) return STATUS_INVALID_PARAMETER;
    const KSPIN_DESCRIPTOR& d = pd->PinDescriptor;
    switch (call.request->Id) {
        case KSPROPERTY_PIN_DATAFLOW: return AnswerUlong(call, d.DataFlow);
        case KSPROPERTY_PIN_COMMUNICATION: return AnswerUlong(call, d.Communication);
        case KSPROPERTY_PIN_NECESSARYINSTANCES: return AnswerUlong(call, pd->InstancesNecessary);
        case KSPROPERTY_PIN_CINSTANCES: {
            KSPIN_CINSTANCES c{pd->InstancesPossible, static_cast<ULONG>(filter->pins[pinRequest->PinId].size())};
            return Answer(call, &c, sizeof c);
        }
        case KSPROPERTY_PIN_CATEGORY:
            if (d.Category == nullptr) return STATUS_NOT_FOUND;
            return Answer(call, d.Category, sizeof(GUID));
        case KSPROPERTY_PIN_NAME: {
            std::u16string name = d.Name || d.Category ? u"Capture" : u"Pin";
            name.push_back(0);
            return Answer(call, name.data(), name.size() * 2);
        }
        case KSPROPERTY_PIN_DATARANGES: {
            std::vector<std::vector<uint8_t>> ranges;
            for (ULONG i = 0; i < d.DataRangesCount; ++i) {
                auto* r = reinterpret_cast<const uint8_t*>(d.DataRanges[i]);
                ranges.emplace_back(r, r + d.DataRanges[i]->FormatSize);
            }
            return AnswerMultiple(call, MultipleItem(ranges));
        }
        case KSPROPERTY_PIN_INTERFACES:
        case KSPROPERTY_PIN_MEDIUMS: {
            bool interfaces = call.request->Id == KSPROPERTY_PIN_INTERFACES;
            ULONG count = interfaces ? d.InterfacesCount : d.MediumsCount;
            const KSIDENTIFIER* list = interfaces ? d.Interfaces : d.Mediums;
            std::vector<std::vector<uint8_t>> items;
            if (count == 0) {
                // No list means the standard interface (streaming) or medium (device I/O).
                KSIDENTIFIER standard{};
                standard.Set = interfaces ? KSINTERFACESETID_Standard : KSMEDIUMSETID_Standard;
                auto* b = reinterpret_cast<const uint8_t*>(&standard);
                items.emplace_back(b, b + sizeof standard);
            }
            for (ULONG i = 0; i < count; ++i) {
                auto* b = reinterpret_cast<const uint8_t*>(&list[i]);
                items.emplace_back(b, b + sizeof(KSIDENTIFIER));
            }
            return AnswerMultiple(call, MultipleItem(items));
        }
        case KSPROPERTY_PIN_DATAINTERSECTION: {
            // KSP_PIN, then a KSMULTIPLE_ITEM of the caller's ranges.
            if (call.inputBytes < sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM)) return STATUS_INVALID_BUFFER_SIZE;
            auto* base = reinterpret_cast<uint8_t*>(call.request);
            KSMULTIPLE_ITEM multiple;
            std::memcpy(&multiple, base + sizeof(KSP_PIN), sizeof multiple);
            size_t end = sizeof(KSP_PIN) + multiple.Size;
            if (multiple.Size < sizeof(KSMULTIPLE_ITEM) || end > call.inputBytes) return STATUS_INVALID_BUFFER_SIZE;
            size_t offset = sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM);
            for (ULONG n = 0; n < multiple.Count; ++n) {
                if (end - offset < sizeof(KSDATARANGE)) return STATUS_INVALID_BUFFER_SIZE;
                auto* callerRange = reinterpret_cast<PKSDATARANGE>(base + offset);
                if (callerRange->FormatSize < sizeof(KSDATARANGE) || callerRange->FormatSize > end - offset) {
                    return STATUS_INVALID_BUFFER_SIZE;
                }
                for (ULONG i = 0; i < d.DataRangesCount; ++i) {
                    PKSDATARANGE ours = d.DataRanges[i];
                    if (!FormatInRange(callerRange, ours) && !FormatInRange(ours, callerRange)) continue;
                    ULONG size = 0;
                    NTSTATUS status;
                    if (pd->IntersectHandler) {
                        status = pd->IntersectHandler(&filter->ks, call.irp, pinRequest, callerRange, ours,
                                                      call.dataBytes, call.dataBytes ? call.data : nullptr, &size);
                    } else {
                        size = ours->FormatSize;
                        status = call.dataBytes == 0 ? STATUS_BUFFER_OVERFLOW
                                 : call.dataBytes < size ? STATUS_BUFFER_TOO_SMALL
                                                         : (std::memcpy(call.data, ours, size), STATUS_SUCCESS);
                    }
                    if (status == STATUS_NO_MATCH) continue;
                    call.information = size;
                    return status;
                }
                offset += Align8(callerRange->FormatSize);
            }
            return STATUS_NO_MATCH;
        }
        default:
            return STATUS_NOT_FOUND;
    }
}

NTSTATUS TopologyProperty(Call& call, Filter* filter) {
    if (call.request->Id != KSPROPERTY_TOPOLOGY_CATEGORIES || !(call.request->Flags & KSPROPERTY_TYPE_GET)) {
        return STATUS_NOT_FOUND;
    }
    std::vector<std::vector<uint8_t>> items;
    const KSFILTER_DESCRIPTOR* fd = filter->ks.Descriptor;
    for (ULONG i = 0; i < fd->CategoriesCount; ++i) {
        auto* b = reinterpret_cast<const uint8_t*>(&fd->Categories[i]);
        items.emplace_back(b, b + sizeof(GUID));
    }
    return AnswerMultiple(call, MultipleItem(items));
}

NTSTATUS ConnectionProperty(Call& call, Pin* pin) {
    bool get = call.request->Flags & KSPROPERTY_TYPE_GET;
    bool set = call.request->Flags & KSPROPERTY_TYPE_SET;
    switch (call.request->Id) {
        case KSPROPERTY_CONNECTION_STATE:
            if (get) return AnswerUlong(call, pin->ks.ClientState);
            if (set) {
                if (call.dataBytes < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
                ULONG state;
                std::memcpy(&state, call.data, sizeof state);
                return SetPinState(pin, static_cast<KSSTATE>(state));
            }
            break;
        case KSPROPERTY_CONNECTION_DATAFORMAT:
            if (get) return Answer(call, pin->ks.ConnectionFormat, pin->ks.ConnectionFormat->FormatSize);
            if (set) return SetPinFormat(pin, reinterpret_cast<const KSDATAFORMAT*>(call.data), call.dataBytes);
            break;
        case KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX: {
            const KSALLOCATOR_FRAMING_EX* framing = pin->ks.Descriptor->AllocatorFraming;
            if (!get || framing == nullptr) return STATUS_NOT_FOUND;
            size_t n = sizeof(KSALLOCATOR_FRAMING_EX) +
                       (framing->CountItems > 1 ? framing->CountItems - 1 : 0) * sizeof(KS_FRAMING_ITEM);
            return Answer(call, framing, n);
        }
        default:
            break;
    }
    return STATUS_NOT_FOUND;
}

NTSTATUS StreamProperty(Call& call, Pin* pin) {
    if (call.request->Id != KSPROPERTY_STREAM_MASTERCLOCK) return STATUS_NOT_FOUND;
    if (call.request->Flags & KSPROPERTY_TYPE_SET) {
        if (call.dataBytes < sizeof(HANDLE)) return STATUS_BUFFER_TOO_SMALL;
        HANDLE handle;
        std::memcpy(&handle, call.data, sizeof handle);
        PIKSREFERENCECLOCK clock = nullptr;
        if (handle != nullptr) {
            clock = ClockFromHandle(handle);
            if (clock == nullptr) return STATUS_INVALID_HANDLE;
        }
        if (pin->clock != nullptr) pin->clock->Release();
        pin->clock = clock;
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_DEVICE_REQUEST;
}

// The description of a basic-support or default-values query.
NTSTATUS Describe(Call& call, const KSPROPERTY_ITEM* item, bool defaultsOnly) {
    ULONG access = KSPROPERTY_TYPE_BASICSUPPORT | (item->GetPropertyHandler ? KSPROPERTY_TYPE_GET : 0) |
                   (item->SetPropertyHandler ? KSPROPERTY_TYPE_SET : 0);
    if (!defaultsOnly && call.dataBytes == sizeof(ULONG)) {
        std::memcpy(call.data, &access, sizeof access);
        call.information = sizeof access;
        return STATUS_SUCCESS;
    }
    std::vector<uint8_t> lists;
    ULONG count = 0;
    if (item->Values != nullptr) {
        for (ULONG i = 0; i < item->Values->MembersListCount; ++i) {
            const KSPROPERTY_MEMBERSLIST& list = item->Values->MembersList[i];
            if (defaultsOnly && !(list.MembersHeader.Flags & KSPROPERTY_MEMBER_FLAG_DEFAULT)) continue;
            size_t at = lists.size();
            size_t members = size_t{list.MembersHeader.MembersSize} * list.MembersHeader.MembersCount;
            lists.resize(at + sizeof(KSPROPERTY_MEMBERSHEADER) + members);
            std::memcpy(lists.data() + at, &list.MembersHeader, sizeof(KSPROPERTY_MEMBERSHEADER));
            if (members) std::memcpy(lists.data() + at + sizeof(KSPROPERTY_MEMBERSHEADER), list.Members, members);
            ++count;
        }
    }
    KSPROPERTY_DESCRIPTION description{};
    description.AccessFlags = access;
    description.DescriptionSize = static_cast<ULONG>(sizeof description + lists.size());
    if (item->Values != nullptr) description.PropTypeSet = item->Values->PropTypeSet;
    else description.PropTypeSet.Set = KSPROPTYPESETID_General;
    description.MembersListCount = count;
    if (call.dataBytes == 0) {
        call.information = description.DescriptionSize;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (call.dataBytes < sizeof description) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(call.data, &description, sizeof description);
    call.information = sizeof description;
    if (call.dataBytes >= description.DescriptionSize) {
        if (!lists.empty()) std::memcpy(call.data + sizeof description, lists.data(), lists.size());
        call.information = description.DescriptionSize;
    }
    return STATUS_SUCCESS;
}

// Looks the request up in an automation table; *handled tells whether it found the set.
NTSTATUS FromTable(Call& call, const KSAUTOMATION_TABLE* table, bool* setFound) {
    *setFound = false;
    if (table == nullptr) return STATUS_PROPSET_NOT_FOUND;
    for (ULONG s = 0; s < table->PropertySetsCount; ++s) {
        const KSPROPERTY_SET& set = table->PropertySets[s];
        if (set.Set == nullptr || !IsEqualGUID(*set.Set, call.request->Set)) continue;
        *setFound = true;
        size_t itemSize = table->PropertyItemSize ? table->PropertyItemSize : sizeof(KSPROPERTY_ITEM);
        for (ULONG i = 0; i < set.PropertiesCount; ++i) {
            auto* item = reinterpret_cast<const KSPROPERTY_ITEM*>(reinterpret_cast<const uint8_t*>(set.PropertyItem) +
                                                                 i * itemSize);
            if (item->PropertyId != call.request->Id) continue;
            ULONG flags = call.request->Flags & ~KSPROPERTY_TYPE_TOPOLOGY;
            if (flags & (KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_DEFAULTVALUES)) {
                if (item->SupportHandler) {
                    call.information = 0;
                    NTSTATUS status = item->SupportHandler(call.irp, call.request, call.data);
                    call.information = call.irp->IoStatus.Information;
                    return status;
                }
                return Describe(call, item, (flags & KSPROPERTY_TYPE_DEFAULTVALUES) != 0);
            }
            bool get = flags == KSPROPERTY_TYPE_GET;
            bool set = flags == KSPROPERTY_TYPE_SET;
            PFNKSHANDLER handler = get ? item->GetPropertyHandler : set ? item->SetPropertyHandler : nullptr;
            if (handler == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
            if (call.inputBytes < item->MinProperty) return STATUS_INVALID_BUFFER_SIZE;
            if (item->MinData > 0 && call.dataBytes == 0 && get) {
                call.information = item->MinData;
                return STATUS_BUFFER_OVERFLOW;
            }
            if (call.dataBytes < item->MinData) return STATUS_BUFFER_TOO_SMALL;
            call.irp->IoStatus.Information = get ? item->MinData : 0;
            NTSTATUS status = handler(call.irp, call.request, call.data);
            call.information = call.irp->IoStatus.Information;
            return status;
        }
        return STATUS_NOT_FOUND;
    }
    return STATUS_PROPSET_NOT_FOUND;
}

}  // namespace

NTSTATUS DispatchProperty(PIRP irp, Filter* filter, Pin* pin) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG inputBytes = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG dataBytes = stack->Parameters.DeviceIoControl.OutputBufferLength;
    void* input = stack->Parameters.DeviceIoControl.Type3InputBuffer;
    void* output = irp->UserBuffer;
    auto finish = [&](NTSTATUS status, ULONG_PTR information) {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = information;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    };
    if (input == nullptr || inputBytes < sizeof(KSPROPERTY)) return finish(STATUS_INVALID_BUFFER_SIZE, 0);
    if (output == nullptr) dataBytes = 0;
    // Work on kernel copies so the handlers see stable buffers of the stated sizes.
    std::vector<uint8_t> request(inputBytes), data(dataBytes);
    std::memcpy(request.data(), input, inputBytes);
    if (dataBytes) std::memcpy(data.data(), output, dataBytes);
    Call call{irp, reinterpret_cast<KSPROPERTY*>(request.data()), inputBytes, data.data(), dataBytes};
    bool setFound = false;
    const KSAUTOMATION_TABLE* table = pin ? pin->ks.Descriptor->AutomationTable : filter->ks.Descriptor->AutomationTable;
    NTSTATUS status;
    {
        qk::nt::DriverScope scope(KsGetDevice(pin ? static_cast<PVOID>(&pin->ks) : static_cast<PVOID>(&filter->ks))
                                      ->FunctionalDeviceObject->DriverObject);
        status = FromTable(call, table, &setFound);
    }
    if (!setFound) {
        const GUID& set = call.request->Set;
        if (pin == nullptr && IsEqualGUID(set, KSPROPSETID_Pin)) status = PinFactoryProperty(call, filter);
        else if (pin == nullptr && IsEqualGUID(set, KSPROPSETID_Topology)) status = TopologyProperty(call, filter);
        else if (pin != nullptr && IsEqualGUID(set, KSPROPSETID_Connection)) status = ConnectionProperty(call, pin);
        else if (pin != nullptr && IsEqualGUID(set, KSPROPSETID_Stream)) status = StreamProperty(call, pin);
        else status = STATUS_PROPSET_NOT_FOUND;
    }
    ULONG_PTR information = call.information;
    // Success and warnings (a size answer, a busy control's value) reach the
    // caller's buffer; errors leave it as it was.
    if (!NT_ERROR(status)) {
        size_t copy = information < dataBytes ? information : dataBytes;
        if (copy) std::memcpy(output, data.data(), copy);
    }
    return finish(status, information);
}

}  // namespace qk::ks
