// A temporary file beside its target: created exclusively, written through
// its own handle, then either kept by a rename onto the target or removed.
// Where the system renames and removes an open file (Windows) that is
// done through the handle; elsewhere the name is used only for that, in
// the directory the file was created in.
#pragma once

#include <string>
#include <string_view>

#include "error.h"
#include "platform.h"

namespace brevok {

class Temporary {
 public:
  // Creates `name` in `dir` (which must outlive the temporary), private
  // when it is to replace `replacing`. Until it is kept or removed, a
  // signal that ends the agent removes it first.
  static Result<Temporary> create(Platform& platform, DirHandle dir, std::string name, const FileMeta* replacing);

  Temporary(Temporary&& o) noexcept;
  Temporary& operator=(Temporary&&) = delete;
  // Removes the file unless it was kept (one attempt), then closes it.
  ~Temporary();

  // What the file `target` in the same directory (described by `existing`)
  // had, before the first byte.
  Result<void> set_permissions(const std::string& target, const FileMeta& existing) {
    return platform_->set_permissions(file_, dir_, target, existing);
  }
  Result<void> restore_set_id(const FileMeta& existing) { return platform_->restore_set_id(file_, existing); }
  Result<void> write_all(std::string_view bytes) { return platform_->write_all(file_, bytes.data(), bytes.size()); }
  Result<void> sync() { return platform_->sync(file_); }
  // Renames the temporary onto `target` in its directory, replacing it in
  // one step; from then on the file is no longer removed.
  Result<void> keep(const std::string& target);
  // The open file, which stays the written file after the rename.
  FileHandle handle() const { return file_; }

 private:
  Temporary(Platform& platform, DirHandle dir, std::string name, FileHandle file)
      : platform_(&platform), dir_(dir), name_(std::move(name)), file_(file) {}
  Platform* platform_;
  DirHandle dir_;
  std::string name_;
  FileHandle file_;
  bool kept_ = false;
};

}  // namespace brevok
