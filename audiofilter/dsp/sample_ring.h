// A circular sample buffer for one producer and one consumer (the echo
// canceller's rings are filled by one thread and drained by another). The
// count is atomic; positions belong to their side alone. Push fails when the
// ring is full and pop fails when it is empty, so no sample is ever
// overwritten or invented.
#pragma once

#include "audiofilter/dsp/memory.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qk::dsp {

template <class T>
class SampleRing {
public:
    SampleRing() = default;
    explicit SampleRing(size_t capacity) { Allocate(capacity); }
    // Moving is for set-up only (containers of rings), never while in use.
    SampleRing(SampleRing&& other) noexcept
        : data_(std::move(other.data_)), read_(other.read_), write_(other.write_),
          count_(other.count_.load(std::memory_order_relaxed)) {}
    SampleRing& operator=(SampleRing&& other) noexcept {
        data_ = std::move(other.data_);
        read_ = other.read_;
        write_ = other.write_;
        count_.store(other.count_.load(std::memory_order_relaxed), std::memory_order_relaxed);
        return *this;
    }

    // Set-up only: discards the content.
    void Allocate(size_t capacity) {
        data_.assign(capacity, T{});
        read_ = write_ = 0;
        count_.store(0, std::memory_order_relaxed);
    }
    void Clear() {
        read_ = write_ = 0;
        count_.store(0, std::memory_order_relaxed);
    }

    size_t capacity() const { return data_.size(); }
    size_t size() const { return count_.load(std::memory_order_acquire); }
    size_t space() const { return capacity() - size(); }
    bool full() const { return size() == capacity(); }
    bool empty() const { return size() == 0; }

    bool Push(T value) {
        if (full()) return false;
        data_[write_] = value;
        write_ = write_ + 1 == data_.size() ? 0 : write_ + 1;
        count_.fetch_add(1, std::memory_order_release);
        return true;
    }
    bool Pop(T& value) {
        if (empty()) return false;
        value = data_[read_];
        read_ = read_ + 1 == data_.size() ? 0 : read_ + 1;
        count_.fetch_sub(1, std::memory_order_release);
        return true;
    }

    // Writes as many of `count` samples as fit; returns how many.
    size_t Write(const T* samples, size_t count) {
        size_t n = std::min(count, space());
        size_t first = std::min(n, data_.size() - write_);
        std::copy(samples, samples + first, data_.begin() + write_);
        std::copy(samples + first, samples + n, data_.begin());
        write_ = (write_ + n) % (data_.empty() ? 1 : data_.size());
        count_.fetch_add(n, std::memory_order_release);
        return n;
    }
    // Reads up to `count` samples; returns how many.
    size_t Read(T* samples, size_t count) {
        size_t n = std::min(count, size());
        size_t first = std::min(n, data_.size() - read_);
        std::copy(data_.begin() + read_, data_.begin() + read_ + first, samples);
        std::copy(data_.begin(), data_.begin() + (n - first), samples + first);
        read_ = (read_ + n) % (data_.empty() ? 1 : data_.size());
        count_.fetch_sub(n, std::memory_order_release);
        return n;
    }
    // Drops up to `count` samples; returns how many.
    size_t Skip(size_t count) {
        size_t n = std::min(count, size());
        read_ = (read_ + n) % (data_.empty() ? 1 : data_.size());
        count_.fetch_sub(n, std::memory_order_release);
        return n;
    }

    // Replaces the storage by a larger one and keeps the content in order.
    // Both sides must be quiet while this runs.
    void Grow(size_t capacity) {
        if (capacity <= data_.size()) return;
        DspVector<T> bigger(capacity, T{});
        size_t n = size();
        Read(bigger.data(), n);
        data_.swap(bigger);
        read_ = 0;
        write_ = n;
        count_.store(n, std::memory_order_release);
    }

private:
    DspVector<T> data_;
    size_t read_ = 0;
    size_t write_ = 0;
    std::atomic<size_t> count_{0};
};

using FloatRing = SampleRing<float>;
using Int16Ring = SampleRing<int16_t>;

}  // namespace qk::dsp
