// The Windows platform layer against the real system (under Wine in CI):
// the text conversions at its edge, "not found" as the system reports it,
// and each file call on a scratch directory.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform-win32.h"
#include "platform.h"
#include "remote_fs.h"

namespace brevok {
namespace {

using win32::utf16_to_utf8;
using win32::utf8_to_utf16;

// Wine answers a few calls differently from Windows; the cases that depend
// on it say so.
bool running_under_wine() {
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// --- text --------------------------------------------------------------------

struct TextCase {
  std::string name;
  std::wstring wide;
  std::string utf8;      // generalized UTF-8
  bool paired;           // valid UTF-16 (no unpaired surrogate)
};

class Win32Utf16Text : public ::testing::TestWithParam<TextCase> {};

TEST_P(Win32Utf16Text, ConvertsBothWays) {
  const TextCase& c = GetParam();
  EXPECT_EQ(utf16_to_utf8(c.wide, true), c.utf8);
  EXPECT_EQ(utf8_to_utf16(c.utf8), c.wide);
  if (c.paired) {
    EXPECT_EQ(utf16_to_utf8(c.wide, false), c.utf8);
  } else {
    EXPECT_EQ(utf16_to_utf8(c.wide, false), std::nullopt);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Win32Utf16Text,
    ::testing::Values(TextCase{"Empty", L"", "", true}, TextCase{"Ascii", L"C:\\a/b.txt", "C:\\a/b.txt", true},
                      TextCase{"TwoBytes", L"\u00e9\u07ff", "\xC3\xA9\xDF\xBF", true},
                      TextCase{"ThreeBytes", L"\u0800\u20ac\uffff", "\xE0\xA0\x80\xE2\x82\xAC\xEF\xBF\xBF", true},
                      TextCase{"Pair", L"\xD83D\xDE00", "\xF0\x9F\x98\x80", true},
                      TextCase{"HighestPair", L"\xDBFF\xDFFF", "\xF4\x8F\xBF\xBF", true},
                      TextCase{"LoneLead", L"a\xD800z", "a\xED\xA0\x80z", false},
                      TextCase{"LoneTrail", L"\xDC00", "\xED\xB0\x80", false},
                      TextCase{"LeadAtEnd", L"x\xDBFF", "x\xED\xAF\xBF", false},
                      TextCase{"TrailBeforeLead", L"\xDC00\xD800", "\xED\xB0\x80\xED\xA0\x80", false}),
    [](const auto& info) { return info.param.name; });

// What is not generalized UTF-8 names no file: it is refused, not repaired.
class Win32InvalidUtf8 : public ::testing::TestWithParam<std::string> {};

TEST_P(Win32InvalidUtf8, IsRefused) { EXPECT_EQ(utf8_to_utf16(GetParam()), std::nullopt); }

INSTANTIATE_TEST_SUITE_P(Bytes, Win32InvalidUtf8,
                         ::testing::Values("\xFF", "a\x80", "\xC0\x80", "\xC1\xBF", "\xC3", "\xE0\x80\x80",
                                           "\xE0\x9F\xBF", "\xE2\x82", "\xF0\x80\x80\x80", "\xF0\x8F\xBF\xBF",
                                           "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xF0\x9F\x98"));

TEST(Win32Arguments, AreConvertedAfterTheProgramName) {
  const wchar_t* argv[] = {L"C:\\agent.exe", L"--stdio", L"\u00e9\xD83D\xDE00"};
  auto args = win32::utf8_arguments(3, argv);
  ASSERT_TRUE(args.has_value());
  EXPECT_EQ(*args, (std::vector<std::string>{"--stdio", "\xC3\xA9\xF0\x9F\x98\x80"}));
}

TEST(Win32Arguments, AnUnpairedSurrogateIsAnError) {
  const wchar_t* argv[] = {L"agent\xD800.exe", L"--stdio", L"x\xDC00"};
  auto args = win32::utf8_arguments(3, argv);
  ASSERT_FALSE(args.has_value());
  EXPECT_EQ(args.error().full(), "command-line argument 2 is not valid UTF-16");
}

TEST(Win32SystemErrorText, IsTheSystemsTextWithoutTheLineBreak) {
  std::string text = win32::system_error_text(ERROR_FILE_NOT_FOUND);
  ASSERT_FALSE(text.empty());
  EXPECT_NE(text.back(), '\n');
  EXPECT_NE(text.back(), '\r');
  if (running_under_wine()) {
    EXPECT_EQ(text, "File not found.");
  }
}

TEST(Win32SystemErrorText, NamesAnUnknownCode) {
  EXPECT_EQ(win32::system_error_text(0x2FFFFFFF), "system error 805306367");
}

struct NotFoundCase {
  DWORD code;
  bool not_found;
};

class Win32NotFoundCodes : public ::testing::TestWithParam<NotFoundCase> {};

TEST_P(Win32NotFoundCodes, MeanNothingIsThere) {
  EXPECT_EQ(win32::is_not_found_error(GetParam().code), GetParam().not_found) << GetParam().code;
}

INSTANTIATE_TEST_SUITE_P(
    Codes, Win32NotFoundCodes,
    ::testing::Values(NotFoundCase{ERROR_FILE_NOT_FOUND, true}, NotFoundCase{ERROR_PATH_NOT_FOUND, true},
                      NotFoundCase{ERROR_INVALID_DRIVE, true}, NotFoundCase{ERROR_BAD_NETPATH, true},
                      NotFoundCase{ERROR_BAD_NET_NAME, true}, NotFoundCase{ERROR_ACCESS_DENIED, false},
                      NotFoundCase{ERROR_INVALID_NAME, false}, NotFoundCase{ERROR_NOT_READY, false},
                      NotFoundCase{ERROR_SHARING_VIOLATION, false}, NotFoundCase{ERROR_DIRECTORY, false}));

// --- the platform on a scratch directory --------------------------------------

class Win32Platform : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH + 1];
    DWORD n = ::GetTempPathW(MAX_PATH + 1, temp);
    ASSERT_GT(n, 0u);
    static int counter = 0;
    root_ = *utf16_to_utf8(std::wstring(temp, n), true) + "brevok-win32-" + std::to_string(::GetCurrentProcessId()) +
            "-" + std::to_string(++counter);
    ASSERT_TRUE(::CreateDirectoryW(wide(root_).c_str(), nullptr));
  }

  void TearDown() override {
    // Whatever a case left read-only must go as well.
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(wide(root_), ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      ::SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    std::filesystem::remove_all(wide(root_), ec);
  }

  static std::wstring wide(const std::string& path) { return *utf8_to_utf16(path); }
  std::string at(const std::string& name) const { return root_ + "\\" + name; }

  void put(const std::string& path, std::string_view content) {
    auto file = platform_.create_exclusive(path);
    ASSERT_TRUE(file.has_value()) << file.error().full();
    ASSERT_TRUE(platform_.write_all(*file, content.data(), content.size()).has_value());
    platform_.close(*file);
  }

  std::string slurp(const std::string& path) {
    auto file = platform_.open_read(path);
    if (!file) return "failed: " + file.error().full();
    std::string out;
    char buf[4096];
    for (;;) {
      auto n = platform_.read(*file, buf, sizeof buf);
      if (!n || *n == 0) break;
      out.append(buf, *n);
    }
    platform_.close(*file);
    return out;
  }

  DWORD attributes(const std::string& path) { return ::GetFileAttributesW(wide(path).c_str()); }

  Platform& platform_ = native_platform();
  std::string root_;
};

// Everything that says "nothing is there": the write operation creates the
// file in these cases instead of failing.
TEST_F(Win32Platform, StatTellsNothingThereApart) {
  put(at("file.txt"), "x");
  const std::vector<std::string> missing = {at("nope.txt"), at("no\\dir\\f.txt"), at("no/dir/f.txt"), ""};
  for (const std::string& path : missing) {
    auto meta = platform_.stat(path);
    ASSERT_FALSE(meta.has_value()) << path;
    EXPECT_TRUE(meta.error().is_not_found()) << path << ": " << meta.error().full();
  }
  // Not a missing file but a name no file can have.
  auto bad = platform_.stat(at("a\x01?*b"));
  ASSERT_FALSE(bad.has_value());
  EXPECT_FALSE(bad.error().is_not_found()) << bad.error().full();
}

TEST_F(Win32Platform, StatOfAMissingDriveIsNotFound) {
  // The first letter that names no drive here.
  DWORD drives = ::GetLogicalDrives();
  int letter = 25;
  while (letter > 2 && (drives & (1u << letter)) != 0) --letter;
  ASSERT_GT(letter, 2);
  std::string path = std::string(1, static_cast<char>('A' + letter)) + ":\\dir\\f.txt";
  auto meta = platform_.stat(path);
  ASSERT_FALSE(meta.has_value());
  EXPECT_TRUE(meta.error().is_not_found()) << path << ": " << meta.error().full();
}

TEST_F(Win32Platform, StatReportsSizeDirectoryAndAttributes) {
  put(at("f.txt"), std::string(70000, 'a'));
  ASSERT_TRUE(::SetFileAttributesW(wide(at("f.txt")).c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
  auto meta = platform_.stat(at("f.txt"));
  ASSERT_TRUE(meta.has_value()) << meta.error().full();
  EXPECT_FALSE(meta->is_directory);
  EXPECT_EQ(meta->size, 70000u);
  EXPECT_EQ(meta->permissions, attributes(at("f.txt")));
  EXPECT_EQ(meta->permissions & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN),
            DWORD(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));

  for (const std::string& dir : {root_, root_ + "\\", root_ + "/"}) {
    auto d = platform_.stat(dir);
    ASSERT_TRUE(d.has_value()) << dir << ": " << d.error().full();
    EXPECT_TRUE(d->is_directory) << dir;
  }
}

TEST_F(Win32Platform, StatOfAFileUnderAFileIsAnError) {
  put(at("f.txt"), "x");
  auto meta = platform_.stat(at("f.txt\\g.txt"));
  ASSERT_FALSE(meta.has_value());
}

TEST_F(Win32Platform, HomeKeepsUnpairedSurrogates) {
  std::optional<std::wstring> saved;
  {
    wchar_t buf[32768];
    DWORD n = ::GetEnvironmentVariableW(L"HOME", buf, 32768);
    if (n > 0) saved = std::wstring(buf, n);
  }
  ASSERT_TRUE(::SetEnvironmentVariableW(L"HOME", L"C:\\Users\\u\xD800x"));
  EXPECT_EQ(platform_.home(), std::optional<std::string>("C:\\Users\\u\xED\xA0\x80x"));
  ASSERT_TRUE(::SetEnvironmentVariableW(L"HOME", L""));
  EXPECT_EQ(platform_.home(), std::optional<std::string>(""));
  std::wstring longer(1000, L'h');
  ASSERT_TRUE(::SetEnvironmentVariableW(L"HOME", longer.c_str()));
  EXPECT_EQ(platform_.home(), std::optional<std::string>(std::string(1000, 'h')));
  ASSERT_TRUE(::SetEnvironmentVariableW(L"HOME", nullptr));
  EXPECT_EQ(platform_.home(), std::nullopt);
  ::SetEnvironmentVariableW(L"HOME", saved ? saved->c_str() : nullptr);
}

TEST_F(Win32Platform, ClockCountsWholeTicksSince1970) {
  std::uint64_t ns = platform_.now_ns();
  EXPECT_EQ(ns % 100, 0u);                      // 100 ns ticks
  EXPECT_GT(ns, 1577836800000000000u);          // after 2020-01-01
  EXPECT_EQ(platform_.process_id(), ::GetCurrentProcessId());
}

TEST_F(Win32Platform, CreateDirectoriesMakesEveryMissingLevel) {
  ASSERT_TRUE(platform_.create_directories(at("a\\b/c\\d")).has_value());
  EXPECT_NE(attributes(at("a\\b\\c\\d")) & FILE_ATTRIBUTE_DIRECTORY, 0u);
  // Present already, with or without a trailing separator, and the root.
  EXPECT_TRUE(platform_.create_directories(at("a\\b")).has_value());
  EXPECT_TRUE(platform_.create_directories(at("a\\b\\")).has_value());
  EXPECT_TRUE(platform_.create_directories(root_.substr(0, 3)).has_value());
  EXPECT_TRUE(platform_.create_directories("").has_value());
}

TEST_F(Win32Platform, CreateDirectoriesFailsOnAFileInTheWay) {
  put(at("f"), "x");
  for (const std::string& path : {at("f"), at("f\\sub\\dir")}) {
    auto r = platform_.create_directories(path);
    ASSERT_FALSE(r.has_value()) << path;
    EXPECT_FALSE(r.error().is_not_found()) << path << ": " << r.error().full();
  }
  EXPECT_EQ(slurp(at("f")), "x");
}

TEST_F(Win32Platform, CreateExclusiveRefusesAnExistingName) {
  put(at("f.txt"), "old");
  auto again = platform_.create_exclusive(at("f.txt"));
  ASSERT_FALSE(again.has_value());
  EXPECT_FALSE(again.error().is_not_found());
  EXPECT_EQ(slurp(at("f.txt")), "old");
  auto in_missing = platform_.create_exclusive(at("none\\f.txt"));
  ASSERT_FALSE(in_missing.has_value());
  EXPECT_TRUE(in_missing.error().is_not_found()) << in_missing.error().full();
}

TEST_F(Win32Platform, WritesAndReadsEveryByteUnchanged) {
  std::string content;
  for (int i = 0; i < 300000; ++i) content += static_cast<char>((i * 131) % 256);
  content += "\r\n\x1A\n";  // no text translation on either side
  auto file = platform_.create_exclusive(at("data.bin"));
  ASSERT_TRUE(file.has_value());
  ASSERT_TRUE(platform_.write_all(*file, content.data(), content.size()).has_value());
  ASSERT_TRUE(platform_.write_all(*file, "", 0).has_value());
  ASSERT_TRUE(platform_.sync(*file).has_value());
  platform_.close(*file);
  EXPECT_EQ(slurp(at("data.bin")), content);

  auto meta = platform_.stat(at("data.bin"));
  ASSERT_TRUE(meta.has_value());
  EXPECT_EQ(meta->size, content.size());

  // The end of the file is a read of 0, as often as it is asked.
  auto in = platform_.open_read(at("data.bin"));
  ASSERT_TRUE(in.has_value());
  std::string buf(content.size() + 10, '\0');
  std::size_t got = 0;
  for (;;) {
    auto n = platform_.read(*in, buf.data() + got, buf.size() - got);
    ASSERT_TRUE(n.has_value()) << n.error().full();
    if (*n == 0) break;
    got += *n;
  }
  EXPECT_EQ(got, content.size());
  auto after = platform_.read(*in, buf.data(), 10);
  ASSERT_TRUE(after.has_value());
  EXPECT_EQ(*after, 0u);
  platform_.close(*in);
}

TEST_F(Win32Platform, OpenReadOfAMissingFileIsNotFound) {
  auto in = platform_.open_read(at("nope"));
  ASSERT_FALSE(in.has_value());
  EXPECT_TRUE(in.error().is_not_found());
}

// On the new file's handle, which can still write afterwards.
TEST_F(Win32Platform, SetPermissionsCopiesTheAttributeWord) {
  put(at("old.txt"), "o");
  ASSERT_TRUE(::SetFileAttributesW(wide(at("old.txt")).c_str(),
                                   FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
  auto old_meta = platform_.stat(at("old.txt"));
  ASSERT_TRUE(old_meta.has_value());
  auto file = platform_.create_exclusive(at("new.txt"));
  ASSERT_TRUE(file.has_value());
  ASSERT_TRUE(platform_.set_permissions(*file, *old_meta).has_value());
  EXPECT_TRUE(platform_.write_all(*file, "n", 1).has_value());
  platform_.close(*file);
  EXPECT_EQ(attributes(at("new.txt")), attributes(at("old.txt")));
  EXPECT_EQ(slurp(at("new.txt")), "n");
}

TEST_F(Win32Platform, RenameReplacesTheTarget) {
  put(at("tmp"), "new");
  put(at("target"), "old");
  ASSERT_TRUE(platform_.rename_replace(at("tmp"), at("target")).has_value());
  EXPECT_EQ(slurp(at("target")), "new");
  EXPECT_EQ(attributes(at("tmp")), INVALID_FILE_ATTRIBUTES);
  // Onto no file at all, and into a missing directory.
  put(at("tmp2"), "fresh");
  ASSERT_TRUE(platform_.rename_replace(at("tmp2"), at("other")).has_value());
  EXPECT_EQ(slurp(at("other")), "fresh");
  auto r = platform_.rename_replace(at("other"), at("none\\x"));
  ASSERT_FALSE(r.has_value());
  EXPECT_TRUE(r.error().is_not_found()) << r.error().full();
}

TEST_F(Win32Platform, RemoveDeletesAFileButNoDirectory) {
  put(at("f.txt"), "x");
  ASSERT_TRUE(platform_.remove_file(at("f.txt")).has_value());
  EXPECT_EQ(attributes(at("f.txt")), INVALID_FILE_ATTRIBUTES);
  auto again = platform_.remove_file(at("f.txt"));
  ASSERT_FALSE(again.has_value());
  EXPECT_TRUE(again.error().is_not_found());

  // DeleteFileW refuses a directory with "access denied", and so does the
  // delete by handle that follows such a refusal; the first is reported.
  ASSERT_TRUE(::CreateDirectoryW(wide(at("dir")).c_str(), nullptr));
  auto dir = platform_.remove_file(at("dir"));
  ASSERT_FALSE(dir.has_value());
  EXPECT_EQ(dir.error().full(), win32::system_error_text(ERROR_ACCESS_DENIED));
  EXPECT_NE(attributes(at("dir")) & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

// A directory is never replaced: MoveFileExW refuses with "access denied",
// the rename by handle that follows fails as well, and the first refusal is
// what the caller sees.
TEST_F(Win32Platform, RenameOntoADirectoryReportsTheFirstRefusal) {
  put(at("tmp"), "new");
  ASSERT_TRUE(::CreateDirectoryW(wide(at("dir")).c_str(), nullptr));
  auto r = platform_.rename_replace(at("tmp"), at("dir"));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().full(), win32::system_error_text(ERROR_ACCESS_DENIED));
  EXPECT_EQ(slurp(at("tmp")), "new");
  EXPECT_NE(attributes(at("dir")) & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

// Under Wine, as on FAT volumes, without FileDispositionInfoEx: the
// attribute is lifted on the handle.
TEST_F(Win32Platform, RemoveDeletesAReadOnlyFile) {
  put(at("ro.txt"), "x");
  ASSERT_TRUE(::SetFileAttributesW(wide(at("ro.txt")).c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(platform_.remove_file(at("ro.txt")).has_value());
  EXPECT_EQ(attributes(at("ro.txt")), INVALID_FILE_ATTRIBUTES);
}

// A path with an unpaired surrogate (as HOME may hold) names one file, the
// same one each time.
TEST_F(Win32Platform, PathsWithUnpairedSurrogatesReachTheSystemUnchanged) {
  if (running_under_wine()) {
    GTEST_SKIP() << "Wine keeps files on a POSIX file system, whose UTF-8 names cannot hold an unpaired "
                    "surrogate; the conversion itself is covered by Texts/Win32Utf16Text";
  }
  std::string path = at("s\xED\xA0\x80.txt");
  put(path, "lone");
  EXPECT_EQ(slurp(path), "lone");
  std::vector<std::wstring> names;
  for (const auto& entry : std::filesystem::directory_iterator(wide(root_))) names.push_back(entry.path().filename());
  EXPECT_EQ(names, std::vector<std::wstring>{L"s\xD800.txt"});
}

// Bytes that are not even generalized UTF-8, or that hold U+0000, name no
// file: the call fails without reaching the system, and not as "nothing
// there".
TEST_F(Win32Platform, PathsThatNameNoFileAreRefused) {
  const std::vector<std::pair<std::string, DWORD>> cases = {{at("bad\xFF"), ERROR_NO_UNICODE_TRANSLATION},
                                                           {at("bad\xC0\x80"), ERROR_NO_UNICODE_TRANSLATION},
                                                           {at(std::string("a\0b", 3)), ERROR_INVALID_NAME}};
  put(at("a"), "x");
  for (const auto& [path, code] : cases) {
    auto meta = platform_.stat(path);
    ASSERT_FALSE(meta.has_value());
    EXPECT_FALSE(meta.error().is_not_found());
    EXPECT_EQ(meta.error().full(), win32::system_error_text(code));
    EXPECT_FALSE(platform_.create_exclusive(path).has_value());
    EXPECT_FALSE(platform_.remove_file(path).has_value());
  }
  EXPECT_EQ(slurp(at("a")), "x");
}

// What the file calls are given: full, with the prefix that lifts the
// length limit; a device keeps its own form.
TEST(Win32SystemPath, IsFullAndPrefixed) {
  const std::vector<std::pair<std::string, std::wstring>> cases = {
      {"C:\\a\\..\\b/c.txt", L"\\\\?\\C:\\b\\c.txt"},
      {"C:/a/./b.", L"\\\\?\\C:\\a\\b"},
      {"\\\\server\\share\\d\\f", L"\\\\?\\UNC\\server\\share\\d\\f"},
      {"\\\\?\\C:\\a/../b", L"\\\\?\\C:\\a/../b"},
      {"\\\\.\\pipe\\p", L"\\\\.\\pipe\\p"},
      {"C:\\" + std::string(300, 'd') + "\\f", L"\\\\?\\C:\\" + std::wstring(300, L'd') + L"\\f"},
  };
  for (const auto& [path, expected] : cases) {
    auto full = win32::system_path(path);
    ASSERT_TRUE(full.has_value()) << path << ": " << full.error().full();
    EXPECT_EQ(*full, expected) << path;
  }
}

// Devices are never taken for files, whatever form names them.
TEST_F(Win32Platform, DevicesAreNotRegularFiles) {
  for (const std::string& path : {std::string("NUL"), std::string("CON"), std::string("COM1"), at("NUL"),
                                  std::string("\\\\.\\pipe\\brevok-none")}) {
    auto read = read_remote_file(platform_, path);
    ASSERT_FALSE(read.has_value()) << path;
    EXPECT_EQ(read.error().full(), "path is not a regular file: " + path);
    auto target = stat_remote_target(platform_, path, true);
    ASSERT_FALSE(target.has_value()) << path;
    EXPECT_EQ(target.error().full(), "path is not a regular file: " + path);
  }
}

// The install as the agent runs it, onto a read-only file, with the
// refusals of Windows put in the place of Wine's answers: MoveFileExW
// refused with "access denied" (Windows, for a read-only target), the
// by-handle classes unsupported (FAT, exFAT, Windows before 10 1709; Wine).
// The target holds the old or the new content, read-only either way; the
// temporary, made read-only too, is gone.
struct ReadOnlyCase {
  std::string name;
  int moves_refused;  // the first n MoveFileExW calls
  DWORD refusal;
  bool classes_unsupported;
  bool installs;
};

class Win32ReadOnlyInstall : public ::testing::TestWithParam<ReadOnlyCase> {};

int g_moves = 0;
const ReadOnlyCase* g_case = nullptr;

TEST_P(Win32ReadOnlyInstall, NeverCostsTheTarget) {
  const ReadOnlyCase& c = GetParam();
  Platform& platform = native_platform();
  auto root = std::filesystem::temp_directory_path() / ("brevok-ro-" + std::to_string(::GetCurrentProcessId()));
  std::filesystem::create_directories(root);
  std::string target = *utf16_to_utf8((root / "ro.txt").wstring(), true);
  auto file = platform.create_exclusive(target);
  ASSERT_TRUE(file.has_value());
  ASSERT_TRUE(platform.write_all(*file, "old", 3).has_value());
  platform.close(*file);
  ASSERT_TRUE(::SetFileAttributesW((root / "ro.txt").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));

  win32::FileCalls saved = win32::file_calls();
  g_moves = 0;
  g_case = &c;
  win32::file_calls().move_file = [](LPCWSTR from, LPCWSTR to, DWORD flags) -> BOOL {
    if (++g_moves <= g_case->moves_refused) {
      ::SetLastError(g_case->refusal);
      return FALSE;
    }
    return ::MoveFileExW(from, to, flags);
  };
  win32::file_calls().set_information = [](HANDLE h, FILE_INFO_BY_HANDLE_CLASS info_class, LPVOID info,
                                            DWORD size) -> BOOL {
    if (g_case->classes_unsupported && (info_class == 21 || info_class == 22)) {
      ::SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    return ::SetFileInformationByHandle(h, info_class, info, size);
  };
  auto existing = stat_remote_target(platform, target, false);
  ASSERT_TRUE(existing.has_value());
  auto n = install_remote_file(platform, target, "new!", false, *existing);
  win32::file_calls() = saved;

  if (c.installs) {
    EXPECT_TRUE(n.has_value()) << n.error().full();
  } else {
    ASSERT_FALSE(n.has_value());
    EXPECT_EQ(n.error().full(), "installing remote file " + target + ": " + win32::system_error_text(c.refusal));
  }
  std::ifstream in(root / "ro.txt", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), c.installs ? "new!" : "old");
  EXPECT_EQ(::GetFileAttributesW((root / "ro.txt").c_str()), DWORD(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root), {}), 1);
  ::SetFileAttributesW((root / "ro.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
  in.close();
  std::filesystem::remove_all(root);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, Win32ReadOnlyInstall,
    ::testing::Values(ReadOnlyCase{"AsTheSystemAnswers", 0, ERROR_ACCESS_DENIED, false, true},
                      ReadOnlyCase{"RenameRefused", 1, ERROR_ACCESS_DENIED, false, true},
                      ReadOnlyCase{"RenameRefusedWithoutPosixRename", 1, ERROR_ACCESS_DENIED, true, true},
                      ReadOnlyCase{"RetryRefusedToo", 2, ERROR_ACCESS_DENIED, true, false},
                      ReadOnlyCase{"SharingViolation", 1, ERROR_SHARING_VIOLATION, false, false}),
    [](const auto& info) { return info.param.name; });

// Another process holding the target open, with or without delete
// sharing: however the rename ends (under Wine it is refused both ways),
// the target is still there once the other process lets go of it.
TEST_F(Win32Platform, ATargetHeldOpenIsNeverLost) {
  for (DWORD share : {DWORD(FILE_SHARE_READ | FILE_SHARE_WRITE), DWORD(FILE_SHARE_READ | FILE_SHARE_WRITE |
                                                                       FILE_SHARE_DELETE)}) {
    std::string target = at("held" + std::to_string(share) + ".txt");
    put(target, "old");
    HANDLE holder = ::CreateFileW(wide(target).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    auto existing = stat_remote_target(platform_, target, false);
    ASSERT_TRUE(existing.has_value());
    auto n = install_remote_file(platform_, target, "new!", false, *existing);
    ::CloseHandle(holder);
    EXPECT_TRUE(!running_under_wine() || !n) << share;
    EXPECT_EQ(slurp(target), n ? "new!" : "old") << share;
    if (!n) {
      EXPECT_EQ(n.error().outermost(), "installing remote file " + target);
    }
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(wide(root_)), {}), 2);
}

TEST(Win32Memory, LargeAndSmallBuffersAreUsable) {
  for (std::size_t size : {std::size_t(0), std::size_t(1), std::size_t(4096), std::size_t(64) << 20}) {
    for (bool reserve_only : {false, true}) {
      char* p = reserve_only ? reserve_bytes(size) : allocate_bytes(size);
      ASSERT_NE(p, nullptr) << size;
      MEMORY_BASIC_INFORMATION info;
      if (size == (std::size_t(64) << 20)) {
        // Reserved pages are committed only as they are asked for.
        ASSERT_NE(::VirtualQuery(p + size / 2, &info, sizeof info), 0u);
        EXPECT_EQ(info.State, DWORD(reserve_only ? MEM_RESERVE : MEM_COMMIT));
        ASSERT_TRUE(commit_bytes(p + size / 2, 1));
        p[size / 2] = 'm';
      } else if (size > 0) {
        p[0] = 'a';
        p[size - 1] = 'z';
      }
      free_bytes(p, size);
    }
  }
  EXPECT_EQ(allocate_bytes(std::size_t(1) << 62), nullptr);
}

}  // namespace
}  // namespace brevok
