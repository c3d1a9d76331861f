// Alarm files: twenty CR LF lines read by position, classified by the type
// keyword of line 2, turned into the command line of the alarm program and
// guarded by a weighted checksum over lines 1 to 18.
#ifndef QZA_ALARM_ALARM_FILE_H_
#define QZA_ALARM_ALARM_FILE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qza {

// Key of the check value: line 20 holds the weighted sum XOR this key.
constexpr uint32_t AlarmChecksumKey = 0x3B9D27C6;

enum class AlarmType { ProbeAlarm, RealAlarm, OutlookStart };

// Limits of the format, in characters without line ends.
constexpr size_t kAlarmLineMax = 253;
constexpr size_t kAlarmTextMax = 127;
constexpr size_t kAlarmConsoleIdMax = 31;
constexpr size_t kAlarmConsoleNameMax = 127;
constexpr size_t kAlarmMessageIdMax = 39;
constexpr size_t kAlarmChecksumLinesMax = 475;  // lines 1 to 18 together
constexpr size_t kAlarmCommandMax = 255;        // archive name included

struct AlarmRequest {
  AlarmType type = AlarmType::ProbeAlarm;
  char command_line[kAlarmCommandMax + 1] = "";  // without the archive name
  // What the program is started with: its name, then each field of the
  // command line as one argument (group, message id, text or "0", console
  // name or "Console_" and the id), whatever blanks or quotes a field holds.
  // The archive name follows at the launch. The command line text stays what
  // the records show.
  std::vector<std::string> arguments;
  char text[kAlarmTextMax + 1] = "";
  char message_id[kAlarmMessageIdMax + 1] = "";
  int32_t check_value = 0;
  char checksum_text[512] = "";  // lines 1 to 18, each followed by CR LF
  size_t checksum_length = 0;
  // False when a line or field broke the limits above or the check value lies
  // outside the signed 32-bit range; such a file is never launched. The
  // fields then hold nothing usable.
  bool within_limits = true;
};

// An alarm file is read with one read of its first kAlarmReadMax bytes and
// split into twenty lines as twenty line reads of 256-byte buffers would give
// them: a line ends at CR LF; a lone CR or LF does not end it; a line longer
// than kAlarmPieceMax bytes comes back in pieces of that size, each counting
// as a line; a NUL cuts the line's text; lines past the end read empty.
constexpr size_t kAlarmLineCount = 20;
constexpr size_t kAlarmPieceMax = 255;
constexpr size_t kAlarmReadMax = kAlarmLineCount * kAlarmPieceMax + 1;

struct AlarmLines {
  std::array<std::string, kAlarmLineCount> line;
  // True when the file ends before its type line (line 2) is ended by CR LF:
  // no CR LF stands from that line's start to the end of `bytes`, and `bytes`
  // is shorter than kAlarmReadMax (so the file ended there). Its writer may
  // still be writing it.
  bool type_line_open = false;
};

// Splits the first `size` bytes of an alarm file (what one read of at most
// kAlarmReadMax bytes gave) into its twenty lines. No side effects.
AlarmLines SplitAlarmLines(const char* bytes, size_t size);

enum class AlarmReadOutcome {
  kRead,              // the request is filled (check within_limits)
  kUnrecognisedType,  // line 2 names no type: the file is deleted
  kTypeLineOpen,      // no type yet, and the file ends inside its type line
};

// Turns the lines of an alarm file into its request and the console lines
// that reading it prints (each ending in CR LF): the type message ("Probe-
// Alarm", "Echter Alarm", "Starte Outlook" or "Alarmtyp unbekannt"), then for
// a known type "Gruppe '...'" and "Text '...'" with control characters as ?.
// With `use_vox_file` (UseVoxFile=1) a text longer than three characters is
// the command's third argument. No side effects.
AlarmReadOutcome ParseAlarmLines(const AlarmLines& lines, bool use_vox_file,
                                 AlarmRequest* request, std::vector<std::string>* messages);

// True when the check value matches the checksum text. No side effects.
bool AlarmChecksumValid(const AlarmRequest& request);

// The weighted sum of `length` bytes (bytes signed, 32-bit wrapping): the
// value that a writer XORs with AlarmChecksumKey into line 20.
uint32_t AlarmWeightedSum(const char* text, size_t length);

// The fields that an alarm file carries by position.
struct AlarmFileFields {
  std::string type;          // line 2
  std::string group;         // line 4
  std::string text;          // line 6
  std::string console_id;    // line 8
  std::string console_name;  // line 12
  std::string message_id;    // line 18
};

// Lines 1 to 19 of an alarm file with these fields; the other lines are empty.
std::array<std::string, 19> AlarmFileLines(const AlarmFileFields& fields);

// The text of an alarm file: lines 1 to 19 (`lines[0]` to `lines[18]`), each
// followed by CR LF, then line 20 with the check value of lines 1 to 18.
std::string ComposeAlarmFile(const std::array<std::string, 19>& lines);

}  // namespace qza

#endif  // QZA_ALARM_ALARM_FILE_H_
