// Builds alarm files for tests: twenty CR LF lines with a correct (or a
// deliberately wrong) check value in line 20.
#ifndef QZA_TESTS_ALARM_CONTENT_H_
#define QZA_TESTS_ALARM_CONTENT_H_

#include <map>
#include <string>

#include "alarm/AlarmFile.h"

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
  std::map<int, std::string> lines = f.other_lines;
  lines[2] = f.type;
  lines[4] = f.group;
  lines[6] = f.text;
  lines[8] = f.console_id;
  lines[12] = f.console_name;
  lines[18] = f.message_id;
  std::string content;
  for (int n = 1; n <= 18; ++n) content += lines[n] + "\r\n";
  const uint32_t check = AlarmWeightedSum(content.data(), content.size()) ^ AlarmChecksumKey;
  content += lines[19] + "\r\n";
  content += std::to_string(static_cast<int32_t>(check + f.check_offset)) + "\r\n";
  return content;
}

}  // namespace testutil

#endif  // QZA_TESTS_ALARM_CONTENT_H_
