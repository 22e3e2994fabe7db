#include "bpe/huge_page_allocator.h"

#include <sys/mman.h>

#include <cstdint>

namespace quorvane::huge_pages {

namespace {

constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
// A whole number of huge pages: a tail on small pages would miss the TLB again.
size_t mapped_size(size_t bytes) { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }

}  // namespace

void* map(size_t bytes) noexcept {
  const size_t size = mapped_size(bytes);
  if (size < bytes || size + kHugePage < size) return nullptr;
  // Map 2 MiB more than needed and give back what lies outside the aligned block.
  void* const raw =
      mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
  if (aligned > start) munmap(raw, aligned - start);
  const uintptr_t end = start + size + kHugePage;
  if (end > aligned + size) munmap(reinterpret_cast<void*>(aligned + size), end - aligned - size);
#ifdef MADV_HUGEPAGE
  // Only a hint: without huge pages the block works the same, on small pages.
  madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
#endif
  return reinterpret_cast<void*>(aligned);
}

void unmap(void* block, size_t bytes) noexcept { munmap(block, mapped_size(bytes)); }

}  // namespace quorvane::huge_pages
