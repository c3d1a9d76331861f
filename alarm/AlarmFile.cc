#include "alarm/AlarmFile.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/Console.h"
#include "support/CDosFile.h"
#include "support/Printable.h"

namespace {

constexpr unsigned long kLineSize = 256;

// Reads the next line into `line`; a line missing at the end reads empty.
void ReadAlarmLine(CDosFile& file, char (&line)[kLineSize]) {
  line[0] = '\0';
  file.ReadLine(line, kLineSize);  // results are not examined: missing lines read empty
}

void AppendChecksumLine(AlarmRequest* request, const char* line) {
  size_t length = std::strlen(line);
  if (length > kAlarmLineMax ||
      request->checksum_length + length + 2 > kAlarmChecksumLinesMax + 36) {
    request->within_limits = false;
    return;
  }
  std::memcpy(request->checksum_text + request->checksum_length, line, length);
  request->checksum_length += length;
  std::memcpy(request->checksum_text + request->checksum_length, "\r\n", 3);
  request->checksum_length += 2;
}

// Copies a field when it fits its limit; otherwise marks the request.
void KeepField(AlarmRequest* request, char* field, size_t max, const char* line) {
  if (std::strlen(line) > max) {
    request->within_limits = false;
    return;
  }
  std::memcpy(field, line, std::strlen(line) + 1);
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

}  // namespace

AlarmReadOutcome ReadAlarmFile(CDosFile& file, bool use_vox_file, AlarmRequest* request) {
  *request = AlarmRequest();
  std::string command = "QZARUN.CMD ";
  char line[kLineSize];

  ReadAlarmLine(file, line);
  AppendChecksumLine(request, line);
  ReadAlarmLine(file, line);
  AppendChecksumLine(request, line);
  if (strcasecmp(line, "PROBE") == 0) {
    request->type = AlarmType::ProbeAlarm;
    platform::Print("Probe-Alarm\r\n");
  } else if (strcasecmp(line, "ALARM") == 0) {
    request->type = AlarmType::RealAlarm;
    platform::Print("Echter Alarm\r\n");
  } else if (strcasecmp(line, "OLSTART") == 0) {
    request->type = AlarmType::OutlookStart;
    platform::Print("Starte Outlook\r\n");
    command = "tovarin.exe ";
  } else {
    platform::Print("Alarmtyp unbekannt\r\n");
    return AlarmReadOutcome::kUnrecognisedType;
  }

  char console_id[kAlarmConsoleIdMax + 1] = "";
  char console_name[kAlarmConsoleNameMax + 1] = "";
  for (int n = 3; n <= 18; ++n) {
    ReadAlarmLine(file, line);
    AppendChecksumLine(request, line);
    switch (n) {
      case 4:
        platform::Print("Gruppe '%s'\r\n", Printable(line).c_str());
        command += line;
        command += ' ';
        break;
      case 6:
        platform::Print("Text '%s'\r\n", Printable(line).c_str());
        KeepField(request, request->text, kAlarmTextMax, line);
        break;
      case 8:
        KeepField(request, console_id, kAlarmConsoleIdMax, line);
        break;
      case 12:
        KeepField(request, console_name, kAlarmConsoleNameMax, line);
        break;
      case 18:
        KeepField(request, request->message_id, kAlarmMessageIdMax, line);
        break;
    }
  }

  command += request->message_id;
  command += ' ';
  if (use_vox_file && std::strlen(request->text) > 3) {
    command += request->text;
    command += ' ';
  } else {
    command += "0 ";
  }
  if (console_name[0] != '\0') {
    command += console_name;
  } else {
    command += "Console_";
    command += console_id;
  }
  command += ' ';
  if (command.size() > kAlarmCommandMax) {
    request->within_limits = false;
  } else {
    std::memcpy(request->command_line, command.c_str(), command.size() + 1);
  }

  ReadAlarmLine(file, line);  // line 19 is read and dropped
  if (std::strlen(line) > kAlarmLineMax) request->within_limits = false;
  ReadAlarmLine(file, line);
  if (std::strlen(line) > kAlarmLineMax) request->within_limits = false;
  request->check_value = ParseCheckValue(line, &request->within_limits);
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
