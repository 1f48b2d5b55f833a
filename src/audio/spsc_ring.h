#pragma once

#include <atomic>
#include <cstddef>
#include <memory>

namespace tap {

/// A fixed ring of values from exactly one producer thread to exactly one
/// consumer thread, without locks: the decoder fills it, the audio callback
/// drains it, and neither waits for the other. The storage is allocated
/// once, in the constructor, so neither side allocates.
template <typename T>
class SpscRing {
 public:
  explicit SpscRing(std::size_t capacity) : capacity_(capacity), items_(new T[capacity]) {}
  SpscRing(const SpscRing&) = delete;
  SpscRing& operator=(const SpscRing&) = delete;

  std::size_t capacity() const { return capacity_; }

  /// Producer side: how many values fit now.
  std::size_t free_space() const {
    return capacity_ - (tail_.load(std::memory_order_relaxed) - head_.load(std::memory_order_acquire));
  }

  /// Producer side: copies up to `count` values in, returns how many went.
  std::size_t push(const T* values, std::size_t count) {
    std::size_t tail = tail_.load(std::memory_order_relaxed);
    std::size_t room = capacity_ - (tail - head_.load(std::memory_order_acquire));
    if (count > room) count = room;
    for (std::size_t i = 0; i < count; ++i) items_[(tail + i) % capacity_] = values[i];
    // The values are written before the consumer can see the new tail.
    tail_.store(tail + count, std::memory_order_release);
    return count;
  }

  /// Consumer side: copies up to `count` values out, returns how many came.
  std::size_t pop(T* values, std::size_t count) {
    std::size_t head = head_.load(std::memory_order_relaxed);
    std::size_t ready = tail_.load(std::memory_order_acquire) - head;
    if (count > ready) count = ready;
    for (std::size_t i = 0; i < count; ++i) values[i] = items_[(head + i) % capacity_];
    // The values are read before the producer may overwrite them.
    head_.store(head + count, std::memory_order_release);
    return count;
  }

 private:
  const std::size_t capacity_;
  std::unique_ptr<T[]> items_;
  // Counts of values ever pushed and popped; only their difference matters,
  // so their wrap at 2^64 does no harm.
  alignas(64) std::atomic<std::size_t> head_{0};
  alignas(64) std::atomic<std::size_t> tail_{0};
};

}  // namespace tap
