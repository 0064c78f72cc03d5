// Large byte buffers on POSIX systems, and the standard library's large
// allocations on the same kind of pages.
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
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

// Untouched pages of a mapping cost nothing here, and a touch commits them.
char* reserve_bytes(std::size_t size) { return allocate_bytes(size); }
bool commit_bytes(char*, std::size_t) { return true; }

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
