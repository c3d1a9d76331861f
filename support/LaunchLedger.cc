#include "support/LaunchLedger.h"

#include <errno.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/File.h"
#include "platform/FileSystem.h"

namespace qza {

namespace {

constexpr char kVersionLine[] = "qza_wdir ledger 1";

uint32_t Check(const std::string& text) {
  uint32_t hash = 2166136261u;  // FNV-1a
  for (unsigned char c : text) hash = (hash ^ c) * 16777619u;
  return hash;
}

// A field without blanks or control characters; "-" stands for empty.
std::string Escape(const std::string& text) {
  if (text.empty()) return "-";
  std::string out;
  for (unsigned char c : text) {
    if (c == '%' || c == ' ' || c < 0x20 || c == 0x7f || (c == '-' && text.size() == 1)) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool Unescape(const std::string& field, std::string* out) {
  out->clear();
  if (field == "-") return true;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '%') {
      *out += field[i];
      continue;
    }
    unsigned value = 0;
    if (i + 2 >= field.size() + 0 || std::sscanf(field.c_str() + i + 1, "%2x", &value) != 1) {
      return false;
    }
    *out += static_cast<char>(value);
    i += 2;
  }
  return true;
}

std::string RecordBody(const LedgerRecord& r) {
  char numbers[128];
  std::snprintf(numbers, sizeof numbers, "%c%c %" PRIu64 " %" PRIu64 " %" PRId64 " %" PRId64
                " %" PRId64,
                static_cast<char>(r.kind), static_cast<char>(r.state), r.identity.dev,
                r.identity.ino, r.identity.size, r.identity.mtime, r.time);
  return std::string(numbers) + " " + Escape(r.archive) + " " + Escape(r.path);
}

bool ParseRecord(const std::string& line, LedgerRecord* r) {
  unsigned check = 0;
  int consumed = 0;
  if (std::sscanf(line.c_str(), "%8x %n", &check, &consumed) != 1 || consumed != 9) return false;
  const std::string body = line.substr(9);
  if (Check(body) != check) return false;
  char kind = 0, state = 0;
  char archive[1024], path[1024];
  if (body.size() >= sizeof path ||
      std::sscanf(body.c_str(), "%c%c %" SCNu64 " %" SCNu64 " %" SCNd64 " %" SCNd64 " %" SCNd64
                  " %1023s %1023s",
                  &kind, &state, &r->identity.dev, &r->identity.ino, &r->identity.size,
                  &r->identity.mtime, &r->time, archive, path) != 9) {
    return false;
  }
  if ((kind != 'A' && kind != 'F') || (state != 'L' && state != 'K')) return false;
  r->kind = static_cast<LedgerRecord::Kind>(kind);
  r->state = static_cast<LedgerRecord::State>(state);
  return Unescape(archive, &r->archive) && Unescape(path, &r->path) && !r->path.empty() &&
         RecordBody(*r) == body;
}

std::vector<std::string> Lines(const std::string& text, bool* whole) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    if (end == std::string::npos) break;
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  *whole = at == text.size();
  return lines;
}

// The journal of earlier versions: three lines per launch (archive name,
// path, "device inode size time left").
bool ParseEarlierAlarmJournal(const std::vector<std::string>& lines,
                              std::vector<LedgerRecord>* records) {
  if (lines.size() % 3 != 0) return false;
  for (size_t i = 0; i < lines.size(); i += 3) {
    LedgerRecord r;
    int left = 0;
    char rest = 0;
    platform::FileIdentity& id = r.identity;
    if (std::sscanf(lines[i + 2].c_str(), "%" SCNu64 " %" SCNu64 " %" SCNd64 " %" SCNd64 " %d%c",
                    &id.dev, &id.ino, &id.size, &id.mtime, &left, &rest) < 4 ||
        lines[i + 1].empty()) {
      return false;
    }
    r.state = left == 1 ? LedgerRecord::State::kLeft : LedgerRecord::State::kLaunching;
    r.archive = lines[i];
    r.path = lines[i + 1];
    records->push_back(r);
  }
  return true;
}

bool StillAsItWas(const LedgerRecord& r) {
  platform::FileIdentity now;
  return platform::IdentityOfPath(r.path.c_str(), &now) && now == r.identity;
}

}  // namespace

LaunchLedger::LaunchLedger(std::string path) : path_(std::move(path)) {}

std::string LaunchLedger::Format(const std::vector<LedgerRecord>& records) {
  std::string text = std::string(kVersionLine) + "\n";
  for (const LedgerRecord& r : records) {
    const std::string body = RecordBody(r);
    char check[16];
    std::snprintf(check, sizeof check, "%08x ", Check(body));
    text += check + body + "\n";
  }
  return text;
}

bool LaunchLedger::Parse(const std::string& text, std::vector<LedgerRecord>* records,
                         std::string* damage) {
  records->clear();
  if (text.empty()) return true;
  bool whole = false;
  const std::vector<std::string> lines = Lines(text, &whole);
  if (!whole) {
    *damage = "its last record is cut short";
    return false;
  }
  if (lines.empty() || lines[0] != kVersionLine) {
    if (ParseEarlierAlarmJournal(lines, records)) return true;
    records->clear();
    *damage = "it is in no known format";
    return false;
  }
  for (size_t i = 1; i < lines.size(); ++i) {
    LedgerRecord r;
    if (!ParseRecord(lines[i], &r)) {
      records->clear();
      *damage = "record " + std::to_string(i) + " does not match its check value";
      return false;
    }
    records->push_back(r);
  }
  return true;
}

bool LaunchLedger::Read(const std::string& path, std::vector<LedgerRecord>* records,
                        std::string* damage) {
  records->clear();
  if (!platform::PathExists(path.c_str())) return true;
  platform::FileIdentity ignored;
  if (!platform::IdentityOfRegularEntry(path.c_str(), &ignored)) {
    *damage = "it is not a regular file";
    return false;
  }
  platform::Journal journal;
  std::string text;
  std::vector<LedgerRecord> found;
  if (const platform::Status opened = journal.Open(path.c_str(), false); !opened.ok()) {
    *damage = std::string("it cannot be opened: ") + opened.reason();
    return false;
  }
  if (!journal.LoadWhole(&text, damage) || !Parse(text, &found, damage)) return false;
  for (const LedgerRecord& r : found) {
    if (StillAsItWas(r)) records->push_back(r);
  }
  return true;
}

void LaunchLedger::Open(bool sync, int64_t now) {
  const char* path = path_.c_str();
  std::string damage;
  platform::Status opened = journal_.Open(path, sync);
  const int error = opened.error();
  if (error == ELOOP || error == ENODEV || error == EISDIR || error == EMLINK || error == EACCES ||
      error == EPERM) {
    // A link, a directory or a device (Windows says a directory may not be
    // opened), or a file this user may not read: no ledger can be read there.
    const std::string why = std::string("it cannot be opened: ") + opened.reason();
    platform::FileIdentity ignored;
    MoveAside(platform::IdentityOfRegularEntry(path, &ignored) ? why : "it is not a regular file",
              now);
    opened = journal_.Open(path, sync);
  }
  if (!opened.ok()) {
    platform::Print(
        "ERROR: ledger %s cannot be used: %s; a launch interrupted by a crash may "
        "be repeated without a word, and archive names may be given twice\r\n",
        path, opened.reason());
    return;
  }
  std::string text;
  std::vector<LedgerRecord> found;
  if (!journal_.LoadWhole(&text, &damage) || !Parse(text, &found, &damage)) {
    journal_.Close();
    MoveAside(damage, now);
    if (const platform::Status reopened = journal_.Open(path, sync); !reopened.ok()) {
      platform::Print("ERROR: ledger %s cannot be made anew: %s\r\n", path, reopened.reason());
      return;
    }
    found.clear();
  }
  for (const LedgerRecord& r : found) {
    if (StillAsItWas(r)) records_.push_back(r);
  }
  TakeOverOldFaxJournal();
  Store();
}

void LaunchLedger::MoveAside(const std::string& damage, int64_t now) {
  const struct tm t = platform::LocalTime(now);
  char aside[64];
  std::snprintf(aside, sizeof aside, ".damaged-%04d%02d%02d-%02d%02d%02d", t.tm_year + 1900,
                t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  const std::string target = path_ + aside;
  in_doubt_ = true;
  if (const platform::Status renamed = platform::RenameFile(path_.c_str(), target.c_str());
      !renamed.ok()) {
    platform::Print(
        "ERROR: ledger %s is damaged (%s) and cannot be moved aside: %s; spool files "
        "it may have covered are launched again, each said to be a possible "
        "repeat\r\n",
        path_.c_str(), damage.c_str(), renamed.reason());
    return;
  }
  platform::Print("ERROR: ledger %s is damaged (%s): moved aside as %s; spool files it may have "
                  "covered are launched again, each said to be a possible repeat\r\n",
                  path_.c_str(), damage.c_str(), target.c_str());
}

void LaunchLedger::TakeOverOldFaxJournal() {
  if (!platform::PathExists(kOldFaxFileName)) return;
  platform::Journal old;
  if (!old.Open(kOldFaxFileName, false).ok()) return;
  const std::string text = old.Load();
  bool whole = false;
  const std::vector<std::string> lines = Lines(text, &whole);
  for (size_t i = 0; i + 1 < lines.size(); i += 2) {
    LedgerRecord r;
    r.kind = LedgerRecord::Kind::kFax;
    r.state = LedgerRecord::State::kLeft;
    r.path = lines[i];
    platform::FileIdentity& id = r.identity;
    if (std::sscanf(lines[i + 1].c_str(), "%" SCNu64 " %" SCNu64 " %" SCNd64 " %" SCNd64,
                    &id.dev, &id.ino, &id.size, &id.mtime) == 4 &&
        StillAsItWas(r) && Find(r.kind, r.path) == nullptr) {
      records_.push_back(r);
    }
  }
  // Taken over: a journal that cannot be removed is read again at the next
  // start, and what it holds is in the ledger already.
  (void)platform::RemoveFile(kOldFaxFileName);
}

const LedgerRecord* LaunchLedger::Find(LedgerRecord::Kind kind, const std::string& path) const {
  for (const LedgerRecord& r : records_) {
    if (r.kind == kind && r.path == path) return &r;
  }
  return nullptr;
}

bool LaunchLedger::LeftAsItWas(LedgerRecord::Kind kind, const std::string& path) const {
  const LedgerRecord* r = Find(kind, path);
  return r != nullptr && r->state == LedgerRecord::State::kLeft && StillAsItWas(*r);
}

bool LaunchLedger::ArchiveReserved(const std::string& archive) const {
  for (const LedgerRecord& r : records_) {
    if (!r.archive.empty() && r.archive == archive) return true;
  }
  return false;
}

bool LaunchLedger::Put(const LedgerRecord& record) {
  for (LedgerRecord& r : records_) {
    if (r.kind == record.kind && r.path == record.path) {
      r = record;
      return Store();
    }
  }
  records_.push_back(record);
  return Store();
}

void LaunchLedger::Remove(LedgerRecord::Kind kind, const std::string& path) {
  for (auto it = records_.begin(); it != records_.end(); ++it) {
    if (it->kind == kind && it->path == path) {
      records_.erase(it);
      Store();
      return;
    }
  }
}

void LaunchLedger::Prune() {
  size_t kept = 0;
  for (size_t i = 0; i < records_.size(); ++i) {
    if (!StillAsItWas(records_[i])) continue;
    if (kept != i) records_[kept] = std::move(records_[i]);
    ++kept;
  }
  if (kept == records_.size()) return;
  records_.resize(kept);
  Store();
}

bool LaunchLedger::Store() {
  if (!journal_.IsOpen()) return false;
  const std::string text = Format(records_);
  std::string reason;
  if (text.size() > platform::Journal::kCapacity) {
    reason = "its " + std::to_string(records_.size()) + " records need more than " +
             std::to_string(platform::Journal::kCapacity) + " bytes";
  } else if (const platform::Status stored = journal_.Store(text); !stored.ok()) {
    reason = stored.reason();
  }
  if (reason.empty()) {
    if (write_failed_) {
      platform::Print("ledger %s is written again: crash protection is back\r\n", path_.c_str());
    }
    write_failed_ = false;
    return true;
  }
  if (!write_failed_) {
    platform::Print("ERROR: ledger %s could not be written: %s; crash protection is off until it "
                    "can be written again\r\n",
                    path_.c_str(), reason.c_str());
    platform::PrintError("qza_wdir: ledger %s not written: %s\n", path_.c_str(), reason.c_str());
  }
  write_failed_ = true;
  return false;
}

}  // namespace qza
