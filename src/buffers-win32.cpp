// Large byte buffers on Windows.
#include <cstdint>
#include <cstdlib>

#include "platform-win32.h"
#include "byte_buffer.h"

namespace brevok {

namespace {

// Most are filled whole and committed at once. The request
// buffer is sized for the largest request but usually holds a few bytes:
// it only reserves address space, and memory is committed as the request
// arrives, so that its 128 MiB count against the system's commit limit
// only as far as a request fills them.

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

char* reserve_bytes(std::size_t size) {
  if (size < kLargeThreshold) return allocate_bytes(size);
  for (Reservation& r : g_reservations) {
    if (r.base != 0) continue;
    void* p = ::VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_READWRITE);
    if (p == nullptr) return nullptr;
    r = Reservation{reinterpret_cast<std::uintptr_t>(p), size};
    return static_cast<char*>(p);
  }
  return allocate_bytes(size);  // no slot left: committed like any other
}

bool commit_bytes(char* bytes, std::size_t size) {
  if (size == 0 || reservation_of(reinterpret_cast<std::uintptr_t>(bytes)) == nullptr) return true;
  return ::VirtualAlloc(bytes, size, MEM_COMMIT, PAGE_READWRITE) != nullptr;
}

void free_bytes(char* bytes, std::size_t size) {
  if (size < kLargeThreshold) {
    std::free(bytes);
    return;
  }
  if (Reservation* r = reservation_of(reinterpret_cast<std::uintptr_t>(bytes))) *r = Reservation{};
  ::VirtualFree(bytes, 0, MEM_RELEASE);
}

}  // namespace brevok
