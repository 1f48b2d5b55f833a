#pragma once

#include <algorithm>
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
  /// Room for at least `capacity` values: the next power of two, so that
  /// a slot is a mask of a count, which stays right across the counts'
  /// wrap at 2^64 (a modulo would not). `first_count` is where the counts
  /// begin: tests start them near the wrap.
  explicit SpscRing(std::size_t capacity, std::size_t first_count = 0)
      : capacity_(round_up(capacity)),
        mask_(capacity_ - 1),
        items_(new T[capacity_]),
        head_(first_count),
        tail_(first_count) {}
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
    std::size_t at = tail & mask_, first = count < capacity_ - at ? count : capacity_ - at;
    std::copy(values, values + first, &items_[at]);
    std::copy(values + first, values + count, &items_[0]);
    // The values are written before the consumer can see the new tail.
    tail_.store(tail + count, std::memory_order_release);
    return count;
  }

  /// Consumer side: copies up to `count` values out, returns how many came.
  std::size_t pop(T* values, std::size_t count) {
    std::size_t head = head_.load(std::memory_order_relaxed);
    std::size_t ready = tail_.load(std::memory_order_acquire) - head;
    if (count > ready) count = ready;
    std::size_t at = head & mask_, first = count < capacity_ - at ? count : capacity_ - at;
    std::copy(&items_[at], &items_[at] + first, values);
    std::copy(&items_[0], &items_[0] + (count - first), values + first);
    // The values are read before the producer may overwrite them.
    head_.store(head + count, std::memory_order_release);
    return count;
  }

 private:
  static std::size_t round_up(std::size_t capacity) {
    std::size_t power = 1;
    while (power < capacity) power *= 2;
    return power;
  }

  const std::size_t capacity_;
  const std::size_t mask_;
  std::unique_ptr<T[]> items_;
  // Counts of values ever pushed and popped; only their difference and
  // their low bits matter.
  alignas(64) std::atomic<std::size_t> head_;
  alignas(64) std::atomic<std::size_t> tail_;
};

}  // namespace tap
