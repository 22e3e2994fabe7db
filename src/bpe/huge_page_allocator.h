// HugePageAllocator: an allocator for the large tables that encoding probes at
// random (a byte_fallback model's merge buckets and whole-piece table), which
// asks the kernel to back them with 2 MiB pages.
//
// With 4 KiB pages the probes of a table of megabytes miss the TLB on most
// lookups, and each miss walks the page tables before the line itself is
// fetched. A block of at least kHugeMin bytes is mapped on its own, on whole
// 2 MiB pages, and marked for transparent huge pages (where the kernel offers
// none, it stays on small pages). The rounding up costs resident memory (up to
// 2 MiB a table), so only the tables of models that gain use it.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>

namespace quorvane {

namespace huge_pages {

// Blocks from this size on may be mapped on their own and marked for huge pages.
inline constexpr size_t kHugeMin = size_t{2} << 20;

// A mapping of `bytes` rounded up to whole 2 MiB, starting on a 2 MiB boundary
// and marked for huge pages, or null when none can be made.
void* map(size_t bytes) noexcept;
// Returns a block from map(bytes).
void unmap(void* block, size_t bytes) noexcept;

}  // namespace huge_pages

// Blocks of at least kHugeMin bytes from an allocator made with `huge` set are
// mapped with huge_pages::map; every other block comes from operator new. The
// flag travels with the container on copy, move and swap.
template <class T>
class HugePageAllocator {
 public:
  using value_type = T;
  using propagate_on_container_copy_assignment = std::true_type;
  using propagate_on_container_move_assignment = std::true_type;
  using propagate_on_container_swap = std::true_type;

  explicit HugePageAllocator(bool huge = false) noexcept : huge_(huge) {}
  template <class U>
  HugePageAllocator(const HugePageAllocator<U>& other) noexcept : huge_(other.huge()) {}

  bool huge() const noexcept { return huge_; }

  T* allocate(size_t n) {
    if (n > ~size_t{0} / sizeof(T)) throw std::bad_array_new_length();
    if (!mapped(n)) return std::allocator<T>().allocate(n);
    void* block = huge_pages::map(n * sizeof(T));
    if (block == nullptr) throw std::bad_alloc();
    return static_cast<T*>(block);
  }

  void deallocate(T* p, size_t n) noexcept {
    if (mapped(n)) {
      huge_pages::unmap(p, n * sizeof(T));
    } else {
      std::allocator<T>().deallocate(p, n);
    }
  }

  template <class U>
  bool operator==(const HugePageAllocator<U>& other) const noexcept {
    return huge_ == other.huge();
  }

 private:
  bool mapped(size_t n) const noexcept { return huge_ && n * sizeof(T) >= huge_pages::kHugeMin; }

  bool huge_;
};

}  // namespace quorvane
