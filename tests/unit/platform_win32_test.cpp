// The Windows platform layer on a scratch directory (under Wine in CI).
#include <gtest/gtest.h>

#include "platform-win32.h"
#include "platform.h"
#include "scratch.h"

namespace brevok {
namespace {

Platform& os = native_platform();
std::string outcome(const auto& r) { return r ? "done" : r.error().full(); }
struct Refusals { int moves; DWORD code = 0; bool no_classes = false, replaced = false; } const* g_row = nullptr;
int g_moves = 0;  // MoveFileExW calls so far

// A read-only target, the first `moves` MoveFileExW refused with `code` (as Windows does), the by-handle classes
// missing (FAT, old Windows), or held open without delete sharing (moves -1): replaced, or kept as it was with the
// first refusal.
TEST(Win32Rename, NeverCostsTheTarget) {
  for (const Refusals& row : {Refusals{0, 0, false, true}, {1, ERROR_ACCESS_DENIED, false, true},
                              {1, ERROR_ACCESS_DENIED, true, true}, {2, ERROR_ACCESS_DENIED, true},
                              {1, ERROR_SHARING_VIOLATION}, {-1, ERROR_ACCESS_DENIED}}) {
    testing::Scratch d;
    testing::put(d / "tmp", "new"), testing::put(d / "target", "old");
    const std::wstring target = *win32::system_path(d / "target");
    ASSERT_TRUE(::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY));
    HANDLE held = row.moves >= 0 ? nullptr : ::CreateFileW(target.c_str(), GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0,
                                                           nullptr);  // 3: read and write sharing, no delete
    g_row = &row, g_moves = 0;
    win32::file_calls().move_file = [](LPCWSTR from, LPCWSTR to, DWORD flags) -> BOOL {
      return ++g_moves > g_row->moves ? ::MoveFileExW(from, to, flags) : (::SetLastError(g_row->code), FALSE);
    };
    win32::file_calls().set_information = [](HANDLE h, FILE_INFO_BY_HANDLE_CLASS c, LPVOID info, DWORD n) -> BOOL {
      if (g_row->no_classes && (c == 21 || c == 22)) return ::SetLastError(ERROR_INVALID_PARAMETER), FALSE;
      return ::SetFileInformationByHandle(h, c, info, n);
    };
    const DirHandle dir = os.open_directory(d.path(), DirectoryWalk::kExisting).value_or(-1);
    auto r = os.rename_at(dir, "tmp", "target");
    os.close_directory(dir);
    win32::file_calls() = {};  // the system's own
    ::CloseHandle(held);
    EXPECT_EQ(testing::get(d / "target").value_or("") + testing::get(d / "tmp").value_or("") +
              (::GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_READONLY ? " read-only" : ""),
              r ? "new" : "oldnew read-only") << row.moves;
    EXPECT_EQ(outcome(r), row.replaced ? "done" : win32::system_error_text(row.code));
    ::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
  }
}

// Full paths prefixed to lift the length limit; devices refused, and a NUL by system_path, which every call uses.
TEST(Win32Paths, AreLongAndNeverDevicesOrCutShort) {
  EXPECT_EQ(win32::system_path("C:\\a\\..\\" + std::string(300, 'd') + "/f").value_or(L""),
            L"\\\\?\\C:\\" + std::wstring(300, L'd') + L"\\f");
  testing::Scratch d;
  for (auto [dir, name] : {std::pair<std::string, std::string>{"", "NUL"}, {"", "COM1"}, {d.path(), "CON"},
                           {"\\\\.\\pipe", "x"}}) {
    const DirHandle at = os.open_directory(dir, DirectoryWalk::kExisting).value_or(-1);
    EXPECT_EQ(outcome(os.open_read_at(at, name, NameUse::kRead)), win32::system_error_text(ERROR_NOT_SUPPORTED))
        << dir << name;
    os.close_directory(at);
  }
  EXPECT_EQ(outcome(os.open_directory(std::string("C:\\a\0b", 6), DirectoryWalk::kExisting)),
            win32::system_error_text(ERROR_INVALID_NAME));
}

}  // namespace
}  // namespace brevok
