#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AlarmContent.h"
#include "TestUtil.h"
#include "alarm/AlarmFile.h"

namespace qza {

namespace {

class AlarmFileTest : public ::testing::Test {
 protected:
  // Reads `content` as the bytes of an alarm file; returns the outcome, fills
  // request_ and output_ (what reading it prints).
  AlarmReadOutcome Read(const std::string& content) {
    std::vector<std::string> messages;
    const AlarmReadOutcome outcome = ParseAlarmLines(
        SplitAlarmLines(content.data(), content.size()), use_vox_file_, &request_, &messages);
    output_.clear();
    for (const std::string& message : messages) output_ += message;
    return outcome;
  }
  bool use_vox_file_ = false;
  AlarmRequest request_;
  std::string output_;
};

// The lines are those that twenty line reads of 256-byte buffers give.
TEST(AlarmLines, SplitAsTwentyLineReads) {
  using std::string;
  const string x254(254, 'x');
  const string x255(255, 'x');
  static const struct {
    const char* name;
    string bytes;
    std::vector<string> lines;  // the first lines; the rest read empty
    bool type_line_open;
  } cases[] = {
      {"CR LF lines", "a\r\nb\r\n", {"a", "b"}, false},
      {"lone CR and LF end nothing", "a\rb\nc\r\nPROBE\r\n", {"a\rb\nc", "PROBE"}, false},
      {"a long line in pieces of 255", string(300, 'x') + "\r\nPROBE\r\n",
       {x255, string(45, 'x'), "PROBE"}, false},
      {"CR LF across a piece's end", x254 + "\r\ny\r\n", {x254 + "\r", "\ny"}, false},
      {"255 bytes then CR LF", x255 + "\r\nz\r\n", {x255, "", "z"}, false},
      {"a NUL cuts the line", string("ab") + '\0' + "cd\r\nPROBE\r\n", {"ab", "PROBE"}, false},
      {"no line end at the end", "a\r\nPROBE", {"a", "PROBE"}, true},
      {"ends inside the type line", "a\r\nPRO", {"a", "PRO"}, true},
      {"ends before the type line", "a\r\n", {"a"}, true},
      {"empty file", "", {}, true},
      {"ends inside the first line", "abc", {"abc"}, true},
      {"type line ended later", "\r\n" + string(300, 't') + "\r\n", {"", string(255, 't'), string(45, 't')},
       false},
      {"no line end in a full read", string(kAlarmReadMax, 'a'),
       std::vector<string>(kAlarmLineCount, string(255, 'a')), false},
  };
  for (const auto& c : cases) {
    const AlarmLines lines = SplitAlarmLines(c.bytes.data(), c.bytes.size());
    for (size_t n = 0; n < kAlarmLineCount; ++n) {
      const string expected = n < c.lines.size() ? c.lines[n] : "";
      EXPECT_EQ(lines.line[n], expected) << c.name << ", line " << n + 1;
    }
    EXPECT_EQ(lines.type_line_open, c.type_line_open) << c.name;
  }
}

TEST(AlarmLines, TwentyLinesAreReadAndTheRestIsIgnored) {
  std::string bytes;
  for (int n = 1; n <= 22; ++n) bytes += std::to_string(n) + "\r\n";
  const AlarmLines lines = SplitAlarmLines(bytes.data(), bytes.size());
  EXPECT_EQ(lines.line[0], "1");
  EXPECT_EQ(lines.line[19], "20");
}

TEST(AlarmChecksum, WeightsOfTheExamples) {
  EXPECT_EQ(AlarmWeightedSum("abc", 3), 241230u);
  EXPECT_EQ(static_cast<int32_t>(AlarmWeightedSum("\xE4", 1)), -19516);
  // The weights repeat every 21 bytes.
  std::string a(21, '\0');
  a += "x";
  EXPECT_EQ(AlarmWeightedSum(a.data(), a.size()), AlarmWeightedSum("x", 1));
}

TEST_F(AlarmFileTest, RealAlarmBecomesItsCommandLine) {
  ASSERT_EQ(Read(testutil::AlarmContent({})), AlarmReadOutcome::kRead);
  EXPECT_EQ(output_, "Echter Alarm\r\nGruppe 'Brand'\r\nText 'Feuer im Keller'\r\n");
  EXPECT_EQ(request_.type, AlarmType::RealAlarm);
  EXPECT_STREQ(request_.command_line, "QZARUN.CMD Brand M42 0 Console_7 ");
  EXPECT_STREQ(request_.text, "Feuer im Keller");
  EXPECT_STREQ(request_.message_id, "M42");
  EXPECT_TRUE(request_.within_limits);
  EXPECT_TRUE(AlarmChecksumValid(request_));
}

TEST_F(AlarmFileTest, TypeKeywordIsAWholeLineWithoutRegardToCase) {
  static const struct {
    const char* keyword;
    bool recognised;
    const char* message;
    const char* program;
  } cases[] = {
      {"probe", true, "Probe-Alarm\r\n", "QZARUN.CMD "},
      {"Alarm", true, "Echter Alarm\r\n", "QZARUN.CMD "},
      {"olStart", true, "Starte Outlook\r\n", "tovarin.exe "},
      {"ALARM ", false, "Alarmtyp unbekannt\r\n", nullptr},
      {"", false, "Alarmtyp unbekannt\r\n", nullptr},
      {"ALARMS", false, "Alarmtyp unbekannt\r\n", nullptr},
  };
  for (const auto& c : cases) {
    testutil::AlarmFields fields;
    fields.type = c.keyword;
    AlarmReadOutcome outcome = Read(testutil::AlarmContent(fields));
    EXPECT_EQ(outcome == AlarmReadOutcome::kRead, c.recognised) << c.keyword;
    EXPECT_EQ(output_.substr(0, std::string(c.message).size()), c.message) << c.keyword;
    if (c.recognised) {
      EXPECT_EQ(std::string(request_.command_line).rfind(c.program, 0), 0u) << c.keyword;
      EXPECT_TRUE(AlarmChecksumValid(request_)) << c.keyword;
    } else {
      EXPECT_EQ(output_, c.message);
    }
  }
}

TEST_F(AlarmFileTest, ThirdAndFourthArguments) {
  static const struct {
    int use_vox_file;
    const char* text;
    const char* console_id;
    const char* console_name;
    const char* command;
    std::vector<std::string> arguments;  // one per field, after the program
  } cases[] = {
      {1, "abc", "7", "", "QZARUN.CMD G M 0 Console_7 ", {"0", "Console_7"}},
      {1, "abcd", "7", "", "QZARUN.CMD G M abcd Console_7 ", {"abcd", "Console_7"}},
      {2, "abcd", "7", "", "QZARUN.CMD G M 0 Console_7 ", {"0", "Console_7"}},
      {0, "abcd", "7", "Leitstand", "QZARUN.CMD G M 0 Leitstand ", {"0", "Leitstand"}},
      {1, "two words", "", "", "QZARUN.CMD G M two words Console_ ", {"two words", "Console_"}},
      {1, "x \"y", "a b", "", "QZARUN.CMD G M x \"y Console_a b ", {"x \"y", "Console_a b"}},
  };
  for (const auto& c : cases) {
    use_vox_file_ = c.use_vox_file == 1;
    testutil::AlarmFields fields;
    fields.group.assign(1, 'G');
    fields.message_id.assign(1, 'M');
    fields.text = c.text;
    fields.console_id = c.console_id;
    fields.console_name = c.console_name;
    ASSERT_EQ(Read(testutil::AlarmContent(fields)), AlarmReadOutcome::kRead);
    EXPECT_STREQ(request_.command_line, c.command);
    std::vector<std::string> arguments = {"QZARUN.CMD", "G", "M"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    EXPECT_EQ(request_.arguments, arguments) << c.command;
  }
}

TEST_F(AlarmFileTest, EmptyGroupAndMessageIdLeaveTwoBlanks) {
  testutil::AlarmFields fields;
  fields.group = "";
  fields.message_id = "";
  ASSERT_EQ(Read(testutil::AlarmContent(fields)), AlarmReadOutcome::kRead);
  EXPECT_STREQ(request_.command_line, "QZARUN.CMD   0 Console_7 ");
}

// A type that is not known is deleted only when its line is complete: a file
// that ends inside its type line may still be being written.
TEST_F(AlarmFileTest, UnknownTypeWithoutItsLineEndIsLeftForItsWriter) {
  static const struct {
    const char* bytes;
    AlarmReadOutcome outcome;
  } cases[] = {
      {"\r\nALARMS\r\n", AlarmReadOutcome::kUnrecognisedType},
      {"\r\nALARMS", AlarmReadOutcome::kTypeLineOpen},
      {"\r\nALA", AlarmReadOutcome::kTypeLineOpen},
      {"", AlarmReadOutcome::kTypeLineOpen},
      {"\r\nPROBE", AlarmReadOutcome::kRead},
      {"\r\n\r\n", AlarmReadOutcome::kUnrecognisedType},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Read(c.bytes), c.outcome) << c.bytes;
    if (c.outcome != AlarmReadOutcome::kRead) {
      EXPECT_EQ(output_, "Alarmtyp unbekannt\r\n") << c.bytes;
    }
  }
}

TEST_F(AlarmFileTest, ShortFileReadsEmptyLinesAndCheckValueZero) {
  ASSERT_EQ(Read("x\r\nPROBE\r\nz\r\ngroup"), AlarmReadOutcome::kRead);
  EXPECT_EQ(request_.check_value, 0);
  std::string expected = "x\r\nPROBE\r\nz\r\ngroup\r\n";
  for (int n = 5; n <= 18; ++n) expected += "\r\n";
  EXPECT_EQ(std::string(request_.checksum_text), expected);
  EXPECT_FALSE(AlarmChecksumValid(request_));
}

TEST_F(AlarmFileTest, CheckValueReadsAsAtoi) {
  const std::string valid = testutil::AlarmContent({});
  const size_t line20 = valid.rfind("\r\n", valid.size() - 3) + 2;
  const std::string value = valid.substr(line20, valid.size() - line20 - 2);
  const std::string body = valid.substr(0, line20);
  for (const std::string& written : {"  " + value, value + "xyz", "\t" + value}) {
    ASSERT_EQ(Read(body + written + "\r\n"), AlarmReadOutcome::kRead);
    EXPECT_TRUE(AlarmChecksumValid(request_)) << written;
  }
  if (value[0] != '-') {
    ASSERT_EQ(Read(body + "+" + value), AlarmReadOutcome::kRead);
    EXPECT_TRUE(AlarmChecksumValid(request_));
  }
}

TEST_F(AlarmFileTest, FieldsBeyondTheLimitsMakeTheFileInvalid) {
  const std::string line254(254, 'l');
  static const struct {
    const char* name;
    testutil::AlarmFields fields;
    bool within;
  } cases[] = {
      {"text 127", {.text = std::string(127, 't')}, true},
      {"text 128", {.text = std::string(128, 't')}, false},
      {"console id 31", {.console_id = std::string(31, 'i')}, true},
      {"console id 32", {.console_id = std::string(32, 'i')}, false},
      {"console name 128", {.console_name = std::string(128, 'n')}, false},
      {"message id 39", {.message_id = std::string(39, 'm')}, true},
      {"message id 40", {.message_id = std::string(40, 'm')}, false},
      {"line 254", {.other_lines = {{5, line254}}}, false},
      {"line 19 of 254", {.other_lines = {{19, line254}}}, false},
      {"lines 1-18 of 476", {.other_lines = {{1, std::string(250, 'a')}, {3, std::string(200, 'b')}}},
       false},
      {"command line 256", {.group = std::string(200, 'g'), .console_name = std::string(50, 'n')},
       false},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(Read(testutil::AlarmContent(c.fields)), AlarmReadOutcome::kRead) << c.name;
    EXPECT_EQ(request_.within_limits, c.within) << c.name;
  }
}

TEST_F(AlarmFileTest, CheckValueOutsideThirtyTwoBitsIsInvalid) {
  std::string content;
  for (int n = 1; n <= 19; ++n) content += n == 2 ? "PROBE\r\n" : "\r\n";
  for (const char* value : {"2147483648", "-2147483649", "99999999999999999999"}) {
    ASSERT_EQ(Read(content + value + "\r\n"), AlarmReadOutcome::kRead);
    EXPECT_FALSE(request_.within_limits) << value;
  }
  ASSERT_EQ(Read(content + "-2147483648\r\n"), AlarmReadOutcome::kRead);
  EXPECT_TRUE(request_.within_limits);
  EXPECT_EQ(request_.check_value, INT32_MIN);
}

}  // namespace

}  // namespace qza
