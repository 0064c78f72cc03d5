#include "remote_fs.h"

#include <algorithm>

#include "temporary.h"
#include "utf8.h"

namespace brevok {

// ---------------------------------------------------------------------------
// Resolution and reading

Result<NativePath> expand_remote_path(Platform& platform, std::string_view request_path) {
  bool tilde = request_path == "~" || (request_path.size() >= 2 && request_path[0] == '~' && request_path[1] == '/');
  if (!tilde) return NativePath(request_path);
  std::optional<std::string> home = platform.home();
  if (!home) return fail("remote HOME is not set");
  if (request_path.size() == 1) return *home;
  return join_path(*home, request_path.substr(2));
}

Result<RemoteTarget> RemoteTarget::resolve(Platform& platform, NativePath path) {
  RemoteTarget target(platform, std::move(path));
  const NativePath& p = target.path_;
  if (auto name = path_file_name(p)) {
    target.parent_ = NativePath(path_parent(p));
    // With the separators after it, if any: they ask for a directory, and
    // the system's own "not a directory" for a file stays the answer.
    target.name_ = std::string(p.substr(static_cast<std::size_t>(name->data() - p.data())));
  } else {
    // A root, or a path ending in "." or "..": the directory itself.
    target.parent_ = p;
    target.name_ = std::string(1, '.');
  }
  auto dir = platform.open_directory(target.parent_, DirectoryWalk::kExisting);
  if (dir) {
    target.dir_ = *dir;
  } else if (dir.error().is_not_found()) {
    target.missing_ = std::move(dir.error());
  } else {
    return fail(std::move(dir.error()), "stating remote file " + display_path(target.path_));
  }
  return target;
}

Result<RemoteTarget> resolve_remote_target(Platform& platform, std::string_view request_path) {
  auto path = expand_remote_path(platform, request_path);
  if (!path) return std::unexpected(std::move(path.error()));
  return RemoteTarget::resolve(platform, std::move(*path));
}

RemoteTarget::RemoteTarget(RemoteTarget&& o) noexcept
    : platform_(o.platform_), path_(std::move(o.path_)), parent_(std::move(o.parent_)), name_(std::move(o.name_)),
      dir_(o.dir_), missing_(std::move(o.missing_)) {
  o.dir_.reset();
}

RemoteTarget::~RemoteTarget() {
  if (dir_) platform_->close_directory(*dir_);
}

Result<void> RemoteTarget::create_directories() {
  if (dir_) return {};
  auto dir = platform_->open_directory(parent_, DirectoryWalk::kCreateMissing);
  if (!dir) return std::unexpected(std::move(dir.error()));
  dir_ = *dir;
  return {};
}

namespace {

// The checks every target gets once its metadata is known.
Result<void> check_target(const NativePath& path, const FileMeta& meta) {
  if (meta.is_directory) return fail("path is a directory: " + display_path(path));
  // Replacing a device, FIFO or socket by a regular file, or reading one
  // that never ends or never answers, is never what was asked for.
  if (!meta.is_regular) return fail("path is not a regular file: " + display_path(path));
  return {};
}

}  // namespace

Result<std::optional<FileMeta>> stat_remote_target(Platform& platform, const RemoteTarget& target) {
  auto meta = target.has_directory() ? platform.stat_at(target.directory(), target.name(), NameUse::kReplace)
                                     : Result<FileMeta>(std::unexpected(target.missing()));
  if (!meta) {
    if (meta.error().is_not_found()) return std::optional<FileMeta>();
    return fail(std::move(meta.error()), "stating remote file " + display_path(target.path()));
  }
  if (auto checked = check_target(target.path(), *meta); !checked) return std::unexpected(std::move(checked.error()));
  return std::optional<FileMeta>(std::move(*meta));
}

Error out_of_memory_reading(const NativePath& path) {
  return Error("out of memory reading remote file " + display_path(path));
}

Result<std::size_t> RemoteFileReader::read(char* buf, std::size_t size) {
  auto n = platform_->read(file_, buf, size);
  if (!n) return fail(std::move(n.error()), "reading remote file " + display_path(*path_));
  return n;
}

Result<FileMeta> RemoteFileReader::stat() {
  auto meta = platform_->stat_handle(file_);
  if (!meta) return fail(std::move(meta.error()), "stating remote file " + display_path(*path_));
  return meta;
}

Result<OpenRemoteFile> open_remote_file(Platform& platform, const RemoteTarget& target, NameUse use) {
  const NativePath& path = target.path();
  // Examined before anything is opened: a device or a FIFO is refused
  // without the side effects an open of it may have.
  if (!target.has_directory()) return fail(Error(target.missing()), "stating remote file " + display_path(path));
  auto examined = platform.stat_at(target.directory(), target.name(), use);
  if (!examined) return fail(std::move(examined.error()), "stating remote file " + display_path(path));
  if (auto checked = check_target(path, *examined); !checked) return std::unexpected(std::move(checked.error()));
  auto file = platform.open_read_at(target.directory(), target.name(), use);
  if (!file) return fail(std::move(file.error()), "reading remote file " + display_path(path));
  RemoteFileReader reader(platform, path, *file);
  auto meta = reader.stat();
  if (!meta) return std::unexpected(std::move(meta.error()));
  // Another file put in its place since it was examined.
  if (meta->device != examined->device || meta->inode != examined->inode) {
    return fail("stating remote file " + display_path(path));
  }
  if (auto checked = check_target(path, *meta); !checked) return std::unexpected(std::move(checked.error()));
  // The same file: its access list, read once when it was examined.
  meta->access_acl = std::move(examined->access_acl);
  return OpenRemoteFile{std::move(*meta), std::move(reader)};
}

namespace {
// One read call asks for at most this much, which every platform accepts.
constexpr std::size_t kMaxReadCall = std::size_t(1) << 30;
}  // namespace

Result<RemoteFile> read_remote_file(Platform& platform, const RemoteTarget& target) {
  auto open = open_remote_file(platform, target, NameUse::kReplace);
  if (!open) return std::unexpected(std::move(open.error()));
  const NativePath& path = target.path();
  RemoteFile file{std::move(open->meta), {}};
  RemoteFileReader& reader = open->reader;

  // Sized by the metadata, with one spare byte so that the end of the file
  // is seen without growing; a file that grew meanwhile grows the buffer.
  std::uint64_t hint = file.meta.size;
  if (hint >= SIZE_MAX / 2 || !file.content.allocate(static_cast<std::size_t>(hint) + 1)) {
    return std::unexpected(out_of_memory_reading(path));
  }
  std::size_t len = 0;
  for (;;) {
    if (len == file.content.capacity()) {
      file.content.set_size(file.content.capacity());  // all of it read so far
      if (len > SIZE_MAX / 2 || !file.content.grow(len * 2)) return std::unexpected(out_of_memory_reading(path));
    }
    auto n = reader.read(file.content.data() + len, std::min(file.content.capacity() - len, kMaxReadCall));
    if (!n) return std::unexpected(std::move(n.error()));
    if (*n == 0) break;
    len += *n;
  }
  file.content.set_size(len);
  return file;
}

// ---------------------------------------------------------------------------
// Install

std::string temporary_name(std::string_view file_name, std::uint32_t pid, std::uint64_t ns) {
  std::string suffix = ".brevok-file-agent-";
  suffix += std::to_string(pid);
  suffix += '-';
  suffix += std::to_string(ns);
  // A name that fills the file system's limit leaves no room for ours: its
  // end gives way, whole characters at a time, and the suffix that makes
  // the name unique stays whole.
  const std::size_t room = MAX_FILE_NAME_BYTES - 1 - suffix.size();
  if (file_name.size() > room) {
    std::size_t cut = room;
    while (cut > 0 && (static_cast<unsigned char>(file_name[cut]) & 0xC0) == 0x80) --cut;
    file_name = file_name.substr(0, cut);
  }
  std::string name;
  name.reserve(1 + file_name.size() + suffix.size());
  name += '.';
  name += file_name;
  name += suffix;
  return name;
}

namespace {

// Whether `now` is still the file `then` described, as it was: the same
// file, not written since. A writer can give a file its old size and
// modification time again, but not its status-change time.
bool same_file_unchanged(const FileMeta& then, const FileMeta& now) {
  return then.device == now.device && then.inode == now.inode && then.size == now.size &&
         then.modified_ns == now.modified_ns && then.changed_ns == now.changed_ns;
}

}  // namespace

namespace {

// Reads the installed file back and compares it with `content`. The name
// must hold the very file that was written: its identity is asked of the
// directory without following a link, and its bytes are read through the
// temporary's own handle, so that nothing put at the name afterwards (a
// FIFO, another file) is opened or taken for ours.
Result<void> verify_installed_file(Platform& platform, const RemoteTarget& target, const Temporary& written,
                                   std::string_view content) {
  const std::string shown = display_path(target.path());
  auto mismatch = [&](std::uint64_t at) {
    return fail("installed remote file content mismatch for " + shown + " at byte " + std::to_string(at));
  };
  auto meta = platform.stat_entry(target.directory(), target.name());
  if (!meta) return fail(std::move(meta.error()), "stating installed remote file " + shown);
  auto ours = platform.stat_handle(written.handle());
  if (!ours) return fail(std::move(ours.error()), "stating installed remote file " + shown);
  // The rename stayed in one directory, so on one volume: the file's
  // number alone tells whether the name holds ours.
  if (meta->inode != ours->inode) return mismatch(0);
  if (meta->size != content.size()) {
    return fail("installed remote file size mismatch for " + shown + ": expected " + std::to_string(content.size()) +
                " bytes, found " + std::to_string(meta->size));
  }
  ByteBuffer buf;
  if (!buf.allocate(VERIFY_BUFFER_BYTES)) return fail("out of memory verifying installed remote file " + shown);
  std::uint64_t offset = 0;
  for (;;) {
    auto n = platform.read_at(written.handle(), buf.data(), VERIFY_BUFFER_BYTES, offset);
    if (!n) return fail(std::move(n.error()), "verifying installed remote file " + shown);
    if (*n == 0) break;
    std::uint64_t end = offset + *n < offset ? UINT64_MAX : offset + *n;
    if (end > content.size() || std::string_view(buf.data(), *n) != content.substr(offset, *n)) {
      return mismatch(offset);
    }
    offset = end;
  }
  if (offset != content.size()) {
    return fail("installed remote file length changed during verification for " + shown + ": expected " +
                std::to_string(content.size()) + " bytes, read " + std::to_string(offset));
  }
  return {};
}

}  // namespace

Result<std::uint64_t> install_remote_file(Platform& platform, RemoteTarget& target, std::string_view content,
                                          const InstallOptions& options) {
  const std::string shown = display_path(target.path());
  if (options.create_dirs && !target.parent().empty()) {
    if (auto r = target.create_directories(); !r) {
      return fail(std::move(r.error()), "creating remote parent " + display_path(target.parent()));
    }
  }

  std::optional<std::string_view> name = path_file_name(target.path());
  if (!name || !is_valid_utf8(*name)) return fail("remote path must have a valid UTF-8 file name");

  std::uint64_t ns = platform.now_ns();
  std::uint32_t pid = platform.process_id();
  std::string temp_name = temporary_name(*name, pid, ns);
  const std::string temp_shown = display_path(join_path(target.parent(), temp_name));

  // A failed creation leaves nothing of ours to remove: whatever stands
  // under that name belongs to someone else. A replacement starts private
  // and takes the old file's permissions below; a new file is made as the
  // directory makes any new file, and is left so.
  if (!target.has_directory()) return fail(Error(target.missing()), "creating remote temporary " + temp_shown);
  const std::optional<FileMeta>& existing = options.existing;
  auto temp = Temporary::create(platform, target.directory(), std::move(temp_name),
                                existing ? &*existing : nullptr);
  if (!temp) return fail(std::move(temp.error()), "creating remote temporary " + temp_shown);

  // From here on a failure removes the temporary as it goes out of scope.
  // Before the first byte: nobody the old file kept out may read the new
  // content while it is being written. After the last: the set-id bits,
  // which a write by anyone but root clears. A new file is left as made.
  if (auto r = existing ? temp->set_permissions(target.name(), *existing) : Result<void>(); !r) {
    return fail(std::move(r.error()), "preserving permissions for " + shown);
  }
  if (auto r = temp->write_all(content); !r) return fail(std::move(r.error()), "writing remote temporary " + temp_shown);
  if (auto r = existing ? temp->restore_set_id(*existing) : Result<void>(); !r) {
    return fail(std::move(r.error()), "preserving permissions for " + shown);
  }
  if (auto r = temp->sync(); !r) return fail(std::move(r.error()), "syncing remote temporary " + temp_shown);

  // Another writer since our read would have its change silently undone by
  // the rename. This narrows that window to the moment below; it is no lock.
  if (options.expect_unchanged && existing) {
    auto now = platform.stat_at(target.directory(), target.name(), NameUse::kReplace);
    if (!now || !same_file_unchanged(*existing, *now)) return fail("remote file changed during edit: " + shown);
  }

  // One step that replaces the target or leaves it as it was. Nothing is
  // deleted to make room: a failure here must never cost the old file.
  if (auto r = temp->keep(target.name()); !r) return fail(std::move(r.error()), "installing remote file " + shown);
  (void)platform.sync_directory(target.directory());

  if (auto r = verify_installed_file(platform, target, *temp, content); !r) return std::unexpected(std::move(r.error()));
  return static_cast<std::uint64_t>(content.size());
}

}  // namespace brevok
