// A ring of batches passed from one producing thread to one consuming thread. Batches are filled
// and drained in place, so nothing is copied or allocated per batch, and a wait spins briefly
// before it gives the processor away: a hand-over is due every few tens of microseconds, far
// sooner than a sleeping thread would wake.
#ifndef QUORKIT_MEMLOG_HAND_OFF_H
#define QUORKIT_MEMLOG_HAND_OFF_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "host.h"

namespace memlog {

template <typename Batch, size_t N>
class HandOff {
  static_assert(N > 1 && (N & (N - 1)) == 0, "a power of two: the counters wrap onto the ring");

 public:
  // Producer: the batch to fill next, once the consumer has given it back.
  Batch& toFill() {
    waitUntil([this] { return filled_ - drained_.load(std::memory_order_acquire) < N; });
    return ring_[filled_ % N];
  }
  // Producer: hands over the batch toFill returned.
  void publish() { published_.store(++filled_, std::memory_order_release); }
  // Producer: no batch follows those published.
  void finish() { finished_.store(true, std::memory_order_release); }

  // Consumer: the next batch, or null when the producer has finished and every batch is taken.
  Batch* next() {
    Batch* batch = nullptr;
    waitUntil([this, &batch] {
      if (published_.load(std::memory_order_acquire) != taken_) {
        batch = &ring_[taken_ % N];
        return true;
      }
      // Published batches are checked again after the flag: a batch may come just before it.
      return finished_.load(std::memory_order_acquire) &&
             published_.load(std::memory_order_acquire) == taken_;
    });
    return batch;
  }
  // Consumer: gives back the batch next returned.
  void release() { drained_.store(++taken_, std::memory_order_release); }

 private:
  template <typename Ready>
  static void waitUntil(Ready ready) {
    for (unsigned spins = 0; !ready(); ++spins)
      if (spins >= kSpins) host::yieldThread();
  }
  static constexpr unsigned kSpins = 256;

  Batch ring_[N];
  // Counted, not indexed, so that full and empty differ. Each side owns one plain counter and
  // publishes it through an atomic the other side reads, on a cache line of its own.
  size_t filled_ = 0;  // producer's
  alignas(64) std::atomic<size_t> published_{0};
  alignas(64) std::atomic<size_t> drained_{0};
  alignas(64) std::atomic<bool> finished_{false};
  size_t taken_ = 0;  // consumer's
};

}  // namespace memlog

#endif  // QUORKIT_MEMLOG_HAND_OFF_H
