// The application side of kernel streaming: what a client (DirectShow's
// proxy, the capture tool, tests) does to reach a filter and stream from it.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ks.h"

namespace qk::ks::client {

using Bytes = std::vector<uint8_t>;

NTSTATUS Property(HANDLE handle, const void* request, ULONG requestBytes, void* data, ULONG dataBytes, ULONG* returned);
// A property given by set and id with an optional extension after the KSPROPERTY.
NTSTATUS GetProperty(HANDLE handle, const GUID& set, ULONG id, void* data, ULONG dataBytes, ULONG* returned = nullptr);
NTSTATUS SetProperty(HANDLE handle, const GUID& set, ULONG id, const void* data, ULONG dataBytes);
// A property whose structure starts with its KSPROPERTY and is both the
// request and the data, as the video property sets are used: the header is
// filled in (set, id, flags) and the driver's answer lands in the same bytes.
NTSTATUS StructProperty(HANDLE handle, const GUID& set, ULONG id, ULONG flags, void* structure, ULONG bytes,
                        ULONG* returned = nullptr);

class Pin;

class Filter {
public:
    // Opens a filter through its device interface link ("\??\...#{category}\GLOBAL").
    static NTSTATUS Open(const std::u16string& path, std::unique_ptr<Filter>* filter);
    ~Filter();
    HANDLE Handle() const { return handle_; }

    NTSTATUS PinCount(ULONG* count);
    NTSTATUS DataFlow(ULONG pinId, KSPIN_DATAFLOW* flow);
    NTSTATUS DataRanges(ULONG pinId, std::vector<Bytes>* ranges);
    // Sends one range to the pin's intersection handler and returns the format it chose.
    NTSTATUS Intersect(ULONG pinId, const Bytes& range, Bytes* format);
    NTSTATUS CreatePin(ULONG pinId, const Bytes& format, std::unique_ptr<Pin>* pin);

private:
    explicit Filter(HANDLE handle) : handle_(handle) {}
    HANDLE handle_;
};

class Pin {
public:
    ~Pin();
    HANDLE Handle() const { return handle_; }
    NTSTATUS SetState(KSSTATE state);
    NTSTATUS SetClock(HANDLE clock);

    struct Sample {
        NTSTATUS status = STATUS_PENDING;
        Bytes header;  // the stream header as the driver completed it (with any extended header)
        const KSSTREAM_HEADER& Header() const { return *reinterpret_cast<const KSSTREAM_HEADER*>(header.data()); }
    };
    // Queues one read into `buffer`; `done` runs when it completes (on the
    // completing thread). headerBytes includes any extended header.
    NTSTATUS QueueRead(void* buffer, ULONG bytes, ULONG headerBytes, std::function<void(const Sample&)> done);
    // Queues one write of `bytes` from `buffer` (all of them valid data);
    // `done` runs when the pin has taken them.
    NTSTATUS QueueWrite(const void* buffer, ULONG bytes, std::function<void(const Sample&)> done);
    // Reads one sample and waits for it.
    NTSTATUS Read(void* buffer, ULONG bytes, ULONG headerBytes, Sample* sample);
    // Waits until no read this object queued is still outstanding.
    void WaitIdle();

private:
    friend class Filter;
    explicit Pin(HANDLE handle) : handle_(handle) {}
    HANDLE handle_;
    std::mutex lock_;  // guards outstanding_
    int outstanding_ = 0;
};

}  // namespace qk::ks::client
