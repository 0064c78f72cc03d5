// Large byte buffers on POSIX systems, and the standard library's large
// allocations on the same kind of pages.
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "byte_buffer.h"

namespace brevok {

namespace {

constexpr std::size_t kHugeThreshold = std::size_t(4) << 20;
constexpr std::size_t kHugePage = std::size_t(2) << 20;
constexpr std::size_t kPage = 4096;
// The first bytes of a large buffer stay on ordinary pages: a buffer sized
// for the worst case (the request buffer) that receives a few bytes then
// costs a page or two, not a whole huge page.
constexpr std::size_t kSmallHead = std::size_t(256) << 10;

std::uintptr_t align_up(std::uintptr_t v, std::size_t to) { return (v + to - 1) / to * to; }

// Fresh pages cost a fault each, and on a virtual machine a costly one;
// huge pages cut the faults of a large buffer by a factor of 512.
void advise_huge_pages(std::uintptr_t begin, std::uintptr_t end) {
#ifdef MADV_HUGEPAGE
  begin = align_up(begin, kHugePage);
  end = end / kHugePage * kHugePage;
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)begin;
  (void)end;
#endif
}

}  // namespace

char* allocate_bytes(std::size_t size) {
  if (size < kHugeThreshold) return static_cast<char*>(std::malloc(size == 0 ? 1 : size));
  // One huge page more is mapped than asked for, so that the buffer can be
  // placed with its small head ending on a huge-page boundary; the spare
  // ends are given back at once.
  if (size > SIZE_MAX - 2 * kHugePage) return nullptr;
  const std::size_t span = align_up(size, kPage) + kHugePage;
  void* raw = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto first = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t start = align_up(first + kSmallHead, kHugePage) - kSmallHead;
  const std::uintptr_t end = start + align_up(size, kPage);
  if (start > first) ::munmap(raw, start - first);
  if (first + span > end) ::munmap(reinterpret_cast<void*>(end), first + span - end);
  advise_huge_pages(start + kSmallHead, end);
  return reinterpret_cast<char*>(start);
}

void free_bytes(char* bytes, std::size_t size);

// Untouched pages of a mapping cost nothing here, and a mapping grows in
// place: nothing is reserved ahead.
char* reserve_bytes(std::size_t size, std::size_t) { return allocate_bytes(size); }

// A mapping of allocate_bytes is two ranges that the system keeps apart:
// its small head and the rest, advised for huge pages. One call of mremap
// moves or stretches only what lies in one such range, so each is handled
// on its own. A mapping that shrinks gives back the pages past its new end;
// one that shrinks below the threshold is copied to malloc's memory, where
// free_bytes then looks for a buffer of that size.
char* resize_bytes(char* bytes, std::size_t old_size, std::size_t new_size) {
  if (new_size < kHugeThreshold && old_size < kHugeThreshold) {
    return static_cast<char*>(std::realloc(bytes, new_size == 0 ? 1 : new_size));
  }
  if (new_size < kHugeThreshold) {
    char* smaller = allocate_bytes(new_size);
    if (smaller == nullptr) return nullptr;
    if (new_size != 0) std::memcpy(smaller, bytes, new_size);
    free_bytes(bytes, old_size);
    return smaller;
  }
  if (old_size < kHugeThreshold) {
    char* bigger = allocate_bytes(new_size);
    if (bigger == nullptr) return nullptr;
    if (old_size != 0) std::memcpy(bigger, bytes, old_size);
    std::free(bytes);
    return bigger;
  }
  if (new_size > SIZE_MAX - 2 * kHugePage) return nullptr;
  const std::size_t old_span = align_up(old_size, kPage);
  const std::size_t new_span = align_up(new_size, kPage);
  if (new_span <= old_span) {
    if (new_span < old_span) ::munmap(bytes + new_span, old_span - new_span);
    return bytes;
  }
#ifndef MREMAP_MAYMOVE
  char* copy = allocate_bytes(new_size);
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, bytes, old_size);
  free_bytes(bytes, old_size);
  return copy;
#else
  char* const tail = bytes + kSmallHead;
  // In place: the rest stretches over the free address space after it.
  void* same = ::mremap(tail, old_span - kSmallHead, new_span - kSmallHead, 0);
  if (same != MAP_FAILED) {
    advise_huge_pages(reinterpret_cast<std::uintptr_t>(tail), reinterpret_cast<std::uintptr_t>(bytes + new_span));
    return bytes;
  }
  // Elsewhere: a fresh mapping of the new size, placed as allocate_bytes
  // places it, receives both ranges' pages, which keep their offsets (and
  // so their huge pages).
  char* bigger = allocate_bytes(new_size);
  if (bigger == nullptr) return nullptr;
  if (::mremap(tail, old_span - kSmallHead, old_span - kSmallHead, MREMAP_MAYMOVE | MREMAP_FIXED,
               bigger + kSmallHead) == MAP_FAILED) {
    ::munmap(bigger, new_span);
    return nullptr;
  }
  if (::mremap(bytes, kSmallHead, kSmallHead, MREMAP_MAYMOVE | MREMAP_FIXED, bigger) == MAP_FAILED) {
    std::memcpy(bigger, bytes, kSmallHead);  // a small head is copied as well
    ::munmap(bytes, kSmallHead);
  }
  return bigger;
#endif
}

void free_bytes(char* bytes, std::size_t size) {
  if (size < kHugeThreshold) {
    std::free(bytes);
  } else {
    ::munmap(bytes, size);
  }
}

}  // namespace brevok

// Large allocations of the standard library (the decoded strings of a
// request) come from malloc's own mappings;
// the same advice spares them a fault per ordinary page. Everything else is
// plain malloc, which the default operator delete matches. (The address
// sanitizer keeps its own, which must stay paired with its delete. GCC
// announces it with __SANITIZE_ADDRESS__, clang through __has_feature.)
#if defined(__SANITIZE_ADDRESS__)
#define BREVOK_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BREVOK_ADDRESS_SANITIZER 1
#endif
#endif
#ifndef BREVOK_ADDRESS_SANITIZER
void* operator new(std::size_t size) {
  for (;;) {
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
      if (size >= brevok::kHugeThreshold) {
        const auto begin = reinterpret_cast<std::uintptr_t>(p);
        brevok::advise_huge_pages(begin, begin + size);
      }
      return p;
    }
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}

void* operator new[](std::size_t size) { return ::operator new(size); }
#endif
