// What a replacement takes over from the file it replaces, on Windows,
// before its first byte: who may open it (owner, group, access list,
// integrity label), its encryption and who may decrypt it, compression and named streams (the
// Mark of the Web among them), and its attributes. The new content is
// never readable beyond what the old file allowed, and never plaintext
// where the old file was encrypted.
#include <algorithm>
#include <cstring>
#include <vector>

#include "platform-win32.h"

#include <sddl.h>
#include <wincrypt.h>
#include <winioctl.h>

namespace brevok::win32 {

namespace {

// A file whose content changed is one to back up; a placeholder state
// (offline, recall on access) describes content the new file does not have.
constexpr DWORD kCarriedAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                     FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_TEMPORARY;

struct LocalFreer {
  void operator()(void* p) const { ::LocalFree(p); }
};
using LocalBuffer = std::unique_ptr<void, LocalFreer>;

Result<void> fail_dword(DWORD code) { return fail_with(code); }

// Owner, group, access list (with its protection) and integrity label.
// Failing to give the owner, group or label is no error: they need
// privileges the agent may not hold, and without them the file stays the
// agent's, no more open than before. Failing to give the list is.
Result<void> carry_security(HANDLE file, HANDLE old) {
  DWORD flags = 0;
  if (::GetVolumeInformationByHandleW(old, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
      (flags & FILE_PERSISTENT_ACLS) == 0) {
    return {};  // FAT and the like keep no security
  }
  PSID owner = nullptr, group = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR raw = nullptr;
  constexpr SECURITY_INFORMATION kWanted = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                           DACL_SECURITY_INFORMATION;
  if (DWORD err = file_calls().get_security(old, SE_FILE_OBJECT, kWanted, &owner, &group, &dacl, nullptr, &raw);
      err != ERROR_SUCCESS) {
    return fail_dword(err);
  }
  LocalBuffer sd(raw);
  // The old descriptor as it is, inherited entries and protection
  // included: exactly the old list, whatever the directory passes on now.
  if (!file_calls().set_security(file, DACL_SECURITY_INFORMATION, raw)) return last_error();
  (void)file_calls().set_security(file, OWNER_SECURITY_INFORMATION, raw);
  (void)file_calls().set_security(file, GROUP_SECURITY_INFORMATION, raw);
  PACL label = nullptr;
  PSECURITY_DESCRIPTOR label_raw = nullptr;
  if (file_calls().get_security(old, SE_FILE_OBJECT, LABEL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, &label,
                                &label_raw) == ERROR_SUCCESS) {
    LocalBuffer label_sd(label_raw);
    if (label != nullptr) (void)file_calls().set_security(file, LABEL_SECURITY_INFORMATION, label_raw);
  }
  return {};
}

// The users who may decrypt a file, as the system lists them.
struct UserList {
  PENCRYPTION_CERTIFICATE_HASH_LIST list = nullptr;
  UserList() = default;
  UserList(const UserList&) = delete;
  ~UserList() {
    if (list != nullptr) ::FreeEncryptionCertificateHashList(list);
  }
  bool has(const EFS_HASH_BLOB& hash) const {
    for (DWORD i = 0; list != nullptr && i < list->nCert_Hash; ++i) {
      const EFS_HASH_BLOB* h = list->pUsers[i]->pHash;
      if (h != nullptr && h->cbData == hash.cbData && std::memcmp(h->pbData, hash.pbData, hash.cbData) == 0) return true;
    }
    return false;
  }
};

struct CertificateFreer {
  void operator()(const CERT_CONTEXT* c) const { ::CertFreeCertificateContext(c); }
};
using Certificate = std::unique_ptr<const CERT_CONTEXT, CertificateFreer>;

// A user's certificate by its hash, from the stores of the agent's account
// that hold its own certificates and those of the users it shares with.
Certificate find_certificate(const EFS_HASH_BLOB& hash) {
  for (const wchar_t* name : {L"MY", L"AddressBook", L"TrustedPeople"}) {
    HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                       CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG |
                                           CERT_STORE_OPEN_EXISTING_FLAG,
                                       name);
    if (store == nullptr) continue;
    CRYPT_HASH_BLOB blob{hash.cbData, hash.pbData};
    const CERT_CONTEXT* found =
        ::CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &blob,
                                     nullptr);
    ::CertCloseStore(store, 0);
    if (found != nullptr) return Certificate(found);
  }
  return nullptr;
}

// The temporary was created encrypted, for the agent's user; every other
// user who could decrypt the old file is added, from the certificate the
// old file's list names. One whose certificate the agent's account does
// not hold makes the write fail, before the first byte, rather than lock
// that user out. These calls take names: those of the two open files.
Result<void> carry_encryption(HANDLE file, HANDLE old) {
  DWORD attributes = 0;
  if (NTSTATUS status = attributes_of(file, attributes); !NT_SUCCESS(status)) return status_error(status);
  if ((attributes & FILE_ATTRIBUTE_ENCRYPTED) == 0) return fail_with(ERROR_ENCRYPTION_FAILED);
  auto old_path = final_path(old, FILE_NAME_NORMALIZED), new_path = final_path(file, FILE_NAME_NORMALIZED);
  if (!old_path || !new_path) return last_error();
  UserList had, has;
  if (DWORD err = file_calls().query_users(old_path->c_str(), &had.list); err != ERROR_SUCCESS) return fail_with(err);
  if (DWORD err = file_calls().query_users(new_path->c_str(), &has.list); err != ERROR_SUCCESS) return fail_with(err);
  std::vector<Certificate> certificates;
  std::vector<EFS_CERTIFICATE_BLOB> blobs;
  std::vector<ENCRYPTION_CERTIFICATE> users;
  for (DWORD i = 0; had.list != nullptr && i < had.list->nCert_Hash; ++i) {
    const ENCRYPTION_CERTIFICATE_HASH* user = had.list->pUsers[i];
    if (user->pHash == nullptr || has.has(*user->pHash)) continue;
    Certificate certificate = find_certificate(*user->pHash);
    if (!certificate) return fail_with(ERROR_ENCRYPTION_FAILED);
    certificates.push_back(std::move(certificate));
    users.push_back(ENCRYPTION_CERTIFICATE{sizeof(ENCRYPTION_CERTIFICATE), user->pUserSid, nullptr});
  }
  if (users.empty()) return {};
  blobs.reserve(users.size());
  std::vector<ENCRYPTION_CERTIFICATE*> pointers;
  for (std::size_t i = 0; i < users.size(); ++i) {
    const CERT_CONTEXT* c = certificates[i].get();
    blobs.push_back(EFS_CERTIFICATE_BLOB{c->dwCertEncodingType, c->cbCertEncoded, c->pbCertEncoded});
    users[i].pCertBlob = &blobs.back();
    pointers.push_back(&users[i]);
  }
  ENCRYPTION_CERTIFICATE_LIST list{static_cast<DWORD>(pointers.size()), pointers.data()};
  if (DWORD err = file_calls().add_users(new_path->c_str(), &list); err != ERROR_SUCCESS) return fail_with(err);
  return {};
}

Result<void> copy_stream(HANDLE from, HANDLE to) {
  std::vector<char> buf(65536);
  for (;;) {
    IO_STATUS_BLOCK io{};
    NTSTATUS status = ::NtReadFile(from, nullptr, nullptr, nullptr, &io, buf.data(), static_cast<ULONG>(buf.size()),
                                   nullptr, nullptr);
    if (static_cast<ULONG>(status) == 0xC0000011 /* END_OF_FILE */ || (NT_SUCCESS(status) && io.Information == 0)) {
      return {};
    }
    if (!NT_SUCCESS(status)) return status_error(status);
    if (auto r = write_all_to(to, buf.data(), io.Information); !r) return r;
  }
}

// Every named data stream, copied whole. A volume that keeps none answers
// the query as an unknown class.
Result<void> carry_streams(HANDLE file, HANDLE old) {
  std::vector<std::byte> buf(4096);
  for (;;) {
    IO_STATUS_BLOCK io{};
    NTSTATUS status = file_calls().query_information(old, &io, buf.data(), static_cast<ULONG>(buf.size()),
                                                     FileStreamInformation);
    const auto code = static_cast<ULONG>(status);
    if (code == 0x80000005 /* BUFFER_OVERFLOW */ || code == 0xC0000023 /* BUFFER_TOO_SMALL */) {
      if (buf.size() >= (std::size_t(1) << 24)) return status_error(status);
      buf.resize(buf.size() * 4);
      continue;
    }
    if (is_unsupported_class(status)) return {};
    if (!NT_SUCCESS(status)) return status_error(status);
    if (io.Information == 0) return {};
    break;
  }
  // A file pending deletion takes no new streams: the disposition is
  // lifted while they are made, and set again after.
  bool lifted = false;
  for (std::size_t at = 0;;) {
    auto* entry = reinterpret_cast<const FILE_STREAM_INFORMATION*>(buf.data() + at);
    const std::wstring_view name(entry->StreamName, entry->StreamNameLength / sizeof(wchar_t));
    if (name != L"::$DATA" && name.ends_with(L":$DATA")) {
      if (!lifted) {
        if (NTSTATUS s = set_delete_on_close(file, false); !NT_SUCCESS(s)) return status_error(s);
        lifted = true;
      }
      UniqueHandle from, to;
      constexpr Opening kRead{FILE_READ_DATA, FILE_NON_DIRECTORY_FILE, FILE_OPEN, FILE_SHARE_READ | FILE_SHARE_WRITE};
      constexpr Opening kWrite{FILE_WRITE_DATA, FILE_NON_DIRECTORY_FILE, FILE_CREATE, 0};
      if (NTSTATUS s = open_at(old, name, kRead, from); !NT_SUCCESS(s)) return status_error(s);
      if (NTSTATUS s = open_at(file, name, kWrite, to); !NT_SUCCESS(s)) return status_error(s);
      if (auto r = copy_stream(from.get(), to.get()); !r) return r;
    }
    if (entry->NextEntryOffset == 0) break;
    at += entry->NextEntryOffset;
  }
  if (NTSTATUS s = lifted ? set_delete_on_close(file, true) : 0; !NT_SUCCESS(s)) return status_error(s);
  return {};
}

}  // namespace

void* private_security() {
  static LocalBuffer sd = [] {
    LocalBuffer made;
    wchar_t* sid = nullptr;
    if (agent_user().empty() || !::ConvertSidToStringSidW(const_cast<BYTE*>(agent_user().data()), &sid)) return made;
    // Protected: nothing inherited from the directory; the user alone.
    const std::wstring text = L"D:P(A;;FA;;;" + std::wstring(sid) + L")";
    ::LocalFree(sid);
    PSECURITY_DESCRIPTOR p = nullptr;
    if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1, &p, nullptr)) made.reset(p);
    return made;
  }();
  return sd.get();
}

Result<void> carry_over(HANDLE file, HANDLE old, DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_ENCRYPTED) != 0) {
    if (auto r = carry_encryption(file, old); !r) return r;
  }
  if ((attributes & FILE_ATTRIBUTE_COMPRESSED) != 0) {
    // Only the space it takes: failing to compress loses nothing.
    USHORT format = COMPRESSION_FORMAT_DEFAULT;
    DWORD n = 0;
    (void)::DeviceIoControl(file, FSCTL_SET_COMPRESSION, &format, sizeof format, nullptr, 0, &n, nullptr);
  }
  if (auto r = carry_streams(file, old); !r) return r;
  if (auto r = carry_security(file, old); !r) return r;
  if (NTSTATUS status = set_attributes(file, (attributes & kCarriedAttributes) | FILE_ATTRIBUTE_ARCHIVE);
      !NT_SUCCESS(status)) {
    return status_error(status);
  }
  return {};
}

}  // namespace brevok::win32
