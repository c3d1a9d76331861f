#include "alarm/AlarmFile.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "support/Printable.h"

namespace qza {

namespace {

// One line as CDosFile::ReadLine gives it from `at`: up to kAlarmPieceMax
// bytes, ended by the first CR LF that lies wholly inside them, cut at a NUL.
// Moves `at` to the start of the next line.
std::string NextPiece(const char* bytes, size_t size, size_t* at) {
  const size_t n = std::min(kAlarmPieceMax, size - *at);
  const char* piece = bytes + *at;
  size_t end = n;
  size_t next = n;
  for (size_t k = 0; k + 1 < n; ++k) {
    if (piece[k] == '\r' && piece[k + 1] == '\n') {
      end = k;
      next = k + 2;
      break;
    }
  }
  *at += next;
  return std::string(piece, strnlen(piece, end));
}

// True when a CR LF stands in the bytes from `from` on.
bool HasLineEnd(const char* bytes, size_t size, size_t from) {
  for (size_t k = from; k + 1 < size; ++k) {
    if (bytes[k] == '\r' && bytes[k + 1] == '\n') return true;
  }
  return false;
}

void AppendChecksumLine(AlarmRequest* request, const std::string& line) {
  const size_t length = line.size();
  if (length > kAlarmLineMax ||
      request->checksum_length + length + 2 > kAlarmChecksumLinesMax + 36) {
    request->within_limits = false;
    return;
  }
  std::memcpy(request->checksum_text + request->checksum_length, line.data(), length);
  request->checksum_length += length;
  std::memcpy(request->checksum_text + request->checksum_length, "\r\n", 3);
  request->checksum_length += 2;
}

// Copies a field when it fits its limit; otherwise marks the request.
void KeepField(AlarmRequest* request, char* field, size_t max, const std::string& line) {
  if (line.size() > max) {
    request->within_limits = false;
    return;
  }
  std::memcpy(field, line.c_str(), line.size() + 1);
}

// The check value as atoi reads it; out of the signed 32-bit range is outside
// the format.
int32_t ParseCheckValue(const char* line, bool* in_range) {
  const char* p = line;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  int64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > int64_t{INT32_MAX} + 1) {
      *in_range = false;
      return 0;
    }
  }
  if (negative) value = -value;
  if (value > INT32_MAX) {
    *in_range = false;
    return 0;
  }
  return static_cast<int32_t>(value);
}

// The type line's message and program, or false for an unknown type.
bool RecognisedType(const std::string& line, AlarmRequest* request, const char** program,
                    std::vector<std::string>* messages) {
  const char* text = line.c_str();
  if (strcasecmp(text, "PROBE") == 0) {
    request->type = AlarmType::ProbeAlarm;
    messages->push_back("Probe-Alarm\r\n");
  } else if (strcasecmp(text, "ALARM") == 0) {
    request->type = AlarmType::RealAlarm;
    messages->push_back("Echter Alarm\r\n");
  } else if (strcasecmp(text, "OLSTART") == 0) {
    request->type = AlarmType::OutlookStart;
    messages->push_back("Starte Outlook\r\n");
    *program = "tovarin.exe";
  } else {
    messages->push_back("Alarmtyp unbekannt\r\n");
    return false;
  }
  return true;
}

// The command line without the archive name, and its arguments: program,
// group, message id, text (with UseVoxFile=1 and more than three characters)
// or 0, console name or "Console_" and its id. The text is the words joined
// by one blank each, with a blank at the end.
void FormCommandLine(const char* program, const std::string& group, bool use_vox_file,
                     const char* console_id, const char* console_name, AlarmRequest* request) {
  std::vector<std::string>& words = request->arguments;
  words = {program, group, request->message_id};
  if (use_vox_file && std::strlen(request->text) > 3) {
    words.emplace_back(request->text);
  } else {
    words.emplace_back("0");
  }
  if (console_name[0] != '\0') {
    words.emplace_back(console_name);
  } else {
    words.push_back(std::string("Console_") + console_id);
  }
  std::string command;
  for (const std::string& word : words) command += word + ' ';
  if (command.size() > kAlarmCommandMax) {
    request->within_limits = false;
    words.clear();
  } else {
    std::memcpy(request->command_line, command.c_str(), command.size() + 1);
  }
}

}  // namespace

AlarmLines SplitAlarmLines(const char* bytes, size_t size) {
  AlarmLines lines;
  size_t at = 0;
  size_t type_start = 0;
  for (size_t n = 0; n < kAlarmLineCount; ++n) {
    if (n == 1) type_start = at;
    lines.line[n] = NextPiece(bytes, size, &at);
  }
  lines.type_line_open = size < kAlarmReadMax && !HasLineEnd(bytes, size, type_start);
  return lines;
}

AlarmReadOutcome ParseAlarmLines(const AlarmLines& lines, bool use_vox_file,
                                 AlarmRequest* request, std::vector<std::string>* messages) {
  *request = AlarmRequest();
  messages->clear();
  const auto& line = lines.line;
  AppendChecksumLine(request, line[0]);
  AppendChecksumLine(request, line[1]);
  const char* program = "QZARUN.CMD";
  if (!RecognisedType(line[1], request, &program, messages)) {
    return lines.type_line_open ? AlarmReadOutcome::kTypeLineOpen
                                : AlarmReadOutcome::kUnrecognisedType;
  }
  for (size_t n = 2; n < 18; ++n) AppendChecksumLine(request, line[n]);
  messages->push_back("Gruppe '" + Printable(line[3].c_str()) + "'\r\n");
  messages->push_back("Text '" + Printable(line[5].c_str()) + "'\r\n");
  char console_id[kAlarmConsoleIdMax + 1] = "";
  char console_name[kAlarmConsoleNameMax + 1] = "";
  KeepField(request, request->text, kAlarmTextMax, line[5]);
  KeepField(request, console_id, kAlarmConsoleIdMax, line[7]);
  KeepField(request, console_name, kAlarmConsoleNameMax, line[11]);
  KeepField(request, request->message_id, kAlarmMessageIdMax, line[17]);
  FormCommandLine(program, line[3], use_vox_file, console_id, console_name, request);
  // Line 19 is dropped; line 20 holds the check value.
  if (line[18].size() > kAlarmLineMax || line[19].size() > kAlarmLineMax) {
    request->within_limits = false;
  }
  request->check_value = ParseCheckValue(line[19].c_str(), &request->within_limits);
  return AlarmReadOutcome::kRead;
}

uint32_t AlarmWeightedSum(const char* text, size_t length) {
  uint32_t sum = 0;
  for (size_t i = 0; i < length; ++i) {
    const int32_t c = static_cast<signed char>(text[i]);
    sum += static_cast<uint32_t>(c) * (41u + 2u * (i % 3)) * (17u + 2u * (i % 7));
  }
  return sum;
}

bool AlarmChecksumValid(const AlarmRequest& request) {
  const uint32_t v = static_cast<uint32_t>(request.check_value) ^ AlarmChecksumKey;
  return v - AlarmWeightedSum(request.checksum_text, request.checksum_length) == 0;
}

std::array<std::string, 19> AlarmFileLines(const AlarmFileFields& fields) {
  std::array<std::string, 19> lines;
  lines[1] = fields.type;
  lines[3] = fields.group;
  lines[5] = fields.text;
  lines[7] = fields.console_id;
  lines[11] = fields.console_name;
  lines[17] = fields.message_id;
  return lines;
}

std::string ComposeAlarmFile(const std::array<std::string, 19>& lines) {
  std::string text;
  for (int n = 0; n < 18; ++n) text += lines[n] + "\r\n";
  const uint32_t check = AlarmWeightedSum(text.data(), text.size()) ^ AlarmChecksumKey;
  text += lines[18] + "\r\n";
  return text + std::to_string(static_cast<int32_t>(check)) + "\r\n";
}

}  // namespace qza
