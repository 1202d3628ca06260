#pragma once
// Memory of whole pages, for a large buffer of known size that is filled at
// once and then kept, such as a file read whole and the table of its lines.
//
// A new block of the heap gets its pages from the system one page fault at
// a time, as each page is first touched. On a virtual machine such a fault
// can cost ten microseconds and more, far more than filling the page, so a
// new process that fills a buffer of a few hundred kilobytes spends most of
// that time in faults (the same work in a process that has done it before
// reuses the heap's pages and is many times faster). Blocks taken here:
//   - of half a large page (1 MiB on x86-64) or more: whole large pages
//     (2 MiB), aligned and asked to be held as such (transparent huge
//     pages), so that each is one fault instead of 512;
//   - smaller ones: whole small pages.
// Either way the pages are made present in one request when the block is
// taken, and the block takes at most twice the bytes asked for.
//
// Under AddressSanitizer the memory comes from the heap, so that the
// sanitizer sees every byte. Any thread may call.
#include <cstddef>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

// At least `size` bytes (0 counts as 1), zero-filled. Raises std::bad_alloc
// when the system gives no memory.
void* AllocatePresentPages(std::size_t size);
// Gives back memory of AllocatePresentPages; `size` as it was asked for.
void FreePresentPages(void* memory, std::size_t size) noexcept;

// An allocator of standard containers over such pages. An element that a
// container creates without a value (resize of a vector) is default-
// initialised, not zeroed, so a buffer about to be overwritten is not
// written twice. Every block is a page or more: for a few large blocks of
// known size, not for a container that grows one element at a time.
template <class T>
struct TPageAllocator {
  using value_type = T;

  TPageAllocator() noexcept = default;
  template <class U>
  TPageAllocator(const TPageAllocator<U>&) noexcept {}

  T* allocate(std::size_t count) {
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(AllocatePresentPages(count * sizeof(T)));
  }
  void deallocate(T* memory, std::size_t count) noexcept { FreePresentPages(memory, count * sizeof(T)); }

  template <class U>
  void construct(U* Place) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(Place)) U;
  }
  template <class U, class... TArgs>
  void construct(U* place, TArgs&&... args) {
    ::new (static_cast<void*>(place)) U(std::forward<TArgs>(args)...);
  }

  friend bool operator==(const TPageAllocator&, const TPageAllocator&) noexcept { return true; }
};

template <class T>
using TPageVector = std::vector<T, TPageAllocator<T>>;
