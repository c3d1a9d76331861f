#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "TestUtil.h"
#include "platform/Profile.h"
#include "support/CUserProfile.h"

namespace qza {

namespace {

class ProfileTest : public ::testing::Test {
 protected:
  std::string Ini() const { return dir_ / "test.ini"; }
  testutil::TempDir dir_;
};

TEST_F(ProfileTest, ReadsValuesAsTheWindowsServiceDoes) {
  testutil::WriteFile(Ini(),
                      "; comment\r\n"
                      "[Pathnames]\r\n"
                      "  WatchPath =  \\qzt\\start\\  \r\n"
                      "Quoted=\"a b \"\r\n"
                      "Single='x'\r\n"
                      "Half=\"open\r\n"
                      "Eq=a=b\r\n"
                      "watchpath=second\r\n"
                      ";Commented=1\r\n"
                      "[other]\n"
                      "Key=lf\r"
                      "CrOnly=cr\r");
  CUserProfile profile(Ini().c_str(), 1);
  static const struct {
    const char* section;
    const char* key;
    const char* value;
  } cases[] = {
      {"pathnames", "WATCHPATH", "\\qzt\\start\\"},  // trimmed, case-blind, first wins
      {"Pathnames", "Quoted", "a b "},
      {"Pathnames", "Single", "x"},
      {"Pathnames", "Half", "\"open"},
      {"Pathnames", "Eq", "a=b"},
      {"Pathnames", "Commented", "dflt"},
      {"Other", "Key", "lf"},
      {"Other", "CrOnly", "cr"},
      {"Missing", "Key", "dflt"},
  };
  for (const auto& c : cases) {
    char buffer[128];
    int n = profile.ReadProfileString(c.section, c.key, "dflt", sizeof buffer, buffer);
    EXPECT_STREQ(buffer, c.value) << c.section << "/" << c.key;
    EXPECT_EQ(n, static_cast<int>(std::strlen(c.value)));
  }
}

TEST_F(ProfileTest, StringsAreCutToSizeLessOne) {
  testutil::WriteFile(Ini(), "[SVoxSettings]\nVoice=" + std::string(60, 'v') + "\n");
  CUserProfile profile(Ini().c_str(), 1);
  char voice[40];
  EXPECT_EQ(profile.ReadProfileString("SVoxSettings", "Voice", "", sizeof voice, voice), 39);
  EXPECT_EQ(std::string(voice), std::string(39, 'v'));
  char empty[8] = "junk";
  EXPECT_EQ(profile.ReadProfileString("SVoxSettings", "Absent", nullptr, sizeof empty, empty), 0);
  EXPECT_STREQ(empty, "");
}

TEST_F(ProfileTest, IntegersFollowGetPrivateProfileInt) {
  testutil::WriteFile(Ini(),
                      "[Server]\nA=42A\nB=-5\nC=x7\nD=\nE=+12\nF=-99\nG=99999999999\n");
  CUserProfile profile(Ini().c_str(), 1);
  static const struct {
    const char* key;
    long expected;
  } cases[] = {{"A", 42}, {"B", -5}, {"C", 0}, {"D", -99}, {"E", 12},
               {"F", -99}, {"G", INT32_MAX}, {"Missing", -99}};
  for (const auto& c : cases) {
    long value = 7;
    EXPECT_EQ(profile.ReadProfileInt("Server", c.key, -99, &value), 1);
    EXPECT_EQ(value, c.expected) << c.key;
  }
}

TEST_F(ProfileTest, MissingFileGivesDefaultsAndOpenCloseReportOne) {
  CUserProfile profile(Ini().c_str(), 1);
  EXPECT_EQ(profile.OpenProfile(), 1);
  long value = 0;
  profile.ReadProfileInt("Server", "WaitForSec", -99, &value);
  EXPECT_EQ(value, -99);
  EXPECT_EQ(profile.CloseProfile(), 1);
  EXPECT_FALSE(testutil::FileExists(Ini()));
}

TEST_F(ProfileTest, WritingOneKeyKeepsEveryOtherByte) {
  const std::string original =
      "; settings\r\n[Server]\r\nNumber = 1\r\nWaitForSec=180 \r\n\r\n[Alarm]\r\nUseVoxFile=0\r\n";
  testutil::WriteFile(Ini(), original);
  chmod(Ini().c_str(), 0640);
  const int mode = testutil::FileMode(Ini());
  CUserProfile profile(Ini().c_str(), 1);
  EXPECT_NE(profile.WriteProfileStringA("server", "waitforsec", "30"), 0);
  std::string expected = original;
  expected.replace(expected.find("180 "), 4, "30");
  EXPECT_EQ(testutil::ReadFile(Ini()), expected);
  EXPECT_EQ(testutil::FileMode(Ini()), mode);
  if (!testutil::kWindows) {
    EXPECT_EQ(mode, 0640);
  }

  EXPECT_NE(profile.WriteProfileStringA("Server", "SleepAfterError", "1200"), 0);
  expected.insert(expected.find("\r\n\r\n[Alarm]") + 2, "SleepAfterError=1200\r\n");
  EXPECT_EQ(testutil::ReadFile(Ini()), expected);

  EXPECT_NE(profile.WriteProfileStringA("SVoxSettings", "Voice", "judith8"), 0);
  expected += "[SVoxSettings]\r\nVoice=judith8\r\n";
  EXPECT_EQ(testutil::ReadFile(Ini()), expected);
}

TEST_F(ProfileTest, FilesUnlikeAnIniFileAreNamedByWhatIsWrong) {
  using platform::ProfileFault;
  const std::string long_line = "[A]\nKey=" + std::string(platform::kMaxProfileLine, 'v') + "\n";
  static const struct {
    const char* name;
    std::string content;
    ProfileFault fault;
  } cases[] = {
      {"settings", "; note\r\n[Server]\r\nNumber=1\r\n", ProfileFault::kNone},
      {"empty", "", ProfileFault::kNone},
      {"comments and blanks only", "; nothing yet\n\n   \n", ProfileFault::kNone},
      {"line at the limit", "[A]\n" + std::string(platform::kMaxProfileLine, ';'),
       ProfileFault::kNone},
      {"NUL byte", std::string("[A]\nB=1\0\n", 9), ProfileFault::kNulByte},
      {"line over the limit", long_line, ProfileFault::kLongLine},
      {"keys without a section", "WatchPath=/srv/\nAckPath=/srv/log/\n", ProfileFault::kNoSection},
      {"text without a section", "\x7f\x45LF junk\x01\x02", ProfileFault::kNoSection},
  };
  for (const auto& c : cases) {
    testutil::WriteFile(Ini(), c.content);
    const platform::Result<ProfileFault> checked = platform::CheckProfileFile(Ini().c_str());
    EXPECT_TRUE(checked.ok()) << c.name << ": " << checked.status().ToString();
    EXPECT_EQ(checked.value(), c.fault) << c.name;
  }
  std::remove(Ini().c_str());
  const platform::Result<ProfileFault> missing = platform::CheckProfileFile(Ini().c_str());
  EXPECT_TRUE(missing.ok());
  EXPECT_EQ(missing.value(), ProfileFault::kNone) << "missing";
}

TEST_F(ProfileTest, FileOverTheLimitIsNeitherReadNorWritten) {
  std::string content = "[Server]\nWaitForSec=5\n";
  while (content.size() <= platform::kMaxProfileBytes) content += "; a comment line\n";
  content.resize(platform::kMaxProfileBytes + 1);
  testutil::WriteFile(Ini(), content);
  EXPECT_EQ(platform::CheckProfileFile(Ini().c_str()).value(), platform::ProfileFault::kTooLarge);
  CUserProfile profile(Ini().c_str(), 1);
  long value = 0;
  profile.ReadProfileInt("Server", "WaitForSec", -99, &value);
  EXPECT_EQ(value, -99);
  EXPECT_EQ(profile.WriteProfileStringA("Server", "Number", "2"), 0);
  EXPECT_EQ(testutil::ReadFile(Ini()), content);
  // One byte less is an ini file like any other.
  content.pop_back();
  testutil::WriteFile(Ini(), content);
  EXPECT_EQ(platform::CheckProfileFile(Ini().c_str()).value(), platform::ProfileFault::kNone);
  profile.ReadProfileInt("Server", "WaitForSec", -99, &value);
  EXPECT_EQ(value, 5);
}

TEST_F(ProfileTest, UnreadableFileIsNamedWithItsReason) {
  if (testutil::kWindows) GTEST_SKIP() << "file modes do not keep a file from being read on Windows";
  if (testutil::RunningAsRoot()) GTEST_SKIP() << "root reads any file";
  testutil::WriteFile(Ini(), "[A]\nB=1\n");
  chmod(Ini().c_str(), 0);
  const platform::Result<platform::ProfileFault> checked =
      platform::CheckProfileFile(Ini().c_str());
  EXPECT_FALSE(checked.ok());
  EXPECT_EQ(checked.status().error(), EACCES);
}

TEST_F(ProfileTest, WriteCreatesTheFile) {
  CUserProfile profile(Ini().c_str(), 1);
  EXPECT_NE(profile.WriteProfileInt("Server", "Min", -5), 0);
  EXPECT_NE(profile.WriteProfileInt("Server", "Max", 2147483647L), 0);
  EXPECT_EQ(testutil::ReadFile(Ini()), "[Server]\nMin=-5\nMax=2147483647\n");
}

TEST_F(ProfileTest, FailedWriteLeavesTheOldFileIntact) {
  if (testutil::kWindows) GTEST_SKIP() << "a read-only attribute does not keep files out of a directory on Windows";
  testutil::WriteFile(Ini(), "[A]\nB=1\n");
  // Root writes into any directory; an immutable one refuses even root.
  const std::string lock = "chattr +i " + dir_.path() + " 2>/dev/null";
  if (testutil::RunningAsRoot() && system(lock.c_str()) != 0) GTEST_SKIP() << "no chattr here";
  chmod(dir_.path().c_str(), 0555);
  CUserProfile profile(Ini().c_str(), 1);
  EXPECT_EQ(profile.WriteProfileStringA("A", "B", "2"), 0);
  EXPECT_EQ(testutil::ReadFile(Ini()), "[A]\nB=1\n");
  if (testutil::RunningAsRoot() && system(("chattr -i " + dir_.path()).c_str()) != 0) ADD_FAILURE();
  chmod(dir_.path().c_str(), 0755);
}

TEST_F(ProfileTest, HexadecimalDataRoundTrip) {
  CUserProfile profile(Ini().c_str(), 1);
  const unsigned char bytes[] = {0x0A, 0xFF, 0x00, 0x7F};
  EXPECT_NE(profile.WriteProfileData("Data", "Bytes", sizeof bytes, bytes), 0);
  char text[16];
  profile.ReadProfileString("Data", "Bytes", "", sizeof text, text);
  EXPECT_STREQ(text, "0AFF007F");
  unsigned char back[4] = {};
  EXPECT_EQ(profile.ReadProfileData("Data", "Bytes", sizeof back, back), 1);
  EXPECT_EQ(std::memcmp(back, bytes, sizeof bytes), 0);

  profile.WriteProfileStringA("Data", "Lower", "0aff0011");
  unsigned char two[2] = {};
  EXPECT_EQ(profile.ReadProfileData("Data", "Lower", sizeof two, two), 1);
  EXPECT_EQ(two[0], 0x0A);
  EXPECT_EQ(two[1], 0xFF);

  EXPECT_NE(profile.WriteProfileData("Data", "Empty", 0, bytes), 0);
  unsigned char untouched[1] = {0x55};
  EXPECT_EQ(profile.ReadProfileData("Data", "Empty", 1, untouched), 0);
  EXPECT_EQ(untouched[0], 0x55);
}

TEST_F(ProfileTest, CopiesOwnTheirPathText) {
  testutil::WriteFile(Ini(), "[A]\nB=copied\n");
  auto* original = new CUserProfile(Ini().c_str(), 1);
  CUserProfile copy(*original);
  CUserProfile assigned(nullptr, 1);
  assigned = *original;
  delete original;
  char buffer[16];
  copy.ReadProfileString("A", "B", "", sizeof buffer, buffer);
  EXPECT_STREQ(buffer, "copied");
  assigned.ReadProfileString("A", "B", "", sizeof buffer, buffer);
  EXPECT_STREQ(buffer, "copied");
}

TEST_F(ProfileTest, ObjectWithoutPathGivesDefaultsAndWritesNothing) {
  CUserProfile profile(nullptr, 1);
  long value = 0;
  profile.ReadProfileInt("A", "B", -99, &value);
  EXPECT_EQ(value, -99);
  char buffer[8];
  EXPECT_EQ(profile.ReadProfileString("A", "B", "dflt", sizeof buffer, buffer), 4);
  EXPECT_EQ(profile.WriteProfileStringA("A", "B", "x"), 0);
}

TEST_F(ProfileTest, IntegersAreWrittenWithEveryDigit) {
  CUserProfile profile(Ini().c_str(), 1);
  static const struct {
    long value;
    const char* text;
  } cases[] = {{0, "0"},
               {-5, "-5"},
#if LONG_MAX > 2147483647L
               {2147483648L, "2147483648"},
               {LONG_MAX, "9223372036854775807"},
               {LONG_MIN, "-9223372036854775808"}};
#else  // Windows keeps long at 32 bits
               {LONG_MAX, "2147483647"},
               {LONG_MIN, "-2147483648"}};
#endif
  for (const auto& c : cases) {
    EXPECT_NE(profile.WriteProfileInt("Server", "Value", c.value), 0);
    char text[32];
    profile.ReadProfileString("Server", "Value", "", sizeof text, text);
    EXPECT_STREQ(text, c.text);
  }
}

TEST_F(ProfileTest, WriteBackKeepsOwnerAndGroup) {
  if (!testutil::RunningAsRoot()) GTEST_SKIP() << "only root can give the file to another owner";
#ifndef _WIN32  // Windows files have no owner and group of this kind
  testutil::WriteFile(Ini(), "[A]\nB=1\n");
  ASSERT_EQ(chown(Ini().c_str(), 4321, 8765), 0);
  chmod(Ini().c_str(), 0604);
  CUserProfile profile(Ini().c_str(), 1);
  EXPECT_NE(profile.WriteProfileStringA("A", "B", "2"), 0);
  struct stat st;
  ASSERT_EQ(stat(Ini().c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 4321u);
  EXPECT_EQ(st.st_gid, 8765u);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  EXPECT_EQ(testutil::ReadFile(Ini()), "[A]\nB=2\n");
#endif
}

TEST_F(ProfileTest, LinkedIniIsWrittenThroughToItsTarget) {
  if (testutil::kWindows) GTEST_SKIP() << "symbolic links need a privilege on Windows";
  ASSERT_TRUE(testutil::MakeDirectory(dir_ / "etc"));
  const std::string target = dir_ / "etc/real.ini";
  static const struct {
    const char* name;
    const char* link;  // relative to the link's directory, or absolute when empty
    const char* before;
    const char* after;
  } cases[] = {
      {"relative", "etc/real.ini", "[A]\nB=1\n", "[A]\nB=2\n"},
      {"absolute", "", "[A]\nB=1\nC=3\n", "[A]\nB=2\nC=3\n"},
      {"dangling", "etc/real.ini", nullptr, "[A]\nB=2\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testutil::RemoveFile(Ini());
    testutil::RemoveFile(target);
    if (c.before) testutil::WriteFile(target, c.before);
    const std::string link = *c.link ? std::string(c.link) : target;
    ASSERT_TRUE(testutil::MakeSymlink(link, Ini()));
    CUserProfile profile(Ini().c_str(), 1);
    EXPECT_NE(profile.WriteProfileStringA("A", "B", "2"), 0);
    EXPECT_TRUE(testutil::IsSymlink(Ini()));
    EXPECT_EQ(testutil::ReadFile(target), c.after);
  }
}

TEST_F(ProfileTest, TextInMemoryReadsAsTheSameFileDoes) {
  const std::string text =
      "Early=before any section\n"
      "[File1]\r\n"
      "  File =  a.wav \r\n"
      "Text=\"quoted \"\r\n"
      ";Dir=commented\r\n"
      "[other]\n"
      "File=other\r"
      "[FILE1]\n"
      "file=second wins not\n"
      "Dir=from the second header\n"
      "[]\n"
      "Empty=section\n"
      "[Open\n"
      "Key=unclosed\n";
  testutil::WriteFile(Ini(), text);
  CUserProfile file(Ini().c_str(), 1);
  const platform::ProfileText memory(text.data(), text.size());
  static const struct {
    const char* section;
    const char* key;
  } cases[] = {{"", "Early"},     {"File1", "File"},  {"file1", "TEXT"}, {"File1", "Dir"},
               {"Other", "File"}, {"", "Empty"},      {"Open", "Key"},   {"Missing", "Key"},
               {"File1", "Missing"}};
  for (const auto& c : cases) {
    char from_file[64], from_memory[64];
    const int n = file.ReadProfileString(c.section, c.key, "dflt", sizeof from_file, from_file);
    EXPECT_EQ(memory.GetString(c.section, c.key, "dflt", from_memory, sizeof from_memory),
              static_cast<size_t>(n));
    EXPECT_STREQ(from_memory, from_file) << c.section << "/" << c.key;
  }
  char small[4];
  EXPECT_EQ(memory.GetString("File1", "Dir", nullptr, small, sizeof small), 3u);
  EXPECT_STREQ(small, "fro");
}

}  // namespace

}  // namespace qza
