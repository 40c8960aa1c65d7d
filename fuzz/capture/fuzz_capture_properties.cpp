// Hostile property requests to the capture filter while a stream runs: any
// set of the filter's automation table (and others), any id, flags, request
// and data lengths and contents, several to an input. Each request gets a
// status; nothing is read or written outside the buffers the caller gave, and
// the stream keeps running for the next input.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <unistd.h>

#include "capture/k0340_props.h"
#include "fuzz/common/fuzz_camera.h"
#include "platform/ks/client.h"
#include "platform/ks/clock.h"

namespace {

const GUID* const kSets[] = {
    &PROPSETID_VIDCAP_VIDEOPROCAMP, &PROPSETID_VIDCAP_CAMERACONTROL, &PROPSETID_VIDCAP_VIDEOCONTROL,
    &PROPSETID_VIDCAP_VIDEOCOMPRESSION, &PROPSETID_K0340_CAMERA, &PROPSETID_K0340_TRACKING,
    &PROPSETID_K0340_FOCUS, &KSPROPSETID_Pin, &KSPROPSETID_Topology, &PROPSETID_VIDCAP_DROPPEDFRAMES,
};

// A camera plugged into a booted machine, its filter open and a YUY2 stream
// running with reads kept queued by a feeder thread.
struct World {
    std::shared_ptr<qk::sim::Camera> camera;
    std::unique_ptr<qk::ks::client::Filter> filter;
    std::unique_ptr<qk::ks::client::Pin> pin;
    std::vector<std::vector<uint8_t>> buffers;
    std::mutex lock;  // guards returned
    std::condition_variable changed;
    std::vector<int> returned;
    std::thread feeder;

    void Queue(int slot) {
        pin->QueueRead(buffers[slot].data(), static_cast<ULONG>(buffers[slot].size()),
                       sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO), [this, slot](const qk::ks::client::Pin::Sample&) {
                           std::lock_guard guard(lock);
                           returned.push_back(slot);
                           changed.notify_all();
                       });
    }
};

World& TheWorld() {
    static World* world = [] {
        auto* w = new World;
        qk::fuzzing::BootMachine("properties");
        w->camera = qk::fuzzing::InstallAndPlugCamera();
        auto links = qk::nt::pnp::Interfaces(KSCATEGORY_CAPTURE);
        if (links.empty() || !NT_SUCCESS(qk::ks::client::Filter::Open(links[0].symbolicLink, &w->filter))) abort();
        std::vector<qk::ks::client::Bytes> ranges;
        w->filter->DataRanges(0, &ranges);
        qk::ks::client::Bytes format;
        for (auto& r : ranges) {
            auto* v = reinterpret_cast<const KS_DATARANGE_VIDEO*>(r.data());
            if (r.size() >= sizeof *v && IsEqualGUID(v->DataRange.SubFormat, MEDIASUBTYPE_YUY2) &&
                v->VideoInfoHeader.bmiHeader.biWidth == 160 && NT_SUCCESS(w->filter->Intersect(0, r, &format))) {
                break;
            }
        }
        if (format.empty() || !NT_SUCCESS(w->filter->CreatePin(0, format, &w->pin))) abort();
        w->pin->SetClock(qk::ks::CreateClock());
        w->buffers.assign(4, std::vector<uint8_t>(160 * 120 * 2));
        if (!NT_SUCCESS(w->pin->SetState(KSSTATE_RUN))) abort();
        for (int i = 0; i < 4; ++i) w->Queue(i);
        w->feeder = std::thread([w] {
            std::unique_lock held(w->lock);
            for (;;) {
                w->changed.wait(held, [w] { return !w->returned.empty(); });
                int slot = w->returned.back();
                w->returned.pop_back();
                held.unlock();
                w->Queue(slot);
                held.lock();
            }
        });
        w->feeder.detach();
        return w;
    }();
    return *world;
}

// Reads a little-endian value from the input, or zero past its end.
struct Input {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    uint32_t Take(size_t bytes) {
        uint32_t v = 0;
        for (size_t i = 0; i < bytes; ++i) v |= uint32_t{at < size ? data[at++] : uint8_t{0}} << (8 * i);
        return v;
    }
    bool Done() const { return at >= size; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    World& w = TheWorld();
    Input in{data, size};
    for (int request = 0; request < 4 && !in.Done(); ++request) {
        const GUID& set = *kSets[in.Take(1) % std::size(kSets)];
        ULONG id = in.Take(2);
        static const ULONG kFlags[] = {KSPROPERTY_TYPE_GET, KSPROPERTY_TYPE_SET, KSPROPERTY_TYPE_BASICSUPPORT,
                                       KSPROPERTY_TYPE_DEFAULTVALUES, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET};
        uint32_t pick = in.Take(1);
        ULONG flags = pick < 250 ? kFlags[pick % std::size(kFlags)] : in.Take(4);
        size_t requestBytes = sizeof(KSPROPERTY) + in.Take(1) % 72;
        size_t dataBytes = in.Take(2) % 300;
        // Exact-size buffers: a read or write past them is a fault the sanitizer sees.
        std::vector<uint8_t> requestBuffer(requestBytes), dataBuffer(dataBytes);
        for (auto& b : requestBuffer) b = static_cast<uint8_t>(in.Take(1));
        for (auto& b : dataBuffer) b = static_cast<uint8_t>(in.Take(1));
        KSPROPERTY header{};
        header.Set = set;
        header.Id = id;
        header.Flags = flags;
        std::memcpy(requestBuffer.data(), &header, sizeof header);
        // The still capture writes to the address and length the caller names:
        // a caller that lies about its own buffer corrupts only itself, so the
        // harness names a buffer of its own with an honest length, or nothing mapped.
        if (IsEqualGUID(set, PROPSETID_K0340_CAMERA) && id == KSPROPERTY_K0340_STILL_CAPTURE && dataBytes >= 44) {
            static std::vector<uint8_t> still(160 * 120 * 3);
            bool mapped = in.Take(1) & 1;
            uint64_t address = mapped ? reinterpret_cast<uint64_t>(still.data()) : uint64_t{0x1000};
            ULONG length;
            std::memcpy(&length, dataBuffer.data() + 32, sizeof length);
            if (mapped && length > still.size()) length = static_cast<ULONG>(still.size());
            std::memcpy(dataBuffer.data() + 32, &length, sizeof length);
            std::memcpy(dataBuffer.data() + 36, &address, sizeof address);
        }
        ULONG returned = 0;
        qk::ks::client::Property(w.filter->Handle(), requestBuffer.data(), static_cast<ULONG>(requestBytes),
                                 dataBytes ? dataBuffer.data() : nullptr, static_cast<ULONG>(dataBytes), &returned);
    }
    return 0;
}
