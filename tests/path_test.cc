#include <gtest/gtest.h>

#include <set>
#include <string>

#include "TestUtil.h"
#include "platform/Path.h"
#include "platform/Wildcard.h"

namespace qza {

namespace {

TEST(NativePath, MapsWindowsAndLinuxTexts) {
  // Windows keeps a drive (and a share) where Linux has none.
  static const struct {
    const char* text;
    const char* native;
    const char* windows = nullptr;  // when it differs
  } cases[] = {
      {"\\qzt\\start\\", "/qzt/start/"},
      {"/srv/qzt/start/.\\qza1k3.in", "/srv/qzt/start/./qza1k3.in"},
      {"\\qzt\\start.\\qza1k3.in", "/qzt/start/qza1k3.in"},  // dot of a directory without separator
      {"c:\\svox\\", "/svox/", "c:/svox/"},
      {"C:\\svox\\.\\svox.exe", "/svox/./svox.exe", "C:/svox/./svox.exe"},
      {"c:svox", "svox", "c:svox"},
      {"\\\\server\\share\\x", "/server/share/x", "//server/share/x"},
      {"spool/.\\x", "spool/./x"},
      {"spool.\\x", "spool/x"},
      {".\\x.msg", "./x.msg"},
      {"a\\\\b//c", "a/b/c"},
      {"name.", "name"},
      {"..\\up", "../up"},
      {"a\\...\\b", "a/./b"},
      {"qza_wdir.ini", "qza_wdir.ini"},
      {"c:", ".", "c:."},
      {"", ""},
  };
  for (const auto& c : cases) {
    const char* expected = testutil::kWindows && c.windows != nullptr ? c.windows : c.native;
    EXPECT_EQ(platform::NativePath(c.text), expected) << c.text;
  }
}

TEST(NativePath, DirectoryWithAndWithoutSeparatorNameOneFile) {
  testutil::TempDir dir;
  ASSERT_TRUE(testutil::MakeDirectory(dir / "log"));
  testutil::WriteFile(dir / "log/qza_2612.log", "x");
  for (const std::string& text : {dir.path() + "\\log.\\qza_2612.log",
                                  dir.path() + "\\log\\.\\qza_2612.log"}) {
    EXPECT_EQ(testutil::ReadFile(platform::NativePath(text.c_str())), "x") << text;
  }
}

TEST(SplitPattern, SplitsAtLastSeparator) {
  static const struct {
    const char* text;
    const char* directory;
    const char* name;
  } cases[] = {
      {"\\qzt\\start\\qz*.job", "\\qzt\\start\\", "qz*.job"},
      {"spool/qza1k?.in", "spool/", "qza1k?.in"},
      {"qz*.tts", "", "qz*.tts"},
      {"dir\\", "dir\\", ""},
  };
  for (const auto& c : cases) {
    std::string directory, name;
    platform::SplitPattern(c.text, &directory, &name);
    EXPECT_EQ(directory, c.directory) << c.text;
    EXPECT_EQ(name, c.name) << c.text;
  }
}

TEST(WildcardMatch, MatchesLikeTheFindService) {
  static const struct {
    const char* pattern;
    const char* name;
    bool match;
  } cases[] = {
      {"qza1k?.in", "qza1k3.in", true},
      {"qza1k?.in", "QZA1K3.IN", true},
      {"qza1k?.in", "qza1k.in", false},
      {"qza1k?.in", "qza1k33.in", false},
      {"qza1k?.in", "qza1k3.in.tmp", false},
      {"qz*.job", "qz.job", true},
      {"qz*.job", "qzfax17.JOB", true},
      {"qz*.job", "xqz1.job", false},
      {"*", "anything", true},
      {"*.*", "noext", false},
      {"a*b*c", "aXbYbZc", true},
      {"a*b*c", "aXbYbZ", false},
      {"qza%ik?.in", "qza%ik1.in", true},
      {"", "", true},
      {"", "x", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::WildcardMatch(c.pattern, c.name), c.match)
        << c.pattern << " vs " << c.name;
  }
}

std::set<std::string> FindAll(const std::string& pattern) {
  std::set<std::string> names;
  platform::FileFinder finder;
  for (bool found = finder.First(pattern.c_str()); found; found = finder.Next()) {
    names.insert(finder.Name());
  }
  return names;
}

TEST(FileFinder, ReturnsMatchingFilesButNoDirectories) {
  testutil::TempDir dir;
  testutil::WriteFile(dir / "qza1k3.in", "");
  testutil::WriteFile(dir / "QZA1K4.IN", "");
  testutil::WriteFile(dir / "qza1k5.alr", "");
  ASSERT_TRUE(testutil::MakeDirectory(dir / "qza1k6.in"));
  EXPECT_EQ(FindAll(dir.path() + "\\qza1k?.in"), (std::set<std::string>{"qza1k3.in", "QZA1K4.IN"}));
  EXPECT_EQ(FindAll(dir.path() + "/*"),
            (std::set<std::string>{"qza1k3.in", "QZA1K4.IN", "qza1k5.alr"}));
}

TEST(FileFinder, MissingDirectoryAndEmptyPatternFindNothing) {
  testutil::TempDir dir;
  EXPECT_TRUE(FindAll(dir / "missing/qz*.job").empty());
  EXPECT_TRUE(FindAll("").empty());
  EXPECT_TRUE(FindAll(dir.path() + "/").empty());
}

}  // namespace

}  // namespace qza
