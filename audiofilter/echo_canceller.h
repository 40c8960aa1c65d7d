// The echo path's canceller: the plumbing around EchoQuell. The echo worker
// pushes captured PCM and pulls the processed microphone back into the same
// buffer; the render dispatch pushes the application's render PCM as the
// reference and pulls back what the loudspeaker is to play (the calibration
// probe at first). Four rings of 16-bit mono samples connect them to the
// canceller's own thread (EchoQuell's processing) and to the delay-estimation
// thread. Everything it owns is pool memory with the filter's tag.
#pragma once

#include <atomic>

#include "audiofilter/dsp/echo_quell.h"
#include "wdm.h"

namespace k0340aud {

// A ring of 16-bit mono samples that grows by 8192 samples when full, up to
// 65535; a write beyond that is refused whole (the canceller then fails over
// to passing the microphone through).
class MonoRing {
public:
    static constexpr ULONG kInitial = 32768;
    static constexpr ULONG kGrowth = 8192;
    static constexpr ULONG kLargest = 65535;
    bool Init();
    void Free();
    bool Write(const int16_t* samples, ULONG count);  // null `samples`: zeros
    ULONG Read(int16_t* out, ULONG count);
    ULONG Count();
    ULONG Capacity() const { return size_; }

private:
    KSPIN_LOCK lock_ = 0;  // guards everything below
    int16_t* data_ = nullptr;
    ULONG size_ = 0, start_ = 0, count_ = 0;
};

class EchoCanceller {
public:
    // Pool-backed; null when memory or the canceller's set-up failed.
    static EchoCanceller* Create(ULONG rateHz, ULONG captureChannels, ULONG captureBits, ULONG renderChannels,
                                 ULONG renderBits);
    // Stops its threads (passive level) and frees it.
    static void Destroy(EchoCanceller* canceller);
    // Starts the canceller's worker and the delay-estimation thread.
    NTSTATUS Start();

    void PushCapture(const UCHAR* data, ULONG bytes);
    ULONG PullCapture(UCHAR* data, ULONG bytes);
    void PushRender(const UCHAR* data, ULONG bytes);
    ULONG PullRender(UCHAR* data, ULONG bytes);

    void SetEnabled(bool on) { quell_.SetEnabled(on); }
    ULONG EchoReduction() const { return quell_.EchoReduction(); }
    // The delay calibration measured (-1 until then), in samples.
    LONG Delay() const { return measuredDelay_; }
    bool Calibrating() const { return mode_ == Mode::Calibrating; }
    bool Failed() const { return failed_; }
    // The calibration's recorded response and its probe, as 16-bit samples.
    ULONG ReadResponse(UCHAR* out, ULONG bytes) const;
    ULONG ReadReference(UCHAR* out, ULONG bytes) const;
    // Frames counted on each side since the start.
    ULONGLONG CaptureFrames() const { return captureFrames_; }
    ULONGLONG RenderFrames() const { return renderFrames_; }

    // Users hold a reference while they call in; the last release destroys.
    void AddRef() { references_.fetch_add(1); }
    void Release() {
        if (references_.fetch_sub(1) == 1) Destroy(this);
    }

private:
    enum class Mode : LONG { Calibrating, Cancelling };
    // One side's format and the bytes of a frame split across its buffers.
    struct Side {
        ULONG channels = 1;
        ULONG sampleBytes = 2;
        UCHAR stashIn[16] = {};
        ULONG stashInBytes = 0;
        UCHAR stashOut[16] = {};
        ULONG stashOutBytes = 0;
        ULONG FrameBytes() const { return channels * sampleBytes; }
    };
    static constexpr ULONG kChunk = 1024;

    EchoCanceller() = default;
    // Whole frames of `data` (after the stash) to mono, `kChunk` at a time.
    template <typename Sink>
    void ForEachChunk(Side& side, const UCHAR* data, ULONG bytes, Sink sink);
    ULONG Pull(Side& side, MonoRing& ring, UCHAR* data, ULONG bytes);
    void Fail() { failed_ = true; }
    void WriteOrFail(MonoRing& ring, const int16_t* samples, ULONG count) {
        if (!ring.Write(samples, count)) Fail();
    }
    // The first frame index both sides put into their rings once calibration is over.
    ULONGLONG PairingStart();
    static VOID WorkerMain(PVOID context);
    static VOID DelayMain(PVOID context);
    void Work();

    qk::dsp::EchoQuell quell_;
    ULONG rateHz_ = 0;
    Side capture_, render_;
    MonoRing micIn_, micOut_, referenceIn_, renderOut_;
    std::atomic<bool> failed_{false};
    std::atomic<Mode> mode_{Mode::Calibrating};
    std::atomic<bool> captureSeen_{false}, renderSeen_{false};
    std::atomic<LONGLONG> captureFrames_{0}, renderFrames_{0};
    // Frame indices where calibration's recording and probe began, and
    // where pairing begins (-1: not yet).
    std::atomic<LONGLONG> responseStart_{-1}, probeStart_{-1};
    LONGLONG pairingStart_ = -1;  // guarded by pairingLock_
    KSPIN_LOCK pairingLock_ = 0;
    std::atomic<LONG> measuredDelay_{-1};
    std::atomic<LONG> references_{1};
    std::atomic<bool> stopping_{false};
    KEVENT workEvent_, delayEvent_;
    PVOID worker_ = nullptr, delayThread_ = nullptr;
    int16_t scratchIn_[2048] = {}, scratchReference_[2048] = {}, scratchOut_[2048] = {};
};

}  // namespace k0340aud
