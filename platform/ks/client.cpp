#include "platform/ks/client.h"

#include <cstring>

#include "platform/ks/create_name.h"
#include "platform/nt/io_manager.h"
#include "platform/nt/kernel.h"

namespace qk::ks::client {

NTSTATUS Property(HANDLE handle, const void* request, ULONG requestBytes, void* data, ULONG dataBytes, ULONG* returned) {
    ULONG got = 0;
    NTSTATUS status = qk::nt::io::DeviceControl(handle, IOCTL_KS_PROPERTY, request, requestBytes, data, dataBytes, &got);
    if (returned) *returned = got;
    return status;
}

NTSTATUS GetProperty(HANDLE handle, const GUID& set, ULONG id, void* data, ULONG dataBytes, ULONG* returned) {
    KSPROPERTY p{};
    p.Set = set;
    p.Id = id;
    p.Flags = KSPROPERTY_TYPE_GET;
    return Property(handle, &p, sizeof p, data, dataBytes, returned);
}

NTSTATUS SetProperty(HANDLE handle, const GUID& set, ULONG id, const void* data, ULONG dataBytes) {
    KSPROPERTY p{};
    p.Set = set;
    p.Id = id;
    p.Flags = KSPROPERTY_TYPE_SET;
    return Property(handle, &p, sizeof p, const_cast<void*>(data), dataBytes, nullptr);
}

NTSTATUS StructProperty(HANDLE handle, const GUID& set, ULONG id, ULONG flags, void* structure, ULONG bytes,
                        ULONG* returned) {
    if (structure == nullptr || bytes < sizeof(KSPROPERTY)) return STATUS_INVALID_PARAMETER;
    KSPROPERTY p{};
    p.Set = set;
    p.Id = id;
    p.Flags = flags;
    std::memcpy(structure, &p, sizeof p);
    // The request is a copy: the data buffer may change while the driver reads the request.
    std::vector<uint8_t> request(static_cast<const uint8_t*>(structure), static_cast<const uint8_t*>(structure) + bytes);
    return Property(handle, request.data(), bytes, structure, bytes, returned);
}

NTSTATUS Filter::Open(const std::u16string& path, std::unique_ptr<Filter>* filter) {
    HANDLE handle;
    NTSTATUS status = qk::nt::io::OpenDevice(path, GENERIC_READ | GENERIC_WRITE, &handle);
    if (!NT_SUCCESS(status)) return status;
    filter->reset(new Filter(handle));
    return STATUS_SUCCESS;
}

Filter::~Filter() { ZwClose(handle_); }

NTSTATUS Filter::PinCount(ULONG* count) {
    return GetProperty(handle_, KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, count, sizeof *count);
}

NTSTATUS Filter::DataFlow(ULONG pinId, KSPIN_DATAFLOW* flow) {
    KSP_PIN p{};
    p.Property.Set = KSPROPSETID_Pin;
    p.Property.Id = KSPROPERTY_PIN_DATAFLOW;
    p.Property.Flags = KSPROPERTY_TYPE_GET;
    p.PinId = pinId;
    ULONG value = 0;
    NTSTATUS status = Property(handle_, &p, sizeof p, &value, sizeof value, nullptr);
    *flow = static_cast<KSPIN_DATAFLOW>(value);
    return status;
}

NTSTATUS Filter::DataRanges(ULONG pinId, std::vector<Bytes>* ranges) {
    KSP_PIN p{};
    p.Property.Set = KSPROPSETID_Pin;
    p.Property.Id = KSPROPERTY_PIN_DATARANGES;
    p.Property.Flags = KSPROPERTY_TYPE_GET;
    p.PinId = pinId;
    ULONG size = 0;
    NTSTATUS status = Property(handle_, &p, sizeof p, nullptr, 0, &size);
    if (status != STATUS_BUFFER_OVERFLOW) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    Bytes buffer(size);
    status = Property(handle_, &p, sizeof p, buffer.data(), size, &size);
    if (!NT_SUCCESS(status)) return status;
    KSMULTIPLE_ITEM header;
    std::memcpy(&header, buffer.data(), sizeof header);
    ranges->clear();
    size_t offset = sizeof header;
    for (ULONG i = 0; i < header.Count && offset + sizeof(KSDATARANGE) <= buffer.size(); ++i) {
        ULONG rangeSize = reinterpret_cast<const KSDATARANGE*>(buffer.data() + offset)->FormatSize;
        if (rangeSize < sizeof(KSDATARANGE) || offset + rangeSize > buffer.size()) return STATUS_INVALID_BUFFER_SIZE;
        ranges->emplace_back(buffer.begin() + static_cast<std::ptrdiff_t>(offset),
                             buffer.begin() + static_cast<std::ptrdiff_t>(offset + rangeSize));
        offset += (rangeSize + 7) & ~7u;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Filter::Intersect(ULONG pinId, const Bytes& range, Bytes* format) {
    Bytes request(sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM) + ((range.size() + 7) & ~size_t{7}));
    KSP_PIN p{};
    p.Property.Set = KSPROPSETID_Pin;
    p.Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
    p.Property.Flags = KSPROPERTY_TYPE_GET;
    p.PinId = pinId;
    KSMULTIPLE_ITEM multiple{static_cast<ULONG>(request.size() - sizeof(KSP_PIN)), 1};
    std::memcpy(request.data(), &p, sizeof p);
    std::memcpy(request.data() + sizeof p, &multiple, sizeof multiple);
    std::memcpy(request.data() + sizeof p + sizeof multiple, range.data(), range.size());
    ULONG size = 0;
    NTSTATUS status = Property(handle_, request.data(), static_cast<ULONG>(request.size()), nullptr, 0, &size);
    if (status != STATUS_BUFFER_OVERFLOW) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    format->assign(size, 0);
    return Property(handle_, request.data(), static_cast<ULONG>(request.size()), format->data(), size, nullptr);
}

NTSTATUS Filter::CreatePin(ULONG pinId, const Bytes& format, std::unique_ptr<Pin>* pin) {
    KSPIN_CONNECT connect{};
    connect.Interface.Set = KSINTERFACESETID_Standard;
    connect.Medium.Set = KSMEDIUMSETID_Standard;
    connect.PinId = pinId;
    connect.Priority.PriorityClass = KSPRIORITY_NORMAL;
    connect.Priority.PrioritySubClass = 1;
    Bytes block(sizeof connect + format.size());
    std::memcpy(block.data(), &connect, sizeof connect);
    std::memcpy(block.data() + sizeof connect, format.data(), format.size());
    Bytes name = BuildPinCreateName(block);
    HANDLE handle;
    NTSTATUS status = qk::nt::io::OpenDevice(u"", GENERIC_READ | GENERIC_WRITE, &handle,
                                             qk::nt::io::FileObjectOfHandle(handle_), name.data(), name.size());
    if (!NT_SUCCESS(status)) return status;
    pin->reset(new Pin(handle));
    return STATUS_SUCCESS;
}

Pin::~Pin() {
    ZwClose(handle_);
    WaitIdle();
}

NTSTATUS Pin::SetState(KSSTATE state) {
    ULONG value = state;
    return SetProperty(handle_, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &value, sizeof value);
}

NTSTATUS Pin::SetClock(HANDLE clock) {
    return SetProperty(handle_, KSPROPSETID_Stream, KSPROPERTY_STREAM_MASTERCLOCK, &clock, sizeof clock);
}

NTSTATUS Pin::QueueRead(void* buffer, ULONG bytes, ULONG headerBytes, std::function<void(const Sample&)> done) {
    if (headerBytes < sizeof(KSSTREAM_HEADER)) headerBytes = sizeof(KSSTREAM_HEADER);
    auto header = std::make_shared<Bytes>(headerBytes, 0);
    auto* h = reinterpret_cast<KSSTREAM_HEADER*>(header->data());
    h->Size = headerBytes;
    h->Data = buffer;
    h->FrameExtent = bytes;
    {
        std::lock_guard guard(lock_);
        ++outstanding_;
    }
    NTSTATUS status = qk::nt::io::DeviceControlAsync(
        handle_, IOCTL_KS_READ_STREAM, nullptr, 0, header->data(), headerBytes,
        [this, header, done](NTSTATUS final, ULONG_PTR) {
            Sample sample;
            sample.status = final;
            sample.header = *header;
            done(sample);
            std::lock_guard guard(lock_);
            --outstanding_;
        });
    return status;
}

NTSTATUS Pin::QueueWrite(const void* buffer, ULONG bytes, std::function<void(const Sample&)> done) {
    auto header = std::make_shared<Bytes>(sizeof(KSSTREAM_HEADER), 0);
    auto* h = reinterpret_cast<KSSTREAM_HEADER*>(header->data());
    h->Size = sizeof(KSSTREAM_HEADER);
    h->Data = const_cast<void*>(buffer);
    h->FrameExtent = bytes;
    h->DataUsed = bytes;
    {
        std::lock_guard guard(lock_);
        ++outstanding_;
    }
    return qk::nt::io::DeviceControlAsync(handle_, IOCTL_KS_WRITE_STREAM, nullptr, 0, header->data(),
                                          sizeof(KSSTREAM_HEADER), [this, header, done](NTSTATUS final, ULONG_PTR) {
                                              Sample sample;
                                              sample.status = final;
                                              sample.header = *header;
                                              done(sample);
                                              std::lock_guard guard(lock_);
                                              --outstanding_;
                                          });
}

NTSTATUS Pin::Read(void* buffer, ULONG bytes, ULONG headerBytes, Sample* sample) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    QueueRead(buffer, bytes, headerBytes, [&](const Sample& s) {
        *sample = s;
        KeSetEvent(&done, 0, FALSE);
    });
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return sample->status;
}

void Pin::WaitIdle() {
    while (true) {
        {
            std::lock_guard guard(lock_);
            if (outstanding_ == 0) return;
        }
        LARGE_INTEGER ms;
        ms.QuadPart = -10000;
        KeDelayExecutionThread(KernelMode, FALSE, &ms);
    }
}

}  // namespace qk::ks::client
