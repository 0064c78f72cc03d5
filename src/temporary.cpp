#include "temporary.h"

namespace brevok {

Result<Temporary> Temporary::create(Platform& platform, DirHandle dir, std::string name, const FileMeta* replacing) {
  // No ending signal may fall between the creation and the registration:
  // it would leave the file behind.
  platform.block_ending_signals();
  auto file = platform.create_exclusive_at(dir, name, replacing);
  if (file) platform.register_temporary(dir, name);
  platform.unblock_ending_signals();
  if (!file) return std::unexpected(std::move(file.error()));
  return Temporary(platform, dir, std::move(name), *file);
}

Temporary::Temporary(Temporary&& o) noexcept
    : platform_(o.platform_), dir_(o.dir_), name_(std::move(o.name_)), file_(o.file_), kept_(o.kept_) {
  o.platform_ = nullptr;
}

Temporary::~Temporary() {
  if (platform_ == nullptr) return;
  if (!kept_) (void)platform_->remove_at(dir_, file_, name_);
  platform_->forget_temporary();
  platform_->close(file_);
}

Result<void> Temporary::keep(const std::string& target) {
  if (auto r = platform_->rename_at(dir_, file_, name_, target); !r) return r;
  kept_ = true;
  platform_->forget_temporary();
  return {};
}

}  // namespace brevok
