// Large byte buffers on Windows.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform-win32.h"
#include "byte_buffer.h"

namespace brevok {

namespace {

// A large buffer is a reservation of address space of which only what it
// holds is committed: growing within the reservation commits more of it and
// never moves a byte. Address space is not charged against the system's
// commit limit, memory only as far as it is committed, so the request
// buffer's 128 MiB count only as far as a request fills them. A buffer that
// knows what it may grow to (the request's limit, the size a file claims)
// reserves that much; any other reserves room to double once (a file read
// whole that grew since its size was taken). Past its reservation a buffer
// is copied into a new one.

constexpr std::size_t kLargeThreshold = std::size_t(4) << 20;
// No reservation is larger, whatever a file claims: a buffer that grows
// past it is copied.
constexpr std::size_t kMaxReservation = std::size_t(4) << 30;

struct Reservation {
  std::uintptr_t base = 0;
  std::size_t size = 0;
};
// One thread; a request, a file's content and its replacement are the
// most alive at once.
Reservation g_reservations[8];

Reservation* reservation_of(std::uintptr_t address) {
  for (Reservation& r : g_reservations) {
    if (r.base != 0 && address >= r.base && address - r.base < r.size) return &r;
  }
  return nullptr;
}

// `size` bytes of memory, not reserved beyond them.
char* allocate_plain(std::size_t size) {
  if (size < kLargeThreshold) return static_cast<char*>(std::malloc(size == 0 ? 1 : size));
  return static_cast<char*>(::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
}

// `size` committed bytes at the start of `reserved` bytes of address space.
char* allocate_reserved(std::size_t size, std::size_t reserved) {
  reserved = std::min(std::max(size, reserved), std::max(size, kMaxReservation));
  if (reserved < kLargeThreshold) return allocate_plain(size);
  for (Reservation& r : g_reservations) {
    if (r.base != 0) continue;
    void* p = ::VirtualAlloc(nullptr, reserved, MEM_RESERVE, PAGE_READWRITE);
    if (p == nullptr) return nullptr;
    if (size != 0 && ::VirtualAlloc(p, size, MEM_COMMIT, PAGE_READWRITE) == nullptr) {
      ::VirtualFree(p, 0, MEM_RELEASE);
      return nullptr;
    }
    r = Reservation{reinterpret_cast<std::uintptr_t>(p), reserved};
    return static_cast<char*>(p);
  }
  return allocate_plain(size);  // no slot left: grown by copying
}

}  // namespace

char* allocate_bytes(std::size_t size) {
  if (size < kLargeThreshold) return allocate_plain(size);
  return allocate_reserved(size, size <= SIZE_MAX / 2 ? size * 2 : size);
}

char* reserve_bytes(std::size_t size, std::size_t limit) { return allocate_reserved(size, limit); }

void free_bytes(char* bytes, std::size_t size) {
  if (Reservation* r = reservation_of(reinterpret_cast<std::uintptr_t>(bytes))) {
    *r = Reservation{};
  } else if (size < kLargeThreshold) {
    std::free(bytes);
    return;
  }
  ::VirtualFree(bytes, 0, MEM_RELEASE);
}

// Within its reservation a buffer commits what it grows to; one that
// shrinks keeps its pages committed until it is released. Any other is
// reallocated (small) or copied.
char* resize_bytes(char* bytes, std::size_t old_size, std::size_t new_size) {
  const Reservation* r = reservation_of(reinterpret_cast<std::uintptr_t>(bytes));
  if (r != nullptr && new_size <= r->size) {
    if (new_size <= old_size) return bytes;
    return ::VirtualAlloc(bytes, new_size, MEM_COMMIT, PAGE_READWRITE) == nullptr ? nullptr : bytes;
  }
  if (r == nullptr && old_size < kLargeThreshold && new_size < kLargeThreshold) {
    return static_cast<char*>(std::realloc(bytes, new_size == 0 ? 1 : new_size));
  }
  char* moved = allocate_bytes(new_size);
  if (moved == nullptr) return nullptr;
  std::memcpy(moved, bytes, std::min(old_size, new_size));
  free_bytes(bytes, old_size);
  return moved;
}

}  // namespace brevok
