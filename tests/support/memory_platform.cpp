#include "memory_platform.h"

#include <algorithm>
#include <cstring>

namespace brevok::testing {

namespace {

Error not_found() { return Error::os("No such file or directory", true); }
Error not_a_directory() { return Error::os("Not a directory"); }
Error is_a_directory() { return Error::os("Is a directory"); }
Error exists() { return Error::os("File exists"); }
Error bad_handle() { return Error::os("Bad file descriptor"); }
Error no_space() { return Error::os("No space left on device"); }
Error invalid_argument() { return Error::os("Invalid argument"); }

std::string join_key(const std::string& dir, std::string_view name) {
  std::string key = dir;
  if (key != "/") key += '/';
  key.append(name);
  return key;
}

}  // namespace

MemoryPlatform::MemoryPlatform(std::string cwd) : cwd_(std::move(cwd)) {
  auto root = std::make_shared<Node>();
  root->directory = true;
  root->permissions = 0755;
  nodes_["/"] = root;
  if (cwd_ != "/") add_directory(cwd_);
}

std::string MemoryPlatform::parent_key(const std::string& key) {
  std::size_t slash = key.rfind('/');
  return slash == 0 ? "/" : key.substr(0, slash);
}

// Walks the path component by component the way the kernel does: every
// component but the last must be an existing directory, "." and ".." are
// looked at only inside directories, and repeated separators count once.
MemoryPlatform::Lookup MemoryPlatform::lookup(std::string_view path) const {
  Lookup out;
  if (path.empty()) {
    out.error = not_found();
    return out;
  }
  if (path.find('\0') != std::string_view::npos) {
    out.error = invalid_argument();
    return out;
  }
  std::string cur = path[0] == '/' ? "/" : cwd_;
  out.trailing_separator = path.back() == '/';
  std::size_t pos = 0;
  while (pos <= path.size()) {
    std::size_t next = path.find('/', pos);
    if (next == std::string_view::npos) next = path.size();
    std::string_view comp = path.substr(pos, next - pos);
    pos = next + 1;
    if (comp.empty()) continue;
    auto it = nodes_.find(cur);
    if (it == nodes_.end()) {
      out.error = not_found();
      return out;
    }
    if (!it->second->directory) {
      out.error = not_a_directory();
      return out;
    }
    if (comp == ".") continue;
    if (comp == "..") {
      cur = parent_key(cur);
      continue;
    }
    cur = join_key(cur, comp);
  }
  out.key = cur;
  auto it = nodes_.find(cur);
  if (it != nodes_.end()) {
    out.node = it->second;
    if (out.trailing_separator && !out.node->directory) out.error = not_a_directory();
  }
  return out;
}

std::string MemoryPlatform::normalise(std::string_view path) const { return lookup(path).key; }

std::uint64_t MemoryPlatform::used_bytes() const {
  std::uint64_t n = 0;
  for (const auto& [key, node] : nodes_) n += node->content.size();
  return n;
}

void MemoryPlatform::add_directory(std::string_view path) {
  (void)create_directories(NativePath(path));
}

void MemoryPlatform::add_file(std::string_view path, std::string_view content, std::uint32_t permissions) {
  Lookup l = lookup(path);
  auto node = std::make_shared<Node>();
  node->content = std::string(content);
  node->permissions = permissions;
  nodes_[l.key] = node;
}

std::optional<std::string> MemoryPlatform::file(std::string_view path) const {
  Lookup l = lookup(path);
  if (l.error || !l.node || l.node->directory) return std::nullopt;
  return l.node->content;
}

std::optional<std::uint32_t> MemoryPlatform::permissions(std::string_view path) const {
  Lookup l = lookup(path);
  if (l.error || !l.node) return std::nullopt;
  return l.node->permissions;
}

bool MemoryPlatform::is_directory(std::string_view path) const {
  Lookup l = lookup(path);
  return !l.error && l.node && l.node->directory;
}

std::map<std::string, std::string> MemoryPlatform::files() const {
  std::map<std::string, std::string> out;
  for (const auto& [key, node] : nodes_) {
    if (!node->directory) out[key] = node->content;
  }
  return out;
}

std::vector<std::string> MemoryPlatform::directories() const {
  std::vector<std::string> out;
  for (const auto& [key, node] : nodes_) {
    if (node->directory) out.push_back(key);
  }
  return out;
}

// --- process

Result<std::size_t> MemoryPlatform::read_stdin(char* buf, std::size_t size) {
  std::size_t n = std::min(size, stdin_data.size() - stdin_pos);
  if (n > 0) std::memcpy(buf, stdin_data.data() + stdin_pos, n);
  stdin_pos += n;
  return n;
}

Result<void> MemoryPlatform::write_stdout(const char* data, std::size_t size) {
  if (stdout_capacity && stdout_data.size() + size > *stdout_capacity) {
    stdout_data.append(data, *stdout_capacity - stdout_data.size());
    return std::unexpected(no_space());
  }
  stdout_data.append(data, size);
  return {};
}

Result<void> MemoryPlatform::write_stderr(const char* data, std::size_t size) {
  stderr_data.append(data, size);
  return {};
}

// --- file system

FileMeta MemoryPlatform::meta_of(const Node& node) {
  FileMeta meta;
  meta.is_directory = node.directory;
  meta.is_regular = !node.directory;
  meta.size = node.content.size();
  meta.permissions = node.permissions;
  meta.device = 1;
  meta.inode = reinterpret_cast<std::uintptr_t>(&node);
  meta.modified_ns = node.modified;
  return meta;
}

Result<FileMeta> MemoryPlatform::stat(const NativePath& path) {
  Lookup l = lookup(path);
  if (l.error) return std::unexpected(std::move(*l.error));
  if (!l.node) return std::unexpected(not_found());
  return meta_of(*l.node);
}

Result<FileMeta> MemoryPlatform::stat_handle(FileHandle file) {
  auto it = handles_.find(file);
  if (it == handles_.end()) {
    misuse.push_back("stat of handle " + std::to_string(file) + " that is not open");
    return std::unexpected(bad_handle());
  }
  return meta_of(*it->second.node);
}

Result<void> MemoryPlatform::create_directories(const NativePath& path) {
  if (path.empty()) return {};
  std::size_t pos = 0;
  while (pos < path.size()) {
    std::size_t next = path.find('/', pos);
    if (next == std::string::npos) next = path.size();
    if (next > pos) {
      Lookup l = lookup(std::string_view(path).substr(0, next));
      if (l.error) return std::unexpected(std::move(*l.error));
      if (l.node) {
        if (!l.node->directory) return std::unexpected(exists());
      } else {
        auto parent = nodes_.find(parent_key(l.key));
        if (parent == nodes_.end()) return std::unexpected(not_found());
        auto node = std::make_shared<Node>();
        node->directory = true;
        node->permissions = 0755;
        nodes_[l.key] = node;
      }
    }
    pos = next + 1;
  }
  return {};
}

Result<FileHandle> MemoryPlatform::create_exclusive(const NativePath& path) {
  Lookup l = lookup(path);
  if (l.node) return std::unexpected(exists());
  if (l.error) return std::unexpected(std::move(*l.error));
  if (l.trailing_separator) return std::unexpected(is_a_directory());
  auto parent = nodes_.find(parent_key(l.key));
  if (parent == nodes_.end()) return std::unexpected(not_found());
  if (!parent->second->directory) return std::unexpected(not_a_directory());
  auto node = std::make_shared<Node>();
  node->permissions = 0600;
  nodes_[l.key] = node;
  FileHandle h = next_handle_++;
  handles_[h] = Handle{node, true, 0};
  return h;
}

Result<FileHandle> MemoryPlatform::open_read(const NativePath& path) {
  Lookup l = lookup(path);
  if (l.error) return std::unexpected(std::move(*l.error));
  if (!l.node) return std::unexpected(not_found());
  if (l.node->directory) return std::unexpected(is_a_directory());
  FileHandle h = next_handle_++;
  handles_[h] = Handle{l.node, false, 0};
  return h;
}

Result<std::size_t> MemoryPlatform::read(FileHandle file, char* buf, std::size_t size) {
  auto it = handles_.find(file);
  if (it == handles_.end()) {
    misuse.push_back("read of handle " + std::to_string(file) + " that is not open");
    return std::unexpected(bad_handle());
  }
  Handle& h = it->second;
  if (h.writable) return std::unexpected(bad_handle());
  const std::string& c = h.node->content;
  std::size_t n = h.pos >= c.size() ? 0 : std::min(size, c.size() - h.pos);
  if (n > 0) std::memcpy(buf, c.data() + h.pos, n);
  h.pos += n;
  return n;
}

Result<void> MemoryPlatform::write_all(FileHandle file, const char* data, std::size_t size) {
  auto it = handles_.find(file);
  if (it == handles_.end()) {
    misuse.push_back("write to handle " + std::to_string(file) + " that is not open");
    return std::unexpected(bad_handle());
  }
  Handle& h = it->second;
  if (!h.writable) return std::unexpected(bad_handle());
  if (capacity && used_bytes() + size > *capacity) return std::unexpected(no_space());
  std::string& c = h.node->content;
  if (c.size() < h.pos + size) c.resize(h.pos + size);
  if (size > 0) std::memcpy(c.data() + h.pos, data, size);
  h.pos += size;
  ++h.node->modified;
  return {};
}

Result<void> MemoryPlatform::sync(FileHandle file) {
  if (handles_.find(file) == handles_.end()) {
    misuse.push_back("sync of handle " + std::to_string(file) + " that is not open");
    return std::unexpected(bad_handle());
  }
  return {};
}

void MemoryPlatform::close(FileHandle file) {
  if (handles_.erase(file) == 0) misuse.push_back("close of handle " + std::to_string(file) + " that is not open");
}

Result<void> MemoryPlatform::set_permissions(FileHandle file, const std::optional<FileMeta>& existing) {
  auto it = handles_.find(file);
  if (it == handles_.end()) {
    misuse.push_back("set_permissions of handle " + std::to_string(file) + " that is not open");
    return std::unexpected(bad_handle());
  }
  it->second.node->permissions = existing ? existing->permissions & 07777 : 0644;
  return {};
}

Result<void> MemoryPlatform::rename_replace(const NativePath& from, const NativePath& to) {
  Lookup src = lookup(from);
  if (src.error) return std::unexpected(std::move(*src.error));
  if (!src.node) return std::unexpected(not_found());
  Lookup dst = lookup(to);
  if (dst.error) return std::unexpected(std::move(*dst.error));
  if (dst.node == src.node) return {};
  if (dst.node && dst.node->directory && !src.node->directory) return std::unexpected(is_a_directory());
  if (!dst.node && dst.trailing_separator) return std::unexpected(not_a_directory());
  auto parent = nodes_.find(parent_key(dst.key));
  if (parent == nodes_.end()) return std::unexpected(not_found());
  if (src.node->directory) return std::unexpected(Error::os("Operation not permitted"));
  nodes_[dst.key] = src.node;
  nodes_.erase(src.key);
  return {};
}

Result<void> MemoryPlatform::remove_file(const NativePath& path) {
  Lookup l = lookup(path);
  if (l.error) return std::unexpected(std::move(*l.error));
  if (!l.node) return std::unexpected(not_found());
  if (l.node->directory) return std::unexpected(is_a_directory());
  nodes_.erase(l.key);
  return {};
}

Result<void> MemoryPlatform::sync_directory(const NativePath& directory) {
  Lookup l = lookup(directory.empty() ? std::string_view(".") : std::string_view(directory));
  if (l.error) return std::unexpected(std::move(*l.error));
  if (!l.node) return std::unexpected(not_found());
  if (!l.node->directory) return std::unexpected(not_a_directory());
  return {};
}

}  // namespace brevok::testing
