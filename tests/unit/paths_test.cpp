// The pure path helpers, for both path styles: the installer's temporary
// goes beside the target, so file name and parent must split a path the way
// the file system does, and "~/" expansion joins like the platform's own
// path type.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "remote_fs.h"

namespace brevok {
namespace {

constexpr PathStyle kP = PathStyle::kPosix;
constexpr PathStyle kW = PathStyle::kWindows;

std::string style_name(PathStyle s) { return s == kP ? "posix" : "windows"; }

// --- file name -------------------------------------------------------------

struct FileNameCase {
  PathStyle style;
  std::string path;
  std::optional<std::string> name;
};

class PathFileName : public ::testing::TestWithParam<FileNameCase> {};

TEST_P(PathFileName, IsTheLastComponent) {
  const FileNameCase& c = GetParam();
  std::optional<std::string_view> got = path_file_name(c.path, c.style);
  SCOPED_TRACE(style_name(c.style) + " '" + c.path + "'");
  ASSERT_EQ(got.has_value(), c.name.has_value());
  if (got) {
    EXPECT_EQ(*got, *c.name);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Posix, PathFileName,
    ::testing::Values(FileNameCase{kP, "", std::nullopt}, FileNameCase{kP, "/", std::nullopt},
                      FileNameCase{kP, "//", std::nullopt}, FileNameCase{kP, ".", std::nullopt},
                      FileNameCase{kP, "./", std::nullopt}, FileNameCase{kP, "..", std::nullopt},
                      FileNameCase{kP, "a/..", std::nullopt}, FileNameCase{kP, "/a/b/../", std::nullopt},
                      FileNameCase{kP, "a/.", std::nullopt}, FileNameCase{kP, "a", "a"},
                      FileNameCase{kP, "/a/b.txt", "b.txt"}, FileNameCase{kP, "dir/sub/", "sub"},
                      FileNameCase{kP, "dir//sub//", "sub"}, FileNameCase{kP, "a/.b", ".b"},
                      FileNameCase{kP, "a/...", "..."}, FileNameCase{kP, "..a", "..a"},
                      // Neither the backslash nor a drive letter means anything here.
                      FileNameCase{kP, "a\\b", "a\\b"}, FileNameCase{kP, "C:", "C:"},
                      FileNameCase{kP, "dir/a\xff", "a\xff"}));

INSTANTIATE_TEST_SUITE_P(
    Windows, PathFileName,
    ::testing::Values(FileNameCase{kW, "", std::nullopt}, FileNameCase{kW, "C:", std::nullopt},
                      FileNameCase{kW, "C:\\", std::nullopt}, FileNameCase{kW, "C:/", std::nullopt},
                      FileNameCase{kW, "\\", std::nullopt}, FileNameCase{kW, "C:\\dir\\..", std::nullopt},
                      FileNameCase{kW, "dir\\.\\", std::nullopt}, FileNameCase{kW, "C:a", "a"},
                      FileNameCase{kW, "C:\\dir\\f.txt", "f.txt"}, FileNameCase{kW, "C:/dir/f.txt", "f.txt"},
                      FileNameCase{kW, "dir\\sub\\", "sub"}, FileNameCase{kW, "dir/sub\\/", "sub"},
                      FileNameCase{kW, "a\\b/c", "c"}, FileNameCase{kW, "\\\\server\\share\\f.txt", "f.txt"}));

// --- parent ----------------------------------------------------------------

struct ParentCase {
  PathStyle style;
  std::string path;
  std::string parent;
};

class PathParent : public ::testing::TestWithParam<ParentCase> {};

TEST_P(PathParent, DropsTheLastComponent) {
  const ParentCase& c = GetParam();
  EXPECT_EQ(path_parent(c.path, c.style), c.parent) << style_name(c.style) << " '" << c.path << "'";
}

INSTANTIATE_TEST_SUITE_P(Posix, PathParent,
                         ::testing::Values(ParentCase{kP, "", ""}, ParentCase{kP, "a", ""}, ParentCase{kP, "a/", ""},
                                           ParentCase{kP, "/a", "/"}, ParentCase{kP, "//a", "/"},
                                           ParentCase{kP, "/a/", "/"}, ParentCase{kP, "/a/b", "/a"},
                                           ParentCase{kP, "a/b", "a"}, ParentCase{kP, "a//b//", "a"},
                                           ParentCase{kP, "a/b/..", "a/b"}, ParentCase{kP, "a\\b", ""}));

INSTANTIATE_TEST_SUITE_P(Windows, PathParent,
                         ::testing::Values(ParentCase{kW, "a", ""}, ParentCase{kW, "C:a", "C:"},
                                           ParentCase{kW, "C:\\a", "C:\\"}, ParentCase{kW, "C:\\\\a", "C:\\"},
                                           ParentCase{kW, "C:/a", "C:/"}, ParentCase{kW, "C:\\a\\b", "C:\\a"},
                                           ParentCase{kW, "C:\\a\\\\b\\", "C:\\a"}, ParentCase{kW, "a\\b", "a"},
                                           ParentCase{kW, "a/b\\", "a"},
                                           ParentCase{kW, "\\\\server\\share\\f", "\\\\server\\share"}));

// --- join ------------------------------------------------------------------

struct JoinCase {
  PathStyle style;
  std::string base;
  std::string rest;
  std::string joined;
};

class JoinPath : public ::testing::TestWithParam<JoinCase> {};

TEST_P(JoinPath, FollowsThePlatformRule) {
  const JoinCase& c = GetParam();
  EXPECT_EQ(join_path(c.base, c.rest, c.style), c.joined)
      << style_name(c.style) << " '" << c.base << "' + '" << c.rest << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Posix, JoinPath,
    ::testing::Values(JoinCase{kP, "/home/u", "a/b.txt", "/home/u/a/b.txt"}, JoinCase{kP, "/home/u/", "a", "/home/u/a"},
                      JoinCase{kP, "/home/u", "", "/home/u/"}, JoinCase{kP, "/home/u/", "", "/home/u/"},
                      JoinCase{kP, "", "a", "a"}, JoinCase{kP, "", "", ""}, JoinCase{kP, "/", "a", "/a"},
                      JoinCase{kP, "/home/u", "/etc/hosts", "/etc/hosts"},
                      JoinCase{kP, "/home/u", "./a//b/../c", "/home/u/./a//b/../c"},
                      JoinCase{kP, "/home/u", "C:a", "/home/u/C:a"}, JoinCase{kP, "/home/u", "\\a", "/home/u/\\a"}));

INSTANTIATE_TEST_SUITE_P(
    Windows, JoinPath,
    ::testing::Values(JoinCase{kW, "C:\\Users\\u", "a", "C:\\Users\\u\\a"},
                      JoinCase{kW, "C:\\Users\\u\\", "a", "C:\\Users\\u\\a"},
                      JoinCase{kW, "C:\\Users\\u/", "a", "C:\\Users\\u/a"},
                      JoinCase{kW, "C:\\Users\\u", "", "C:\\Users\\u\\"}, JoinCase{kW, "a", "b/c", "a\\b/c"},
                      JoinCase{kW, "C:\\", "a", "C:\\a"}, JoinCase{kW, "", "a", "a"},
                      // A drive name alone is drive-relative: nothing goes between.
                      JoinCase{kW, "C:", "a", "C:a"},
                      // Absolute: replaces the base.
                      JoinCase{kW, "C:\\Users\\u", "D:\\x", "D:\\x"},
                      JoinCase{kW, "C:\\Users\\u", "\\\\server\\share\\f", "\\\\server\\share\\f"},
                      // Rooted without a drive: keeps the base's drive only.
                      JoinCase{kW, "C:\\Users\\u", "\\x", "C:\\x"}, JoinCase{kW, "C:\\Users\\u", "/x", "C:/x"},
                      // Drive-relative on another drive stands alone; on the same
                      // drive it continues the base.
                      JoinCase{kW, "C:\\Users\\u", "D:x", "D:x"},
                      JoinCase{kW, "C:\\Users\\u", "C:x", "C:\\Users\\u\\x"}));

struct AbsoluteCase {
  PathStyle style;
  std::string path;
  bool absolute;
};

class IsAbsolutePath : public ::testing::TestWithParam<AbsoluteCase> {};

TEST_P(IsAbsolutePath, Classifies) {
  const AbsoluteCase& c = GetParam();
  EXPECT_EQ(is_absolute_path(c.path, c.style), c.absolute) << style_name(c.style) << " '" << c.path << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Both, IsAbsolutePath,
    ::testing::Values(AbsoluteCase{kP, "/", true}, AbsoluteCase{kP, "/a", true}, AbsoluteCase{kP, "a/b", false},
                      AbsoluteCase{kP, "", false}, AbsoluteCase{kP, "C:\\a", false}, AbsoluteCase{kW, "C:\\a", true},
                      AbsoluteCase{kW, "c:/a", true}, AbsoluteCase{kW, "C:a", false}, AbsoluteCase{kW, "C:", false},
                      AbsoluteCase{kW, "\\a", false}, AbsoluteCase{kW, "/a", false},
                      AbsoluteCase{kW, "\\\\server\\share", true}, AbsoluteCase{kW, "\\\\?\\C:\\a", true}));

// --- temporary name and display --------------------------------------------

TEST(TemporaryName, IsHiddenAndCarriesPidAndClockInPlainDecimal) {
  EXPECT_EQ(temporary_name("notes.txt", 4242, 1700000000123456789u),
            ".notes.txt.brevok-file-agent-4242-1700000000123456789");
  EXPECT_EQ(temporary_name("a", 0, 0), ".a.brevok-file-agent-0-0");
  EXPECT_EQ(temporary_name("a", UINT32_MAX, UINT64_MAX), ".a.brevok-file-agent-4294967295-18446744073709551615");
  // File names end at 255 bytes; with pid 4242 and clock 99 the suffix takes
  // 26 of them and the dot one, so 228 bytes of the name fit, and a long name
  // gives way at a character boundary.
  auto temp = [](const std::string& body) {
    std::string t = ".";
    t += body;
    t += ".brevok-file-agent-4242-99";
    return t;
  };
  EXPECT_EQ(temporary_name(std::string(228, 'n'), 4242, 99), temp(std::string(228, 'n')));
  EXPECT_EQ(temporary_name(std::string(229, 'n'), 4242, 99), temp(std::string(228, 'n')));
  EXPECT_EQ(temporary_name(std::string(255, 'n'), 4242, 99).size(), 255u);
  EXPECT_EQ(temporary_name(std::string(227, 'n') + "\xc3\xa9", 4242, 99), temp(std::string(227, 'n')));
  EXPECT_EQ(temporary_name(std::string(226, 'n') + "\xc3\xa9", 4242, 99),
            temp(std::string(226, 'n') + "\xc3\xa9"));
}

struct DisplayCase {
  PathStyle style;
  std::string path;
  std::string shown;
};

class DisplayPath : public ::testing::TestWithParam<DisplayCase> {};

TEST_P(DisplayPath, ShowsInvalidTextAsReplacementCharacter) {
  const DisplayCase& c = GetParam();
  EXPECT_EQ(display_path(c.path, c.style), c.shown) << style_name(c.style);
}

INSTANTIATE_TEST_SUITE_P(
    Both, DisplayPath,
    ::testing::Values(DisplayCase{kP, "/home/u/\xc3\xa9t\xc3\xa9", "/home/u/\xc3\xa9t\xc3\xa9"},
                      DisplayCase{kP, "/a\xff/b", "/a\xef\xbf\xbd/b"}, DisplayCase{kP, "", ""},
                      // One replacement per maximal invalid sequence, not per byte.
                      DisplayCase{kP, "/a\xe2\x82/b", "/a\xef\xbf\xbd/b"},
                      DisplayCase{kW, "C:\\a\xff", "C:\\a\xef\xbf\xbd"},
                      // An unpaired surrogate is one unit of the native path: one
                      // replacement character.
                      DisplayCase{kW, "C:\\a\xed\xa0\x80z", "C:\\a\xef\xbf\xbdz"}));

}  // namespace
}  // namespace brevok
