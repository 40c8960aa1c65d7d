// The objects of the kernel-streaming class driver: device, filter factory,
// filter and pin, each with an object bag. KSDEVICE, KSFILTER and KSPIN sit at
// the same offset after a common header so that a pointer to any of them
// leads back to its object (KsGetDevice takes any of the three).
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ks.h"

namespace qk::ks {

enum class Kind : uint32_t { Device = 0x4B534456, Filter = 0x4B534649, Pin = 0x4B535049 };

struct alignas(16) Header {
    Kind kind;
    uint32_t reserved[3];
};

// Items freed with their owner: each is released with its free routine (or
// ExFreePool) when the bag goes.
class ObjectBag {
public:
    ~ObjectBag() { FreeAll(); }
    void Add(PVOID item, PFNKSFREE free);
    // Removes one reference to `item`; returns the references left.
    ULONG Remove(PVOID item, bool freeIt);
    void FreeAll();

private:
    std::mutex lock_;  // guards items_
    std::vector<std::pair<PVOID, PFNKSFREE>> items_;
};

struct Device;
struct Filter;
struct Pin;

struct FilterFactory {
    Device* device = nullptr;
    const KSFILTER_DESCRIPTOR* descriptor = nullptr;
    std::u16string reference;
    std::vector<UNICODE_STRING> interfaces;  // links registered for the categories
    bool interfacesEnabled = false;
};

struct Device {
    Header header{Kind::Device, {}};
    KSDEVICE ks{};
    ObjectBag bag;
    KMUTEX mutex;  // the device mutex (KsAcquireDevice); recursive like the target's
    std::vector<std::unique_ptr<FilterFactory>> factories;
    bool surpriseRemoved = false;
    bool removed = false;
};

struct Filter {
    Header header{Kind::Filter, {}};
    KSFILTER ks{};
    ObjectBag bag;
    FilterFactory* factory = nullptr;
    std::vector<std::vector<Pin*>> pins;  // by pin id
};

// One buffer of a read or write request (one stream header).
struct Frame {
    PIRP irp;
    KSSTREAM_HEADER* header;  // in the request's kernel copy of the headers
    ULONG consumed = 0;
    NTSTATUS status = STATUS_SUCCESS;
    bool done = false;
};

// A read or write request: its headers in kernel memory until completion.
struct Request {
    PIRP irp;
    std::vector<uint8_t> headers;  // copy of the caller's stream headers
    void* userHeaders;
    ULONG frames = 0;
    ULONG framesDone = 0;
    NTSTATUS status = STATUS_SUCCESS;
};

struct Pin {
    Header header{Kind::Pin, {}};
    KSPIN ks{};
    ObjectBag bag;
    Filter* filter = nullptr;
    PFILE_OBJECT file = nullptr;
    KSSTREAM_POINTER leading{};
    bool leadingLocked = false;
    bool leadingGiven = false;  // the pointer has been handed to the minidriver
    KSPIN_LOCK queueLock = 0;   // guards frames, requests, leading edge position
    std::deque<Frame> frames;   // frames not yet completed, oldest first
    size_t leadingIndex = 0;    // index in frames of the leading edge
    std::vector<std::unique_ptr<Request>> requests;
    // Processing: one runner at a time; a request for more while it runs
    // makes it go round once more.
    std::mutex processLock;  // guards processing and again
    bool processing = false;
    bool again = false;
    PIKSREFERENCECLOCK clock = nullptr;
};

template <typename T>
Header* HeaderOf(T* ks) {
    return reinterpret_cast<Header*>(reinterpret_cast<uint8_t*>(ks) - sizeof(Header));
}
static_assert(offsetof(Device, ks) == sizeof(Header));
static_assert(offsetof(Filter, ks) == sizeof(Header));
static_assert(offsetof(Pin, ks) == sizeof(Header));

inline Device* DeviceOf(PKSDEVICE d) { return reinterpret_cast<Device*>(HeaderOf(d)); }
inline Filter* FilterOf(PKSFILTER f) { return reinterpret_cast<Filter*>(HeaderOf(f)); }
inline Pin* PinOf(PKSPIN p) { return reinterpret_cast<Pin*>(HeaderOf(p)); }

// Property requests on a filter or pin (property.cpp).
NTSTATUS DispatchProperty(PIRP irp, Filter* filter, Pin* pin);
// Pin life cycle and streaming (pin.cpp).
NTSTATUS CreatePin(PIRP irp, Filter* filter);
NTSTATUS ClosePin(PIRP irp, Pin* pin);
NTSTATUS SetPinState(Pin* pin, KSSTATE target);
NTSTATUS SetPinFormat(Pin* pin, const KSDATAFORMAT* format, ULONG bytes);
NTSTATUS QueueStream(PIRP irp, Pin* pin, bool write);
// Whether a data format falls in a data range by its three GUIDs (wildcards allowed).
bool FormatInRange(const KSDATAFORMAT* format, const KSDATARANGE* range);

}  // namespace qk::ks
