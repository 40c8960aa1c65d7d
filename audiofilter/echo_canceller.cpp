#include "audiofilter/echo_canceller.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "audiofilter/filter.h"

namespace k0340aud {

namespace {

constexpr KPRIORITY kCancellerPriority = 12;

int16_t ReadSample(const UCHAR* p, ULONG sampleBytes) {
    if (sampleBytes == 4) {
        int32_t v;
        std::memcpy(&v, p, 4);
        return static_cast<int16_t>(v / 65535);
    }
    int16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

void WriteSample(UCHAR* p, ULONG sampleBytes, int16_t v) {
    if (sampleBytes == 4) {
        const int32_t w = int32_t{v} * 65535;
        std::memcpy(p, &w, 4);
    } else {
        std::memcpy(p, &v, 2);
    }
}

NTSTATUS StartThread(PKSTART_ROUTINE routine, PVOID context, PVOID* thread) {
    HANDLE handle;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, context);
    if (!NT_SUCCESS(status)) return status;
    if (!NT_SUCCESS(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, thread, nullptr))) {
        *thread = nullptr;
    }
    ZwClose(handle);
    return STATUS_SUCCESS;
}

void JoinThread(PVOID* thread) {
    if (*thread == nullptr) return;
    KeWaitForSingleObject(*thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(*thread);
    *thread = nullptr;
}

}  // namespace

// ---- MonoRing ----------------------------------------------------------------------------------------

bool MonoRing::Init() {
    KeInitializeSpinLock(&lock_);
    data_ = static_cast<int16_t*>(ExAllocatePoolWithTag(NonPagedPool, kInitial * sizeof(int16_t), kPoolTag));
    size_ = data_ != nullptr ? kInitial : 0;
    start_ = count_ = 0;
    return data_ != nullptr;
}

void MonoRing::Free() {
    if (data_ != nullptr) ExFreePoolWithTag(data_, kPoolTag);
    data_ = nullptr;
    size_ = start_ = count_ = 0;
}

bool MonoRing::Write(const int16_t* samples, ULONG count) {
    KIRQL old;
    KeAcquireSpinLock(&lock_, &old);
    if (count_ + count > size_) {
        // Replaced by a longer one with the content copied, oldest first.
        ULONG size = size_;
        while (size < count_ + count && size + kGrowth <= kLargest) size += kGrowth;
        auto* larger = size >= count_ + count
                           ? static_cast<int16_t*>(ExAllocatePoolWithTag(NonPagedPool, size * sizeof(int16_t), kPoolTag))
                           : nullptr;
        if (larger == nullptr) {
            KeReleaseSpinLock(&lock_, old);
            return false;
        }
        const ULONG first = std::min(count_, size_ - start_);
        std::memcpy(larger, data_ + start_, first * sizeof(int16_t));
        std::memcpy(larger + first, data_, (count_ - first) * sizeof(int16_t));
        ExFreePoolWithTag(data_, kPoolTag);
        data_ = larger;
        size_ = size;
        start_ = 0;
    }
    ULONG end = (start_ + count_) % size_;
    for (ULONG done = 0; done < count;) {
        const ULONG n = std::min(count - done, size_ - end);
        if (samples != nullptr) std::memcpy(data_ + end, samples + done, n * sizeof(int16_t));
        else std::memset(data_ + end, 0, n * sizeof(int16_t));
        done += n;
        end = (end + n) % size_;
    }
    count_ += count;
    KeReleaseSpinLock(&lock_, old);
    return true;
}

ULONG MonoRing::Read(int16_t* out, ULONG count) {
    KIRQL old;
    KeAcquireSpinLock(&lock_, &old);
    count = std::min(count, count_);
    for (ULONG done = 0; done < count;) {
        const ULONG n = std::min(count - done, size_ - start_);
        std::memcpy(out + done, data_ + start_, n * sizeof(int16_t));
        done += n;
        start_ = (start_ + n) % size_;
    }
    count_ -= count;
    KeReleaseSpinLock(&lock_, old);
    return count;
}

ULONG MonoRing::Count() {
    KIRQL old;
    KeAcquireSpinLock(&lock_, &old);
    const ULONG n = count_;
    KeReleaseSpinLock(&lock_, old);
    return n;
}

// ---- EchoCanceller ---------------------------------------------------------------------------------

EchoCanceller* EchoCanceller::Create(ULONG rateHz, ULONG captureChannels, ULONG captureBits, ULONG renderChannels,
                                     ULONG renderBits) {
    if (captureChannels == 0 || renderChannels == 0 || (captureBits != 16 && captureBits != 32) ||
        (renderBits != 16 && renderBits != 32)) {
        return nullptr;
    }
    void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(EchoCanceller), kPoolTag);
    if (memory == nullptr) return nullptr;
    EchoCanceller* c;
    try {
        c = new (memory) EchoCanceller();
    } catch (...) {
        ExFreePoolWithTag(memory, kPoolTag);
        return nullptr;
    }
    c->rateHz_ = rateHz;
    c->capture_.channels = captureChannels;
    c->capture_.sampleBytes = captureBits / 8;
    c->render_.channels = renderChannels;
    c->render_.sampleBytes = renderBits / 8;
    KeInitializeSpinLock(&c->pairingLock_);
    KeInitializeEvent(&c->workEvent_, SynchronizationEvent, FALSE);
    KeInitializeEvent(&c->delayEvent_, NotificationEvent, FALSE);
    bool ok = c->micIn_.Init() && c->micOut_.Init() && c->referenceIn_.Init() && c->renderOut_.Init();
    if (ok) {
        DspStateScope state;
        ok = state.Saved();
        if (ok) {
            try {
                c->quell_.Setup(rateHz);
            } catch (...) {
                ok = false;
            }
        }
    }
    // A rate the canceller cannot work at passes the microphone through.
    if (ok && !c->quell_.ready()) c->Fail();
    if (!ok) {
        Destroy(c);
        return nullptr;
    }
    return c;
}

void EchoCanceller::Destroy(EchoCanceller* c) {
    if (c == nullptr) return;
    c->stopping_ = true;
    KeSetEvent(&c->workEvent_, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&c->delayEvent_, IO_NO_INCREMENT, FALSE);
    JoinThread(&c->worker_);
    JoinThread(&c->delayThread_);
    c->micIn_.Free();
    c->micOut_.Free();
    c->referenceIn_.Free();
    c->renderOut_.Free();
    c->~EchoCanceller();
    ExFreePoolWithTag(c, kPoolTag);
}

NTSTATUS EchoCanceller::Start() {
    NTSTATUS status = StartThread(WorkerMain, this, &worker_);
    if (NT_SUCCESS(status)) status = StartThread(DelayMain, this, &delayThread_);
    return status;
}

template <typename Sink>
void EchoCanceller::ForEachChunk(Side& side, const UCHAR* data, ULONG bytes, Sink sink) {
    const ULONG frame = side.FrameBytes();
    const ULONG sampleBytes = side.sampleBytes;
    int16_t mono[kChunk];
    ULONG n = 0;
    auto take = [&](const UCHAR* f) {
        // Stereo (and more) becomes the average of the first two channels.
        int16_t v = ReadSample(f, sampleBytes);
        if (side.channels >= 2) v = static_cast<int16_t>((int32_t{v} + ReadSample(f + sampleBytes, sampleBytes)) / 2);
        mono[n++] = v;
        if (n == kChunk) {
            sink(mono, n);
            n = 0;
        }
    };
    ULONG at = 0;
    if (side.stashInBytes > 0) {
        const ULONG need = std::min(frame - side.stashInBytes, bytes);
        std::memcpy(side.stashIn + side.stashInBytes, data, need);
        side.stashInBytes += need;
        at = need;
        if (side.stashInBytes < frame) return;
        take(side.stashIn);
        side.stashInBytes = 0;
    }
    for (; at + frame <= bytes; at += frame) take(data + at);
    if (n > 0) sink(mono, n);
    side.stashInBytes = bytes - at;
    std::memcpy(side.stashIn, data + at, side.stashInBytes);
}

ULONGLONG EchoCanceller::PairingStart() {
    KIRQL old;
    KeAcquireSpinLock(&pairingLock_, &old);
    if (pairingStart_ < 0) pairingStart_ = std::max(captureFrames_, renderFrames_);
    const LONGLONG start = pairingStart_;
    KeReleaseSpinLock(&pairingLock_, old);
    return static_cast<ULONGLONG>(start);
}

void EchoCanceller::PushCapture(const UCHAR* data, ULONG bytes) {
    ForEachChunk(capture_, data, bytes, [&](const int16_t* mono, ULONG n) {
        const LONGLONG first = captureFrames_;
        captureSeen_ = true;
        if (!renderSeen_ || failed_) {
            WriteOrFail(micOut_, mono, n);
        } else if (mode_ == Mode::Calibrating) {
            // The probe plays: the microphone is recorded, the application hears silence.
            if (responseStart_ < 0) responseStart_ = first;
            quell_.RecordResponse(mono, n);
            WriteOrFail(micOut_, nullptr, n);
            if (quell_.ResponseFull()) KeSetEvent(&delayEvent_, IO_NO_INCREMENT, FALSE);
        } else {
            // Frames whose render partner went by during calibration are dropped.
            const ULONGLONG start = PairingStart();
            const ULONG drop = first < LONGLONG(start) ? ULONG(std::min<ULONGLONG>(n, start - ULONGLONG(first))) : 0;
            WriteOrFail(micOut_, nullptr, drop);
            WriteOrFail(micIn_, mono + drop, n - drop);
            KeSetEvent(&workEvent_, IO_NO_INCREMENT, FALSE);
        }
        captureFrames_ = first + n;
    });
}

void EchoCanceller::PushRender(const UCHAR* data, ULONG bytes) {
    ForEachChunk(render_, data, bytes, [&](const int16_t* mono, ULONG n) {
        const LONGLONG first = renderFrames_;
        renderSeen_ = true;
        if (!captureSeen_ || failed_) {
            WriteOrFail(renderOut_, mono, n);
        } else if (mode_ == Mode::Calibrating) {
            if (probeStart_ < 0) probeStart_ = first;
            int16_t probe[kChunk];
            for (ULONG i = 0; i < n; ++i) probe[i] = quell_.NextCalibrationSample();
            WriteOrFail(renderOut_, probe, n);
        } else {
            const ULONGLONG start = PairingStart();
            const ULONG drop = first < LONGLONG(start) ? ULONG(std::min<ULONGLONG>(n, start - ULONGLONG(first))) : 0;
            WriteOrFail(renderOut_, nullptr, drop);
            WriteOrFail(referenceIn_, mono + drop, n - drop);
            WriteOrFail(renderOut_, mono + drop, n - drop);
            KeSetEvent(&workEvent_, IO_NO_INCREMENT, FALSE);
        }
        renderFrames_ = first + n;
    });
}

ULONG EchoCanceller::Pull(Side& side, MonoRing& ring, UCHAR* data, ULONG bytes) {
    const ULONG frame = side.FrameBytes();
    ULONG written = 0;
    // Output of the last pull that did not fit goes first.
    const ULONG stashed = std::min(side.stashOutBytes, bytes);
    std::memcpy(data, side.stashOut, stashed);
    std::memmove(side.stashOut, side.stashOut + stashed, side.stashOutBytes - stashed);
    side.stashOutBytes -= stashed;
    written = stashed;
    if (side.stashOutBytes > 0) return written;
    int16_t mono[kChunk];
    while (written < bytes) {
        const ULONG room = (bytes - written + frame - 1) / frame;  // a partial frame goes to the stash
        const ULONG n = ring.Read(mono, std::min(room, kChunk));
        if (n == 0) break;
        for (ULONG i = 0; i < n; ++i) {
            UCHAR f[16];
            for (ULONG c = 0; c < side.channels && c < 4; ++c) WriteSample(f + c * side.sampleBytes, side.sampleBytes, mono[i]);
            const ULONG fit = std::min(frame, bytes - written);
            std::memcpy(data + written, f, fit);
            written += fit;
            if (fit < frame) {
                std::memcpy(side.stashOut, f + fit, frame - fit);
                side.stashOutBytes = frame - fit;
            }
        }
    }
    return written;
}

ULONG EchoCanceller::PullCapture(UCHAR* data, ULONG bytes) { return Pull(capture_, micOut_, data, bytes); }
ULONG EchoCanceller::PullRender(UCHAR* data, ULONG bytes) { return Pull(render_, renderOut_, data, bytes); }

ULONG EchoCanceller::ReadResponse(UCHAR* out, ULONG bytes) const {
    auto r = quell_.Response();
    const ULONG n = static_cast<ULONG>(std::min<size_t>(bytes, r.size() * sizeof(int16_t)));
    std::memcpy(out, r.data(), n);
    return n;
}

ULONG EchoCanceller::ReadReference(UCHAR* out, ULONG bytes) const {
    auto r = quell_.CalibrationSignal();
    const ULONG n = static_cast<ULONG>(std::min<size_t>(bytes, r.size() * sizeof(int16_t)));
    std::memcpy(out, r.data(), n);
    return n;
}

VOID EchoCanceller::WorkerMain(PVOID context) {
    KeSetPriorityThread(KeGetCurrentThread(), kCancellerPriority);
    static_cast<EchoCanceller*>(context)->Work();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

void EchoCanceller::Work() {
    while (!stopping_) {
        KeWaitForSingleObject(&workEvent_, Executive, KernelMode, FALSE, nullptr);
        while (!stopping_) {
            // A render side that stopped delivering (the far end ended, the
            // application paused) plays silence: the microphone is paired with
            // it after a tenth of a second rather than held back for good.
            const ULONG mic = micIn_.Count(), reference = referenceIn_.Count();
            if (mic > reference + rateHz_ / 10) WriteOrFail(referenceIn_, nullptr, mic - reference);
            ULONG n = std::min(micIn_.Count(), referenceIn_.Count());
            n -= n % 8;
            if (n < 8) break;
            n = std::min<ULONG>(n, 2048);
            micIn_.Read(scratchIn_, n);
            referenceIn_.Read(scratchReference_, n);
            bool processed = false;
            {
                DspStateScope state;
                if (state.Saved()) {
                    quell_.Process(scratchIn_, scratchReference_, n, scratchOut_);
                    processed = true;
                }
            }
            if (quell_.Lost() != 0) {
                Fail();  // a stage that loses samples would garble the microphone
                processed = false;
            }
            WriteOrFail(micOut_, processed ? scratchOut_ : scratchIn_, n);  // unprocessed, but never lost
        }
    }
}

VOID EchoCanceller::DelayMain(PVOID context) {
    auto* c = static_cast<EchoCanceller*>(context);
    KeWaitForSingleObject(&c->delayEvent_, Executive, KernelMode, FALSE, nullptr);
    if (!c->stopping_) {
        LONG measured = 0;
        {
            DspStateScope state;
            if (!state.Saved()) {
                c->Fail();
            } else {
                try {
                    measured = c->quell_.EstimateDelay();
                } catch (...) {
                    c->Fail();
                }
            }
        }
        // The recording and the probe began at different frames of their
        // streams; the filters pair frames by index, so they wait out the
        // measured delay plus that offset.
        const LONGLONG offset = c->responseStart_ >= 0 && c->probeStart_ >= 0 ? c->responseStart_ - c->probeStart_ : 0;
        c->quell_.SetDelay(static_cast<LONG>(std::max<LONGLONG>(0, measured + offset)));
        c->measuredDelay_ = measured;
        c->mode_ = Mode::Cancelling;
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace k0340aud
