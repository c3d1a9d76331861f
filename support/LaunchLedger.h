// The launch ledger: what the service launched, or was about to launch, for
// the spool files that are still in the spool, kept across crashes.
//
// Every handler that starts a program for a spool file writes a record before
// the launch and clears it once the file is archived or deleted; a file that
// was launched but could not be archived or deleted keeps a record that says
// so, and is never launched again while it stays as it was. A file is known by
// one identity rule: device, inode, size and modification time, taken from the
// descriptor that was read. Records of files that no longer hold their name
// as they were are pruned, so the number of records is bounded by the files
// actually present.
//
// The ledger is one file in the working directory: a versioned text of one
// line per record, each with its own check value, stored as one checked block
// (platform::Journal). A ledger that cannot be read whole is said on the
// console, moved aside for the operator, and the service goes on at least
// once: launches of the first pass may repeat earlier ones, and say so.
#ifndef QZA_SUPPORT_LAUNCH_LEDGER_H_
#define QZA_SUPPORT_LAUNCH_LEDGER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/Journal.h"

namespace qza {

struct LedgerRecord {
  enum class Kind : char { kAlarm = 'A', kFax = 'F' };
  enum class State : char {
    kLaunching = 'L',  // written before the launch; a crash leaves it
    kLeft = 'K',       // launched, and left in the spool: never launched again
  };
  Kind kind = Kind::kAlarm;
  State state = State::kLaunching;
  platform::FileIdentity identity;
  int64_t time = 0;     // when it was written, seconds since 1970
  std::string archive;  // alarms: the archive name its program was given
  std::string path;     // the spool file's path text, as handlers see it

  static LedgerRecord Of(Kind kind, State state, const platform::FileIdentity& identity,
                         int64_t time, const char* path, const char* archive = "") {
    return {kind, state, identity, time, archive, path};
  }
};

class LaunchLedger {
 public:
  // The ledger's file name in the working directory.
  static constexpr char kFileName[] = "qza_wdir.journal";
  // The fax journal of earlier versions, taken over and removed at Open.
  static constexpr char kOldFaxFileName[] = "qza_wdir.faxjournal";

  // `path` names the ledger file (tests give their own).
  explicit LaunchLedger(std::string path = kFileName);
  LaunchLedger(const LaunchLedger&) = delete;
  LaunchLedger& operator=(const LaunchLedger&) = delete;

  // Opens the ledger and takes over what an earlier run left in it, keeping
  // only records whose files still hold their names as they were. A ledger
  // that cannot be read whole is named on the console with the reason, moved
  // aside as "<file>.damaged-<YYYYMMDD-HHMMSS>" (`now` gives the time) and
  // replaced by an empty one; until EndDoubt, launches may then repeat earlier
  // ones. With `sync` every write reaches the disk before it returns. A
  // ledger that cannot be opened at all is said, and launches go on without.
  void Open(bool sync, int64_t now);
  bool IsOpen() const { return journal_.IsOpen(); }

  // True after a damaged ledger was found, until EndDoubt: a launch may then
  // repeat one the damaged ledger knew of.
  bool InDoubt() const { return in_doubt_; }
  void EndDoubt() { in_doubt_ = false; }

  // The record of `kind` for `path`, or null.
  const LedgerRecord* Find(LedgerRecord::Kind kind, const std::string& path) const;
  // True when `path` holds, as it was, a file of `kind` that was launched and
  // left in the spool: it is never launched again.
  bool LeftAsItWas(LedgerRecord::Kind kind, const std::string& path) const;
  // True when a record holds `archive` as its archive name.
  bool ArchiveReserved(const std::string& archive) const;

  // Writes `record` in place of the one of its kind and path. False, with a
  // console line giving the reason and saying that crash protection is off
  // until the ledger can be written again, when it cannot be written; the
  // record is kept in memory all the same.
  bool Put(const LedgerRecord& record);
  // Removes the record of `kind` for `path` (nothing when there is none).
  void Remove(LedgerRecord::Kind kind, const std::string& path);
  // Drops the records whose files no longer hold their names as they were.
  void Prune();

  const std::vector<LedgerRecord>& records() const { return records_; }

  // Reads the ledger at `path` without changing anything (no file is made,
  // nothing moved aside), keeping the records whose files still hold their
  // names as they were. False, with the reason in `damage`, when the ledger
  // cannot be read whole; true with no records when there is none.
  static bool Read(const std::string& path, std::vector<LedgerRecord>* records,
                   std::string* damage);

  // The ledger's text for `records` and the records of `text`; false when
  // the text is no whole ledger (with the reason in `damage`). Pure.
  static std::string Format(const std::vector<LedgerRecord>& records);
  static bool Parse(const std::string& text, std::vector<LedgerRecord>* records,
                    std::string* damage);

 private:
  bool Store();
  void MoveAside(const std::string& damage, int64_t now);
  void TakeOverOldFaxJournal();

  std::string path_;
  platform::Journal journal_;
  std::vector<LedgerRecord> records_;
  bool in_doubt_ = false;
  bool write_failed_ = false;  // the last write failed: said once until one succeeds
};

}  // namespace qza

#endif  // QZA_SUPPORT_LAUNCH_LEDGER_H_
