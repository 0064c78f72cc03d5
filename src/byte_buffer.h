// Large byte buffers (requests, file contents) and their owner. Each
// platform's buffers-*.cpp provides the allocation functions.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

#include "error.h"

namespace brevok {

// Large byte buffers (requests, file contents). They are left uninitialised
// so that untouched pages cost nothing, and are backed by huge pages where
// the system offers them. nullptr when memory is exhausted.
char* allocate_bytes(std::size_t size);
// The same for a buffer that may stay mostly empty (the request buffer):
// where the system charges memory when it is promised rather than when it
// is touched, only address space is taken, and each part must be made
// ready with commit_bytes before anything is written into it.
char* reserve_bytes(std::size_t size);
// Makes [bytes, bytes + size) of a reserved buffer ready to be written;
// false when memory is exhausted.
bool commit_bytes(char* bytes, std::size_t size);
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

  // Gives room for `capacity` bytes, dropping the content. `reserve_only`:
  // see reserve_bytes.
  Result<void> allocate(std::size_t capacity, bool reserve_only = false) {
    release();
    if (capacity == 0) return {};
    data_ = reserve_only ? reserve_bytes(capacity) : allocate_bytes(capacity);
    if (data_ == nullptr) return out_of_memory();
    capacity_ = capacity;
    return {};
  }
  // Gives room for `capacity` bytes (no less than now), keeping the first
  // size() bytes.
  Result<void> grow(std::size_t capacity) {
    ByteBuffer bigger;
    if (auto r = bigger.allocate(capacity); !r) return r;
    if (size_ != 0) std::memcpy(bigger.data_, data_, size_);
    bigger.size_ = size_;
    *this = std::move(bigger);
    return {};
  }
  // Makes [offset, offset + size) of a reserved buffer ready to be written.
  Result<void> commit(std::size_t offset, std::size_t size) {
    if (!commit_bytes(data_ + offset, size)) return out_of_memory();
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
