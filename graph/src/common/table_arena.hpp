// An arena for many tables built together and freed together: one block
// from the C allocator holds them all, so that no table grows by copies
// left behind and nothing is freed before the arena. The first block is
// `first_block` bytes, later ones doubling; room never touched costs no
// page.
//
// Plain 4 KiB pages on purpose, not huge ones. These tables are built on
// a caller's first request, where every millisecond is waited for, and on
// the virtual machines this runs on a fresh huge page is the dearer kind:
// the kernel carves it from the large free blocks it has handed back to
// the host, which must then back all of its 2 MiB again (16 MiB of huge
// pages: 2 ms when the host still holds them, 30-40 ms after other work
// freed memory; in 4 KiB pages 5 ms either way).
//
// Under AddressSanitizer each table is an allocation of its own instead,
// so that a read past one is caught rather than landing in the next.
#pragma once

#include <cstddef>
#include <memory_resource>

namespace korvex {

class TableArena final : public std::pmr::memory_resource {
 public:
  explicit TableArena(std::size_t first_block) : blocks_(first_block, std::pmr::new_delete_resource()) {}

 private:
#if defined(__SANITIZE_ADDRESS__)
#define KORVEX_TABLES_APART 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KORVEX_TABLES_APART 1
#endif
#endif
#ifdef KORVEX_TABLES_APART
  void* do_allocate(std::size_t bytes, std::size_t alignment) override {
    return std::pmr::new_delete_resource()->allocate(bytes, alignment);
  }
  void do_deallocate(void* p, std::size_t bytes, std::size_t alignment) noexcept override {
    std::pmr::new_delete_resource()->deallocate(p, bytes, alignment);
  }
#undef KORVEX_TABLES_APART
#else
  void* do_allocate(std::size_t bytes, std::size_t alignment) override { return blocks_.allocate(bytes, alignment); }
  void do_deallocate(void*, std::size_t, std::size_t) noexcept override {}
#endif
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }

  std::pmr::monotonic_buffer_resource blocks_;
};

}  // namespace korvex
