#include "operations.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>

#include "remote_fs.h"
#include "text_scan.h"

namespace brevok {

namespace {

FileAgentResponse success(std::string_view operation) {
  FileAgentResponse r;
  r.ok = true;
  r.operation = std::string(operation);
  return r;
}

}  // namespace

// ---------------------------------------------------------------------------
// readPreview

namespace {

// Reads are made in pieces of at most this size.
constexpr std::size_t kPreviewChunk = std::size_t(2) << 20;
// The preview's buffer starts at this size and doubles whenever the bytes
// up to the cut need more. The size the open file claims only caps a step
// (at one byte more, so that the end is seen without another): it may be
// far larger than the preview (a log of many gigabytes previewed for a few
// lines) or simply wrong.
constexpr std::size_t kPreviewFirstBuffer = 64 * 1024;

// The start of a file as a preview read it.
struct PreviewPrefix {
  ByteBuffer shown;      // the bytes the preview shows (its size), perhaps with more read after them
  std::size_t read = 0;  // bytes read from the file
  bool binary = false;   // a NUL among the first PREVIEW_PROBE_BYTES
  bool at_end = false;   // the file ended within those bytes
};

// Reads the file from its start until the bytes read hold the end of line
// `wanted` (0: nothing is shown) and the probe's PREVIEW_PROBE_BYTES, or
// until its end: no further than the read that settles both.
// `claimed`: the file's size as the open file reports it, 0 when unknown.
Result<PreviewPrefix> read_preview_prefix(RemoteFileReader& reader, const NativePath& path, std::uint64_t wanted,
                                          std::uint64_t claimed) {
  std::optional<std::size_t> cut;
  if (wanted == 0) cut = 0;

  // Its steps end at the claimed size plus one, which is what it reserves
  // where a buffer grows in place only within a reservation (Windows).
  ByteBuffer kept;
  const std::size_t expected = claimed < SIZE_MAX / 2 ? static_cast<std::size_t>(claimed) + 1 : SIZE_MAX / 2;
  if (!kept.allocate(kPreviewFirstBuffer, expected)) return std::unexpected(out_of_memory_reading(path));
  // Where a read goes once the buffer is full and the claimed size says the
  // file ends there (or is wrong): only bytes that turn up there make it
  // grow, so a file that ends exactly at the buffer's end never doubles it
  // for nothing.
  ByteBuffer spare;
  std::size_t len = 0;
  std::size_t counted = 0;  // kept bytes searched for line feeds
  bool binary = false;
  bool probed = false;
  bool at_end = false;

  while (!(cut && probed)) {
    if (len == kept.capacity() && claimed >= len) {
      const std::size_t step = claimed - len <= len ? static_cast<std::size_t>(claimed) + 1 : len * 2;
      kept.set_size(len);
      if (len > SIZE_MAX / 2 || !kept.grow(step)) return std::unexpected(out_of_memory_reading(path));
    }
    const bool full = len == kept.capacity();
    if (full && spare.capacity() == 0 && !spare.allocate(kPreviewFirstBuffer)) {
      return std::unexpected(out_of_memory_reading(path));
    }
    char* into = full ? spare.data() : kept.data() + len;
    auto n = reader.read(into, full ? spare.capacity() : std::min(kept.capacity() - len, kPreviewChunk));
    if (!n) return std::unexpected(std::move(n.error()));
    if (*n == 0) {
      at_end = true;
      break;
    }
    if (full) {
      // len is at least the spare's size, so twice len holds both.
      kept.set_size(len);
      if (len > SIZE_MAX / 2 || !kept.grow(len * 2)) return std::unexpected(out_of_memory_reading(path));
      std::memcpy(kept.data() + len, spare.data(), *n);
    }
    len += *n;
    // Line feeds are looked for only once enough bytes wait for the
    // wanted one to be among them: a preview asking for more lines than
    // the file has bytes (the whole file) never counts at all.
    if (!cut && len - counted >= wanted) {
      NthLineFeed found = find_nth_line_feed(std::string_view(kept.data() + counted, len - counted), wanted);
      if (found.after) {
        cut = counted + *found.after;
      } else {
        wanted = found.still_wanted;
      }
      counted = len;
    }
    if (!probed && len >= PREVIEW_PROBE_BYTES) {
      probed = true;
      binary = std::memchr(kept.data(), 0, PREVIEW_PROBE_BYTES) != nullptr;
      if (binary) cut = 0;
    }
  }
  if (!probed) binary = len > 0 && std::memchr(kept.data(), 0, std::min(len, PREVIEW_PROBE_BYTES)) != nullptr;
  kept.set_size(cut.value_or(len));
  return PreviewPrefix{.shown = std::move(kept), .read = len, .binary = binary, .at_end = at_end};
}

// The size of a file of which the first `len` bytes have been read, its end
// not yet met.
Result<std::uint64_t> whole_file_size(RemoteFileReader& reader, const NativePath& path, std::size_t len) {
  // The size as the open file reports it now. A file that grows or shrinks
  // meanwhile gives its length at this moment, as true as one counted to
  // the end. Pseudo-files report 0, a page or a size of their own making,
  // and a size below what was read is plainly not the length: those are
  // counted to the end.
  auto now = reader.stat();
  if (!now) return std::unexpected(std::move(now.error()));
  if (now->size_exact && now->size != 0 && now->size >= len) return now->size;
  ByteBuffer rest;
  if (!rest.allocate(kPreviewChunk)) return std::unexpected(out_of_memory_reading(path));
  std::uint64_t size = len;
  for (;;) {
    auto n = reader.read(rest.data(), rest.capacity());
    if (!n) return std::unexpected(std::move(n.error()));
    if (*n == 0) return size;
    size += *n;
  }
}

}  // namespace

// The file is read up to the cut (and at least the probe), and no further
// where it can be helped: the size of the rest comes from the open file
// once the bytes read have settled the answer. Only where that size cannot
// be trusted is the rest read and counted.
Result<FileAgentResponse> read_preview(Platform& platform, const FileAgentRequest& request) {
  auto target = resolve_remote_target(platform, request.path);
  if (!target) return std::unexpected(std::move(target.error()));
  const NativePath& path = target->path();
  auto file = open_remote_file(platform, *target, NameUse::kRead);
  if (!file) return std::unexpected(std::move(file.error()));
  auto prefix = read_preview_prefix(file->reader, path, preview_end_line(request.offset, request.limit),
                                    file->meta.size_exact ? file->meta.size : 0);
  if (!prefix) return std::unexpected(std::move(prefix.error()));
  auto size = prefix->at_end ? Result<std::uint64_t>(prefix->read) : whole_file_size(file->reader, path, prefix->read);
  if (!size) return std::unexpected(std::move(size.error()));

  FileAgentResponse r = success("readPreview");
  r.bytes = *size;
  r.total_bytes = *size;
  r.binary = prefix->binary;
  if (!prefix->binary) r.data = std::move(prefix->shown);
  return r;
}

// ---------------------------------------------------------------------------
// write

Result<FileAgentResponse> write_file(Platform& platform, const FileAgentRequest& request) {
  auto target = resolve_remote_target(platform, request.path);
  if (!target) return std::unexpected(std::move(target.error()));
  auto existing = stat_remote_target(platform, *target);
  if (!existing) return std::unexpected(std::move(existing.error()));
  auto installed = install_remote_file(platform, *target, request.content,
                                       {.create_dirs = request.create_dirs, .existing = std::move(*existing)});
  if (!installed) return std::unexpected(std::move(installed.error()));
  FileAgentResponse r = success("write");
  r.bytes = *installed;
  return r;
}

// ---------------------------------------------------------------------------
// edit

Result<FileAgentResponse> edit_file(Platform& platform, const FileAgentRequest& request) {
  auto target = resolve_remote_target(platform, request.path);
  if (!target) return std::unexpected(std::move(target.error()));
  const NativePath& path = target->path();
  auto file = read_remote_file(platform, *target);
  if (!file) return std::unexpected(std::move(file.error()));
  if (request.old_string.empty()) return fail("oldString must not be empty");

  auto out_of_memory = [&] { return fail("out of memory editing remote file " + display_path(path)); };
  std::string_view old_content = file->content.view();
  // One pass counts the occurrences and keeps the few the diff shows; the
  // replacement searches again. Nothing grows with their number.
  std::uint64_t count = 0;
  std::uint64_t first[EDIT_DIFF_MAX_CHANGES];
  auto searched = for_each_occurrence(old_content, request.old_string, [&](std::size_t at) {
    if (count < EDIT_DIFF_MAX_CHANGES) first[count] = at;
    ++count;
  });
  if (!searched) return out_of_memory();
  if (count == 0) return fail("oldString not found in remote file");
  if (count >= 2 && !request.replace_all) {
    return fail("oldString is not unique (found " + std::to_string(count) + " occurrences); set replaceAll=true");
  }
  const std::size_t shown = count < EDIT_DIFF_MAX_CHANGES ? static_cast<std::size_t>(count) : EDIT_DIFF_MAX_CHANGES;
  EditDiff diff = build_edit_diff(old_content, std::span<const std::uint64_t>(first, shown), count, request.old_string,
                                  request.new_string);
  // When nothing grows, the new content is made in the old one's place:
  // no second buffer of the file's size to fill.
  ByteBuffer fresh;
  if (request.new_string.size() <= request.old_string.size()) {
    auto size = replace_occurrences_in_place(file->content.data(), file->content.size(), request.old_string,
                                             request.new_string);
    if (!size) return out_of_memory();
    file->content.set_size(*size);
    fresh = std::move(file->content);
  } else {
    auto built = replace_occurrences(old_content, request.old_string, request.new_string, count);
    if (!built) return out_of_memory();
    fresh = std::move(*built);
    // The old content has served its purpose; let it go before the install
    // reads the new file back.
    file->content = ByteBuffer();
  }

  auto installed = install_remote_file(platform, *target, fresh.view(),
                                       {.existing = std::move(file->meta), .expect_unchanged = true});
  if (!installed) return std::unexpected(std::move(installed.error()));
  FileAgentResponse r = success("edit");
  r.replacements = count;
  r.bytes = *installed;
  r.diff = std::move(diff);
  return r;
}

}  // namespace brevok
