// A fixed-length array whose memory comes zeroed from the allocator (calloc): a big table costs no
// pass of writing zeros, and its pages become resident only as they are touched. For element
// types whose all-zero bytes are their empty state.
#ifndef QUORKIT_MEMLOG_ZEROED_ARRAY_H
#define QUORKIT_MEMLOG_ZEROED_ARRAY_H

#include <cstddef>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>

#include "host.h"

namespace memlog {

template <typename T>
class ZeroedArray {
  static_assert(std::is_trivially_copyable<T>::value && alignof(T) <= 64,
                "zero bytes must make an element, and calloc's alignment must do");

 public:
  explicit ZeroedArray(size_t size) : size_(size) {
    // calloc aligns to max_align_t only: over-aligned elements, and tables big enough for large
    // pages, get room to be aligned by hand.
    const size_t bytes = size * sizeof(T);
    const bool large = bytes >= host::kLargePage;
    const size_t align = large ? host::kLargePage : alignof(T);
    const size_t slack = align > alignof(std::max_align_t) ? align : 0;
    raw_ = calloc(bytes + slack, 1);
    if (!raw_) throw std::bad_alloc();
    const size_t address = reinterpret_cast<size_t>(raw_);
    data_ = reinterpret_cast<T*>(slack ? (address + slack - 1) / slack * slack : address);
    if (large) host::adviseLargePages(data_, bytes);
    claimPages();
  }
  ~ZeroedArray() { free(raw_); }
  ZeroedArray(const ZeroedArray&) = delete;
  ZeroedArray& operator=(const ZeroedArray&) = delete;
  ZeroedArray(ZeroedArray&& other) noexcept { swap(other); }
  ZeroedArray& operator=(ZeroedArray&& other) noexcept {
    swap(other);
    return *this;
  }
  void swap(ZeroedArray& other) noexcept {
    std::swap(raw_, other.raw_);
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
  }

  size_t size() const { return size_; }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }

 private:
  // Writes a zero into every page. A table is probed (read) before it is written, and a read of an
  // untouched page maps the system's shared zero page, so its first write would fault a second
  // time; one write per page makes it a single fault, still without writing every byte.
  void claimPages() {
    constexpr size_t kPage = 4096;  // the smallest page of the hosts the tool runs on
    volatile char* bytes = reinterpret_cast<volatile char*>(data_);
    const size_t length = size_ * sizeof(T);
    for (size_t at = 0; at < length; at += kPage) bytes[at] = 0;
  }

  void* raw_ = nullptr;
  T* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace memlog

#endif  // QUORKIT_MEMLOG_ZEROED_ARRAY_H
