// Builds alarm files for tests: twenty CR LF lines with a correct (or a
// deliberately wrong) check value in line 20.
#ifndef QZA_TESTS_ALARM_CONTENT_H_
#define QZA_TESTS_ALARM_CONTENT_H_

#include <map>
#include <string>

#include "alarm/AlarmFile.h"

namespace qza {

namespace testutil {

struct AlarmFields {
  std::string type = "ALARM";
  std::string group = "Brand";
  std::string text = "Feuer im Keller";
  std::string console_id = "7";
  std::string console_name;
  std::string message_id = "M42";
  std::map<int, std::string> other_lines;  // lines 1-19 beside the fields
  int check_offset = 0;                    // added to the correct check value
};

inline std::string AlarmContent(const AlarmFields& f) {
  std::array<std::string, 19> lines = AlarmFileLines(
      {f.type, f.group, f.text, f.console_id, f.console_name, f.message_id});
  for (const auto& [number, text] : f.other_lines) lines[number - 1] = text;
  std::string content = ComposeAlarmFile(lines);
  if (f.check_offset == 0) return content;
  const size_t line20 = content.rfind("\r\n", content.size() - 3) + 2;
  const int32_t check = static_cast<int32_t>(
      static_cast<uint32_t>(std::stol(content.substr(line20))) + f.check_offset);
  return content.substr(0, line20) + std::to_string(check) + "\r\n";
}

}  // namespace testutil

}  // namespace qza

#endif  // QZA_TESTS_ALARM_CONTENT_H_
