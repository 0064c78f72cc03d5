// Paths resolved from a volume's root one component at a time, each
// directory held by its handle, so that what was checked is what is used
// and nothing is looked up by name twice. Symbolic links and junctions are
// followed only where nobody but a trusted account could have redirected
// them.
#include <cstring>
#include <vector>

#include "platform-win32.h"

#include <sddl.h>

namespace brevok::win32 {

namespace {

// A reparse point that stands for another name (symbolic link, junction,
// mount point) rather than for data of its own (a cloud or dedup file).
bool is_name_surrogate(ULONG tag) { return (tag & 0x20000000) != 0; }

// The owner of an open object as a SID's bytes; empty when it cannot be
// read.
std::vector<BYTE> owner_of(HANDLE h) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (file_calls().get_security(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                                &sd) != ERROR_SUCCESS) {
    return {};
  }
  std::vector<BYTE> sid;
  if (owner != nullptr && ::IsValidSid(owner)) {
    const BYTE* p = static_cast<const BYTE*>(owner);
    sid.assign(p, p + ::GetLengthSid(owner));
  }
  ::LocalFree(sd);
  return sid;
}

// SYSTEM, the Administrators group, or the account the agent runs as.
bool trusted_owner(const std::vector<BYTE>& sid) {
  if (sid.empty()) return false;
  PSID p = const_cast<BYTE*>(sid.data());
  return ::IsWellKnownSid(p, WinLocalSystemSid) || ::IsWellKnownSid(p, WinBuiltinAdministratorsSid) ||
         sid == agent_user();
}

NTSTATUS reparse_tag(HANDLE h, ULONG& tag) {
  FILE_ATTRIBUTE_TAG_INFORMATION info{};
  IO_STATUS_BLOCK io{};
  NTSTATUS status = file_calls().query_information(h, &io, &info, sizeof info, FileAttributeTagInformation);
  if (NT_SUCCESS(status)) tag = (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? info.ReparseTag : 0;
  return status;
}

}  // namespace

NTSTATUS open_at(HANDLE root, std::wstring_view name, const Opening& how, UniqueHandle& out) {
  UNICODE_STRING text;
  text.Buffer = const_cast<wchar_t*>(name.data());
  text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  // A named pipe reached through a link must not act in the agent's name.
  SECURITY_QUALITY_OF_SERVICE qos{sizeof qos, SecurityAnonymous, SECURITY_STATIC_TRACKING, FALSE};
  OBJECT_ATTRIBUTES attributes{};
  attributes.Length = sizeof attributes;
  attributes.RootDirectory = root;
  attributes.ObjectName = &text;
  attributes.Attributes = OBJ_CASE_INSENSITIVE;
  attributes.SecurityDescriptor = how.security;
  attributes.SecurityQualityOfService = &qos;
  IO_STATUS_BLOCK io{};
  HANDLE h = nullptr;
  if (name.size() > 0x7FFF) return static_cast<NTSTATUS>(0xC0000106);  // STATUS_NAME_TOO_LONG
  NTSTATUS status = file_calls().create_file(&h, how.access | SYNCHRONIZE, &attributes, &io, nullptr,
                                             how.attributes, how.share, how.disposition,
                                             how.options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (NT_SUCCESS(status)) out.reset(h);
  return status;
}

Result<UniqueHandle> find_in(HANDLE dir, std::wstring_view name, Opening how, bool follow) {
  Opening entry = how;
  entry.options |= FILE_OPEN_REPARSE_POINT;
  entry.access |= FILE_READ_ATTRIBUTES;
  UniqueHandle h;
  if (NTSTATUS status = open_at(dir, name, entry, h); !NT_SUCCESS(status)) return status_error(status);
  ULONG tag = 0;
  if (NTSTATUS status = reparse_tag(h.get(), tag); !NT_SUCCESS(status)) return status_error(status);
  if (!follow || !is_name_surrogate(tag)) return h;

  // The link, held without sharing write or delete access, so that nobody
  // can rewrite, rename or remove it while the system follows it.
  UniqueHandle link;
  Opening held{READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_OPEN_REPARSE_POINT, FILE_OPEN, FILE_SHARE_READ};
  if (NTSTATUS status = open_at(dir, name, held, link); !NT_SUCCESS(status)) return status_error(status);
  h.reset();
  const std::vector<BYTE> link_owner = owner_of(link.get());
  const bool trusted = trusted_owner(link_owner);
  // Opened as it is: nothing is created where a link leads.
  Opening through = how;
  through.disposition = FILE_OPEN;
  if (!trusted) through.access |= READ_CONTROL;
  UniqueHandle reached;
  if (NTSTATUS status = open_at(dir, name, through, reached); !NT_SUCCESS(status)) return status_error(status);
  if (!trusted && (link_owner.empty() || owner_of(reached.get()) != link_owner)) return fail_with(ERROR_ACCESS_DENIED);
  return reached;
}

Result<UniqueHandle> walk_to_directory(const std::wstring& path, std::size_t root_length, bool create) {
  std::wstring root(path.substr(0, root_length));
  if (!root.ends_with(L'\\')) root += L'\\';
  HANDLE h = ::CreateFileW(root.c_str(), FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | kOpenFlags, nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_error();
  UniqueHandle current(h);
  for (std::size_t pos = root_length; pos < path.size();) {
    std::size_t end = path.find(L'\\', pos);
    if (end == std::wstring::npos) end = path.size();
    const std::wstring_view component = std::wstring_view(path).substr(pos, end - pos);
    pos = end + 1;
    if (component.empty()) continue;
    Opening how{FILE_TRAVERSE | FILE_READ_ATTRIBUTES, FILE_DIRECTORY_FILE};
    // Created only where the path itself needs it; what a link leads to
    // is never created (find_in opens it as it is).
    if (create) how.disposition = FILE_OPEN_IF;
    auto next = find_in(current.get(), component, how, true);
    if (!next) return next;
    current = std::move(*next);
  }
  return current;
}

const std::vector<BYTE>& agent_user() {
  static const std::vector<BYTE> sid = [] {
    std::vector<BYTE> bytes;
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return bytes;
    alignas(TOKEN_USER) BYTE buf[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD n = 0;
    if (::GetTokenInformation(token, TokenUser, buf, sizeof buf, &n)) {
      PSID user = reinterpret_cast<TOKEN_USER*>(buf)->User.Sid;
      const BYTE* p = static_cast<const BYTE*>(user);
      bytes.assign(p, p + ::GetLengthSid(user));
    }
    ::CloseHandle(token);
    return bytes;
  }();
  return sid;
}

std::optional<std::wstring> final_path(HANDLE h, DWORD flags) {
  std::wstring buf(512, L'\0');
  for (;;) {
    DWORD n = ::GetFinalPathNameByHandleW(h, buf.data(), static_cast<DWORD>(buf.size()), flags);
    if (n == 0) return std::nullopt;
    if (n < buf.size()) return buf.substr(0, n);
    buf.resize(n + 1);
  }
}

std::optional<std::wstring> name_on_disk(HANDLE h) {
  auto path = final_path(h, FILE_NAME_NORMALIZED | VOLUME_NAME_NT);
  if (!path) return std::nullopt;
  const std::size_t cut = path->rfind(L'\\');
  if (cut == std::wstring::npos || cut + 1 == path->size()) return std::nullopt;
  return path->substr(cut + 1);
}

}  // namespace brevok::win32
