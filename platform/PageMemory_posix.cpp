#include "platform/PageMemory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BREVANT_HEAP_PAGES 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define BREVANT_HEAP_PAGES 1
#endif

#ifdef BREVANT_HEAP_PAGES

void* AllocatePresentPages(std::size_t size) {
  void* memory = std::calloc(size == 0 ? 1 : size, 1);
  if (!memory) throw std::bad_alloc();
  return memory;
}

void FreePresentPages(void* memory, std::size_t) noexcept {
  std::free(memory);
}

#else

namespace {

// The size of a large page of the processor's page tables (2 MiB on
// x86-64). The kernel gives a region that is aligned to it and asks for it
// (MADV_HUGEPAGE) such pages when it can (transparent huge pages); one such
// page is one fault and one zeroing, where small pages take 512.
constexpr std::size_t LargePage = 2u << 20;

std::size_t SmallPage() {
  static const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return page;
}

// A block held in large pages.
bool IsLarge(std::size_t size) {
  return size >= LargePage / 2;
}

// The length of the mapping for size bytes: whole large pages for a large
// block, whole small pages for another; 0 when that overflows.
std::size_t MappedLength(std::size_t size) {
  const std::size_t unit = IsLarge(size) ? LargePage : SmallPage();
  if (size == 0) return unit;
  if (size > std::numeric_limits<std::size_t>::max() - unit - LargePage) return 0;
  return (size + unit - 1) / unit * unit;
}

// A mapping of length bytes (whole large pages) that starts on a large
// page's boundary, asked to be held in large pages; null when the system
// gives none.
char* MapLargePages(std::size_t length) {
  void* raw = ::mmap(nullptr, length + LargePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + LargePage - 1) / LargePage * LargePage;
  // The surplus before and after the aligned block goes back.
  if (aligned > start) ::munmap(raw, aligned - start);
  if (const std::size_t after = start + LargePage - aligned; after > 0)
    ::munmap(reinterpret_cast<void*>(aligned + length), after);
  void* block = reinterpret_cast<void*>(aligned);
  // Without transparent huge pages the block is made of small pages, which
  // serves all the same. Either way the pages are made present now (Linux
  // 5.14 and later; before, they come as they are first written).
  (void)::madvise(block, length, MADV_HUGEPAGE);
  (void)::madvise(block, length, MADV_POPULATE_WRITE);
  return static_cast<char*>(block);
}

}  // namespace

void* AllocatePresentPages(std::size_t size) {
  const std::size_t length = MappedLength(size);
  if (length == 0) throw std::bad_alloc();
  if (IsLarge(size)) {
    if (char* block = MapLargePages(length)) return block;
    throw std::bad_alloc();
  }
  // MAP_POPULATE makes every page present before mmap returns (written
  // pages, for a private writable mapping).
  void* memory = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  if (memory == MAP_FAILED) throw std::bad_alloc();
  return memory;
}

void FreePresentPages(void* memory, std::size_t size) noexcept {
  if (memory) ::munmap(memory, MappedLength(size));
}

#endif
