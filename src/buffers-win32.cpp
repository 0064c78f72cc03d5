// Large byte buffers on Windows.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform-win32.h"
#include "byte_buffer.h"

namespace brevok {

namespace {

// Most are filled whole and committed at once. The request
// buffer may grow to the largest request but usually holds a few bytes:
// it reserves address space for all of it, and memory is committed as the
// request arrives, so that its 128 MiB count against the system's commit
// limit only as far as a request fills them.

constexpr std::size_t kLargeThreshold = std::size_t(4) << 20;

struct Reservation {
  std::uintptr_t base = 0;
  std::size_t size = 0;
};
// One thread; at most a few reserved buffers are alive at once.
Reservation g_reservations[4];

Reservation* reservation_of(std::uintptr_t address) {
  for (Reservation& r : g_reservations) {
    if (r.base != 0 && address >= r.base && address - r.base < r.size) return &r;
  }
  return nullptr;
}

}  // namespace

char* allocate_bytes(std::size_t size) {
  if (size < kLargeThreshold) return static_cast<char*>(std::malloc(size == 0 ? 1 : size));
  return static_cast<char*>(::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
}

char* reserve_bytes(std::size_t size, std::size_t limit) {
  if (limit < kLargeThreshold) return allocate_bytes(size);
  for (Reservation& r : g_reservations) {
    if (r.base != 0) continue;
    void* p = ::VirtualAlloc(nullptr, limit, MEM_RESERVE, PAGE_READWRITE);
    if (p == nullptr) return nullptr;
    if (::VirtualAlloc(p, size, MEM_COMMIT, PAGE_READWRITE) == nullptr) {
      ::VirtualFree(p, 0, MEM_RELEASE);
      return nullptr;
    }
    r = Reservation{reinterpret_cast<std::uintptr_t>(p), limit};
    return static_cast<char*>(p);
  }
  return allocate_bytes(size);  // no slot left: grown by copying
}

void free_bytes(char* bytes, std::size_t size) {
  if (Reservation* r = reservation_of(reinterpret_cast<std::uintptr_t>(bytes))) {
    *r = Reservation{};
  } else if (size < kLargeThreshold) {
    std::free(bytes);
    return;
  }
  ::VirtualFree(bytes, 0, MEM_RELEASE);
}

// A reserved buffer grows by committing more of its reservation; any other
// is copied.
char* resize_bytes(char* bytes, std::size_t old_size, std::size_t new_size) {
  const Reservation* r = reservation_of(reinterpret_cast<std::uintptr_t>(bytes));
  if (r != nullptr && new_size <= r->size) {
    return ::VirtualAlloc(bytes, new_size, MEM_COMMIT, PAGE_READWRITE) == nullptr ? nullptr : bytes;
  }
  if (r == nullptr && old_size < kLargeThreshold && new_size < kLargeThreshold) {
    return static_cast<char*>(std::realloc(bytes, new_size == 0 ? 1 : new_size));
  }
  char* bigger = allocate_bytes(new_size);
  if (bigger == nullptr) return nullptr;
  if (old_size != 0) std::memcpy(bigger, bytes, old_size);
  free_bytes(bytes, old_size);
  return bigger;
}

}  // namespace brevok
