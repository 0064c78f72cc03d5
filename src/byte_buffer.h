// Large byte buffers (requests, file contents) and their owner. Each
// platform's buffers-*.cpp provides the allocation functions.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>

#include "error.h"

namespace brevok {

// Large byte buffers (requests, file contents). They are left uninitialised
// so that untouched pages cost nothing, and are backed by huge pages where
// the system offers them. nullptr when memory is exhausted.
char* allocate_bytes(std::size_t size);
// The same for a buffer that will grow, probably up to `limit` bytes (the
// request buffer, a preview of a file of that size). Where the system
// charges memory when it is promised rather than when it is touched,
// address space for `limit` (within a bound) is reserved and only `size`
// bytes are made ready; elsewhere it is allocate_bytes(size).
char* reserve_bytes(std::size_t size, std::size_t limit);
// Gives a buffer of either kind room for `new_size` bytes, more or fewer
// than its `old_size`, keeping its first min(old_size, new_size) bytes, in
// place where the system allows it (large buffers are remapped or committed
// further, small ones reallocated). nullptr when memory is exhausted; the
// buffer is then untouched.
char* resize_bytes(char* bytes, std::size_t old_size, std::size_t new_size);
// Releases a buffer of either kind.
void free_bytes(char* bytes, std::size_t size);

// Owner of one buffer from allocate_bytes, with a fill count.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(ByteBuffer&& o) noexcept : data_(o.data_), capacity_(o.capacity_), size_(o.size_) {
    o.data_ = nullptr;
    o.capacity_ = o.size_ = 0;
  }
  ByteBuffer& operator=(ByteBuffer&& o) noexcept {
    if (this != &o) {
      release();
      data_ = o.data_;
      capacity_ = o.capacity_;
      size_ = o.size_;
      o.data_ = nullptr;
      o.capacity_ = o.size_ = 0;
    }
    return *this;
  }
  ~ByteBuffer() { release(); }

  // Gives room for `capacity` bytes, dropping the content. `limit`, when
  // given: what it will probably grow to (see reserve_bytes).
  Result<void> allocate(std::size_t capacity, std::size_t limit = 0) {
    release();
    if (capacity == 0) return {};
    data_ = limit > capacity ? reserve_bytes(capacity, limit) : allocate_bytes(capacity);
    if (data_ == nullptr) return out_of_memory();
    capacity_ = capacity;
    return {};
  }
  // Gives room for `capacity` bytes, keeping the first size() bytes (no
  // more than fit) where they are when the system allows it.
  Result<void> grow(std::size_t capacity) {
    if (data_ == nullptr) return allocate(capacity);
    char* resized = resize_bytes(data_, capacity_, capacity);
    if (resized == nullptr) return out_of_memory();
    data_ = resized;
    capacity_ = capacity;
    size_ = std::min(size_, capacity);
    return {};
  }
  char* data() { return data_; }
  const char* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  void set_size(std::size_t n) { size_ = n; }
  std::string_view view() const { return {data_ == nullptr ? "" : data_, size_}; }

 private:
  static std::unexpected<Error> out_of_memory() { return fail("out of memory"); }
  void release() {
    if (data_ != nullptr) free_bytes(data_, capacity_);
    data_ = nullptr;
    capacity_ = size_ = 0;
  }
  char* data_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
};

}  // namespace brevok
