// The permissions a replacement takes over from the file it replaces: owner
// and group where the agent may keep them, the access list, the bits, and
// the set-id bits last.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "platform-posix.h"
#include "platform.h"

namespace brevok::posix {

namespace {

std::unexpected<Error> last_error() { return std::unexpected<Error>(os_error(errno)); }

// Asked of the system with its own count: a user may be in thousands of
// groups.
bool in_own_groups(gid_t group) {
  if (group == ::getegid()) return true;
  const int count = ::getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  const int n = ::getgroups(count, groups.data());
  return n > 0 && std::find(groups.begin(), groups.begin() + n, group) != groups.begin() + n;
}

// An access list in the system's encoding: a 32-bit version (2), then
// entries of a 16-bit tag, 16-bit permissions and a 32-bit id, all
// little-endian.
constexpr std::size_t kAclHeaderBytes = 4, kAclEntryBytes = 8;
constexpr unsigned kAclGroupObj = 0x04, kAclMask = 0x10;

// Takes every permission from the owning group's entry of `acl`, for a
// file whose group is no longer the one the list granted them to; the
// named entries and the mask stay, as they name the same users and groups
// as before. Tells whether the list has a mask; false for a list of
// another shape, which is not copied.
bool shut_out_owning_group(std::string& acl, bool& has_mask) {
  auto u16 = [&](std::size_t at) {
    return static_cast<unsigned>(static_cast<unsigned char>(acl[at])) |
           static_cast<unsigned>(static_cast<unsigned char>(acl[at + 1])) << 8;
  };
  if (acl.size() < kAclHeaderBytes || (acl.size() - kAclHeaderBytes) % kAclEntryBytes != 0 || u16(0) != 2 ||
      u16(2) != 0) {
    return false;
  }
  bool owning_group = false;
  has_mask = false;
  for (std::size_t at = kAclHeaderBytes; at < acl.size(); at += kAclEntryBytes) {
    if (u16(at) == kAclGroupObj) acl[at + 2] = acl[at + 3] = '\0', owning_group = true;
    has_mask = has_mask || u16(at) == kAclMask;
  }
  return owning_group;
}

}  // namespace

// All on the descriptor, so a name swapped meanwhile changes nothing. In
// this order: the owner and group, whose change would clear set-id bits;
// the access list; the bits, which set the list's owner, mask and other
// entries.
Result<void> give_permissions(int fd, const FileMeta& existing) {
  struct stat own;
  if (::fstat(fd, &own) != 0) return last_error();
  const auto owner = static_cast<uid_t>(existing.owner);
  const auto group = static_cast<gid_t>(existing.group);
  bool group_kept = own.st_gid == group;
  // Only root may give a file away; anyone may hand their own file to a
  // group they belong to. Where neither holds, the file stays ours.
  if (own.st_uid != owner || !group_kept) {
    if (::geteuid() == 0) {
      group_kept = ::fchown(fd, owner, group) == 0;
    } else if (!group_kept && in_own_groups(group)) {
      group_kept = ::fchown(fd, static_cast<uid_t>(-1), group) == 0;
    }
  }
  // Set-id bits come with restore_set_id, after the last byte.
  mode_t mode = static_cast<mode_t>(existing.permissions & 07777 & ~(S_ISUID | S_ISGID));
  std::string acl = existing.access_acl;
  if (!group_kept) {
    // The owning group's permissions were granted to the old group, not
    // to the one the file now has. With an access list the group bits
    // are its mask, which only bounds the named entries.
    bool has_mask = false;
    if (!acl.empty() && !shut_out_owning_group(acl, has_mask)) return std::unexpected<Error>(os_error(EINVAL));
    if (!has_mask) mode &= static_cast<mode_t>(~S_IRWXG);
  }
  if (acl.empty()) {
    // A list inherited from the directory's default would give others
    // access the old file did not.
    if (::fremovexattr(fd, kAccessAclName) != 0 && !no_acl_error(errno)) return last_error();
  } else if (::fsetxattr(fd, kAccessAclName, acl.data(), acl.size(), 0) != 0) {
    return last_error();
  }
  if (::fchmod(fd, mode) != 0) return last_error();
  return {};
}

// A set-id program must not start running as someone other than the
// owner or group it had: the bits come back only where both were kept.
// With an access list the group bits stay its mask.
Result<void> restore_set_id(int fd, const FileMeta& existing) {
  const auto set_id = static_cast<mode_t>(existing.permissions & (S_ISUID | S_ISGID));
  if (set_id == 0) return {};
  struct stat own;
  if (::fstat(fd, &own) != 0) return last_error();
  if (own.st_uid != static_cast<uid_t>(existing.owner) || own.st_gid != static_cast<gid_t>(existing.group)) return {};
  if (::fchmod(fd, (own.st_mode & 07777) | set_id) != 0) return last_error();
  return {};
}

}  // namespace brevok::posix
