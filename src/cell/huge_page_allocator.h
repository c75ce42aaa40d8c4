// An allocator for the cache's large tables that asks the kernel to back them
// with huge pages. Lookups touch those tables at random, and with 4 KiB pages
// nearly every lookup in a table of tens of megabytes also misses the TLB.
//
//   std::vector<Bucket, HugePageAllocator<Bucket>> buckets;
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <new>

namespace quorvel {

template <typename T>
struct HugePageAllocator {
  using value_type = T;

  HugePageAllocator() = default;
  template <typename U>
  HugePageAllocator(const HugePageAllocator<U>&) {}

  T* allocate(std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kHugePage) return static_cast<T*>(::operator new(bytes));
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* memory = std::aligned_alloc(kHugePage, rounded);
    if (memory == nullptr) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    // Only advice: where the kernel has no huge page to give, small ones do.
    ::madvise(memory, rounded, MADV_HUGEPAGE);
#endif
    return static_cast<T*>(memory);
  }

  void deallocate(T* p, std::size_t n) {
    if (n * sizeof(T) < kHugePage) {
      ::operator delete(p);
    } else {
      std::free(p);
    }
  }

  template <typename U>
  bool operator==(const HugePageAllocator<U>&) const {
    return true;
  }
  template <typename U>
  bool operator!=(const HugePageAllocator<U>&) const {
    return false;
  }

 private:
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;
};

}  // namespace quorvel
