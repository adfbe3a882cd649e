// Transparent huge pages for the large buffers of a bake: the name table,
// the merged records, the working arrays of the refinement, read at random,
// and the archive buffers, written in one sweep. With 4 KiB pages nearly
// every random read of a large array also misses the TLB, and the first
// touch of every page of a fresh buffer costs a fault, which for an array of
// many megabytes costs more than writing its bytes (on a virtual machine
// whose page tables the host shadows, some 16 us a page, 4 ms a megabyte);
// 2 MiB pages cut both 512-fold.
//
// Hints only: no byte of any output depends on them, and where the kernel
// offers no huge pages (or the platform has no madvise) they do nothing.
// Buffers under two huge pages are left alone.
#pragma once

#if defined(__linux__) && __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <vector>

namespace korvex {

inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Asks for huge pages on the huge-page-aligned interior of [p, p + n).
inline void advise_huge_pages([[maybe_unused]] void* p, [[maybe_unused]] std::size_t n) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (n < 2 * kHugePage) return;
  const auto start = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t begin = (start + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t end = (start + n) & ~(kHugePage - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
}

// Storage for a large array of `bytes`. From two huge pages on it is aligned
// to a huge page and advised up to the next one, so that its first and last
// pages are huge too: the C allocator's block is two huge pages longer, and
// the word before the aligned start keeps the block's own. The block comes from, and
// returns to, the C allocator, which hands what one stage or bake frees to
// the next instead of faulting fresh pages in again. Below two huge pages
// it comes from operator new. Throws std::bad_alloc.
inline void* allocate_large(std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes >= 2 * kHugePage) {
    if (bytes > std::numeric_limits<std::size_t>::max() - 2 * kHugePage) throw std::bad_alloc();
    void* block = ::operator new(bytes + 2 * kHugePage);
    // At least 16 bytes past the block's start, since operator new aligns
    // to 16: room for the word.
    const std::uintptr_t aligned = (reinterpret_cast<std::uintptr_t>(block) + kHugePage) & ~(kHugePage - 1);
    reinterpret_cast<void**>(aligned)[-1] = block;
    advise_huge_pages(reinterpret_cast<void*>(aligned), (bytes + kHugePage - 1) & ~(kHugePage - 1));
    return reinterpret_cast<void*>(aligned);
  }
#endif
  return ::operator new(bytes);
}

// Releases what allocate_large(bytes) returned.
inline void deallocate_large(void* p, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes >= 2 * kHugePage) {
    ::operator delete(static_cast<void**>(p)[-1]);
    return;
  }
#endif
  ::operator delete(p);
}

// A standard allocator over allocate_large, for the vectors of large working
// arrays.
template <class T>
struct LargeArrayAllocator {
  using value_type = T;
  static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);

  LargeArrayAllocator() = default;
  template <class U>
  LargeArrayAllocator(const LargeArrayAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(allocate_large(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { deallocate_large(p, n * sizeof(T)); }

  template <class U>
  friend bool operator==(const LargeArrayAllocator&, const LargeArrayAllocator<U>&) noexcept {
    return true;
  }
};

// A vector whose storage, once large, sits on huge pages.
template <class T>
using LargeVector = std::vector<T, LargeArrayAllocator<T>>;

}  // namespace korvex
