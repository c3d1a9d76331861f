#include "tts/WavThreads.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "core/Settings.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/FileSystem.h"

namespace {

constexpr int kRetryWaits = 200;           // 200 waits of 500 ms: 100 seconds
constexpr uint32_t kRetryIntervalMs = 500;

// Makes the attempt; while it fails and fewer than 200 waits have been made,
// waits 500 ms and tries again. True when the last attempt succeeded.
bool BoundedRetry(const std::function<bool()>& attempt) {
  bool done = attempt();
  for (int waits = 0; !done && waits < kRetryWaits; ++waits) {
    platform::Sleep(kRetryIntervalMs);
    done = attempt();
  }
  return done;
}

// Where the synthesiser left a file of this stem. The TTS job joins SvoxPath
// and the name with ".\"; with its trailing separator the two joins name the
// same file, and without it the thread joins as the job did, so that it finds
// the output where the synthesiser wrote it.
std::string SvoxFile(const std::string& stem, const char* extension) {
  const char* svox = g_settings.SvoxPath;
  const size_t length = std::strlen(svox);
  const bool separator = length > 0 && (svox[length - 1] == '\\' || svox[length - 1] == '/');
  return std::string(svox) + (separator || length == 0 ? "" : ".\\") + stem + extension;
}

bool TargetReplaceable(const char* target) {
  return platform::PathWritable(target) || !platform::PathExists(target);
}

}  // namespace

void MoveWavThread(void* argument) {
  std::unique_ptr<char[]> target(static_cast<char*>(argument));  // freed on every way out
  const char* path = target.get();
  const char* slash = std::strrchr(path, '\\');
  std::string stem = slash ? slash + 1 : path;
  const size_t wav = stem.find(".wav");
  if (wav != std::string::npos) stem.resize(wav);
  const std::string output = SvoxFile(stem, ".wav");
  const std::string text = SvoxFile(stem, ".txt");

  if (!BoundedRetry([&] { return platform::PathWritable(output.c_str()); })) {
    platform::Print("Failed to create wavfile: %s (No tmpfile created)\n", path);
    return;
  }
  if (!BoundedRetry([&] { return TargetReplaceable(path); })) {
    platform::Print("Failed to create wavfile: %s (Old wavfile can not be deleted)\n", path);
    return;
  }
  if (!platform::RemoveFile(path)) {
    if (!BoundedRetry([&] { return TargetReplaceable(path); })) {
      platform::Print("Failed to create wavfile: %s (Old wavfile can not be deleted)\n", path);
      return;
    }
    platform::RemoveFile(path);  // result ignored: the copy replaces the target anyway
  }
  auto copy = [&] { return platform::CopyFileReplacing(output.c_str(), path); };
  if (!copy() && !copy() && !BoundedRetry(copy)) {
    platform::Print("Failed to create wavfile: %s (Failed to copy)\n", path);
    return;
  }
  platform::RemoveFile(text.c_str());
  platform::RemoveFile(output.c_str());
  platform::Print("Successfully moved %s to %s\r\n\n", output.c_str(), path);
}

void DeleteWavThread(void* argument) {
  std::unique_ptr<char[]> owned(static_cast<char*>(argument));
  const char* path = owned.get();
  if (!platform::PathExists(path)) return;
  if (BoundedRetry([&] { return platform::RemoveFile(path); })) {
    platform::Print("Wavfile %s deleted\r\n\n", path);
  } else {
    platform::Print("Failed to delete wavfile: %s\n", path);
  }
}
