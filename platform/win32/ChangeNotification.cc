// Change notification on Windows: ReadDirectoryChangesW, overlapped.
//
// FindFirstChangeNotification with a last-write filter never fires for a file
// renamed into the directory (how spool files arrive) and loses a change made
// while the service scans; ReadDirectoryChangesW with names and last-write
// keeps them, as the system buffers the records between two reads. An entry
// added, renamed in or written counts as a change; removals and the old name
// of a rename do not. A completion with no bytes means the system's buffer
// overflowed and records were lost: that counts as a change, and the caller
// is told that names were missed, so the pass lists the directory. The names
// of the records are kept, in order, for TakeNames (removals and old names of
// renames as names that left). The wait watches the stop event beside the
// directory. A read that ends with an error, or that cannot be started again,
// means the directory is gone (removed, or renamed away): it is looked for
// again as the header says.
#include "platform/ChangeNotification.h"

#include <errno.h>

#include <string>
#include <vector>

#include "platform/Startup.h"
#include "platform/win32/Win32.h"

namespace platform {

struct ChangeNotification::Watch {
  HANDLE directory = INVALID_HANDLE_VALUE;
  HANDLE event = nullptr;
  OVERLAPPED overlapped{};
  bool reading = false;  // a read is outstanding
  bool overflow = false;  // records were lost since the names were last taken
  std::vector<NameEvent> names;  // entries that appeared, changed or left, in order
  alignas(DWORD) char buffer[64 * 1024];

  static bool StartRead(Watch* watch);
  static bool TakeRecords(Watch* watch, DWORD bytes);
  static bool Drain(Watch* watch, bool* gone);
  static void Destroy(Watch* watch);
};

namespace {

constexpr DWORD kFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE;
// More names than this between two passes are dropped: the pass lists instead.
constexpr size_t kMaxNames = 8192;

uint64_t NowMs() { return GetTickCount64(); }

}  // namespace


// Starts the next read. False when the directory cannot be read any more
// (removed, or access lost).
bool ChangeNotification::Watch::StartRead(Watch* watch) {
  watch->overlapped = OVERLAPPED{};
  watch->overlapped.hEvent = watch->event;
  ResetEvent(watch->event);
  watch->reading = ReadDirectoryChangesW(watch->directory, watch->buffer, sizeof watch->buffer,
                                         FALSE, kFilter, nullptr, &watch->overlapped, nullptr);
  return watch->reading;
}

// Takes the records of a completed read. True when one is a change.
bool ChangeNotification::Watch::TakeRecords(Watch* watch, DWORD bytes) {
  if (bytes == 0) {
    watch->overflow = true;
    return true;
  }
  bool changed = false;
  for (DWORD offset = 0; offset < bytes;) {
    const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(watch->buffer + offset);
    const bool appeared = record->Action == FILE_ACTION_ADDED ||
                          record->Action == FILE_ACTION_MODIFIED ||
                          record->Action == FILE_ACTION_RENAMED_NEW_NAME;
    if (appeared) changed = true;
    char name[MAX_PATH * 3];
    const int n = WideCharToMultiByte(CP_ACP, 0, record->FileName,
                                      static_cast<int>(record->FileNameLength / sizeof(WCHAR)),
                                      name, sizeof name, nullptr, nullptr);
    if (n <= 0 || watch->names.size() >= kMaxNames) {
      watch->overflow = true;  // a name that cannot be kept: the pass lists
    } else if (!watch->overflow) {
      watch->names.push_back({std::string(name, static_cast<size_t>(n)), !appeared});
    }
    if (record->NextEntryOffset == 0) break;
    offset += record->NextEntryOffset;
  }
  return changed;
}

// Collects every read that has completed, starting the next each time.
// Returns true when one held a change; sets *gone when the directory can no
// longer be read.
bool ChangeNotification::Watch::Drain(Watch* watch, bool* gone) {
  bool changed = false;
  while (watch->reading) {
    DWORD bytes = 0;
    if (!GetOverlappedResult(watch->directory, &watch->overlapped, &bytes, FALSE)) {
      if (GetLastError() == ERROR_IO_INCOMPLETE) break;
      const DWORD error = GetLastError();
      watch->reading = false;
      if (error == ERROR_NOTIFY_ENUM_DIR) {
        changed = watch->overflow = true;
      } else {
        *gone = true;  // the directory was removed or renamed away, or access to it lost
        break;
      }
    } else {
      watch->reading = false;
      if (TakeRecords(watch, bytes)) changed = true;
    }
    if (!StartRead(watch)) {
      *gone = true;
      break;
    }
  }
  return changed;
}

// Ends the outstanding read and frees the watch.
void ChangeNotification::Watch::Destroy(Watch* watch) {
  if (watch == nullptr) return;
  if (watch->reading) {
    CancelIoEx(watch->directory, &watch->overlapped);
    DWORD bytes;
    GetOverlappedResult(watch->directory, &watch->overlapped, &bytes, TRUE);  // the buffer is free then
  }
  if (watch->directory != INVALID_HANDLE_VALUE) CloseHandle(watch->directory);
  if (watch->event != nullptr) CloseHandle(watch->event);
  delete watch;
}

ChangeNotification::~ChangeNotification() { Close(); }

Status ChangeNotification::CreateWatch(const std::string& path) {
  auto* watch = new Watch();
  const std::string native = win32::BackslashPath(path);
  watch->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  watch->directory = CreateFileA(native.c_str(), FILE_LIST_DIRECTORY,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED,
                                 nullptr);
  if (watch->event == nullptr || watch->directory == INVALID_HANDLE_VALUE || !Watch::StartRead(watch)) {
    const Status status = backend::LastFailure("watch");
    Watch::Destroy(watch);
    names_missed_ = true;
    return status;
  }
  watch_ = watch;
  watching_ = true;
  return Status();
}

void ChangeNotification::Close() {
  Watch::Destroy(watch_);
  watch_ = nullptr;
  watching_ = false;
  pending_change_ = false;
  lost_ = false;
}

Status ChangeNotification::RenewWatch(const std::string& native) {
  Watch* old = watch_;
  watch_ = nullptr;  // the old watch stays open until the new one is in place
  Close();
  const Status created = CreateWatch(native);
  if (old != nullptr) {
    bool gone = false;
    pending_change_ = Watch::Drain(old, &gone);
    if (watch_ != nullptr) {
      watch_->names.insert(watch_->names.begin(), old->names.begin(), old->names.end());
      watch_->overflow = watch_->overflow || old->overflow;
    }
    Watch::Destroy(old);
  }
  return created;
}

// The handle of a directory that was deleted keeps it pending deletion, so
// that no new directory can be made at its path: it is closed at once.
void ChangeNotification::ForgetGoneWatch() {
  Watch::Destroy(watch_);
  watch_ = nullptr;
  watching_ = false;
  Lost();
}

ChangeNotification::WaitResult ChangeNotification::Wait(uint32_t milliseconds) {
  if (StopRequested()) return kStopped;
  bool gone = false;
  if (pending_change_) {
    pending_change_ = false;
    if (Watching()) Watch::Drain(watch_, &gone);  // what the new watch saw meanwhile belongs to this pass
    if (gone) ForgetGoneWatch();
    return kChanged;
  }
  const uint64_t deadline = NowMs() + milliseconds;
  for (;;) {
    // A directory that went away and stands at its path again is listed in
    // full by the caller (TakeNames reports names missed).
    if (LookAgainIfDue(static_cast<int64_t>(NowMs()))) return kChanged;
    const uint64_t now = NowMs();
    const uint64_t left = static_cast<uint64_t>(UntilNextLook(
        static_cast<int64_t>(now), static_cast<int64_t>(deadline > now ? deadline - now : 0)));
    HANDLE handles[2] = {win32::StopEvent(), Watching() ? watch_->event : nullptr};
    const DWORD count = handles[1] != nullptr ? 2 : 1;
    // INFINITE is 0xFFFFFFFF: stay below it and loop for longer waits.
    const DWORD timeout = left >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(left);
    const DWORD ready = WaitForMultipleObjects(count, handles, FALSE, timeout);
    if (StopRequested()) return kStopped;
    if (ready == WAIT_OBJECT_0) {
      ResetEvent(handles[0]);  // a withdrawn request: forget its wake-up
      continue;
    }
    if (ready == WAIT_FAILED) return kChanged;  // a failed wait counts as a change
    if (ready == WAIT_TIMEOUT) {
      if (NowMs() < deadline) continue;  // clamped long wait
      return kTimeout;
    }
    const bool changed = Watch::Drain(watch_, &gone);
    if (gone) ForgetGoneWatch();
    if (changed) return kChanged;
    if (LookAgainIfDue(static_cast<int64_t>(NowMs()))) return kChanged;
    if (NowMs() >= deadline) return kTimeout;
  }
}

std::vector<ChangeNotification::NameEvent> ChangeNotification::TakeNames(bool* missed) {
  *missed = names_missed_ || !Watching();
  names_missed_ = !Watching();
  std::vector<NameEvent> taken;
  if (watch_ != nullptr) {
    *missed = *missed || watch_->overflow;
    watch_->overflow = false;
    taken.swap(watch_->names);
  }
  return taken;
}

}  // namespace platform
