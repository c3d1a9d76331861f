#include "platform/Fault.h"

#include <errno.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/Path.h"

namespace platform {
namespace {

constexpr int kPoints = static_cast<int>(FaultPoint::kSync) + 1;

struct Fault {
  int error = 0;  // 0: not armed
  int count = 0;  // negative: until cleared
  std::string path_part;
};

std::atomic<bool> any_armed{false};
std::mutex mutex;
Fault faults[kPoints];  // guarded by mutex

}  // namespace

void InjectFault(FaultPoint point, int error, const char* path_part, int count) {
  std::lock_guard<std::mutex> lock(mutex);
  Fault& fault = faults[static_cast<int>(point)];
  fault.error = count == 0 ? 0 : error;
  fault.count = count;
  fault.path_part = path_part != nullptr ? path_part : "";
  any_armed = true;
}

void ClearFaults() {
  std::lock_guard<std::mutex> lock(mutex);
  for (Fault& fault : faults) fault = Fault();
  any_armed = false;
}

int FaultFor(FaultPoint point, const char* path) {
  if (!any_armed.load(std::memory_order_relaxed)) return 0;
  std::lock_guard<std::mutex> lock(mutex);
  Fault& fault = faults[static_cast<int>(point)];
  if (fault.error == 0) return 0;
  if (!fault.path_part.empty() &&
      (path == nullptr || std::strstr(path, fault.path_part.c_str()) == nullptr)) {
    return 0;
  }
  const int error = fault.error;
  if (fault.count > 0 && --fault.count == 0) fault.error = 0;
  return error;
}

int FaultForDescriptor(FaultPoint point, int fd) {
  if (!any_armed.load(std::memory_order_relaxed)) return 0;
  return FaultFor(point, DescriptorPath(fd).c_str());
}

Status FaultStatus(FaultPoint point, const char* operation, const char* path) {
  const int error = FaultFor(point, path);
  return error == 0 ? Status() : Status::Failure(operation, error);
}

Status FaultStatus(FaultPoint point, const char* operation, int fd) {
  const int error = FaultForDescriptor(point, fd);
  return error == 0 ? Status() : Status::Failure(operation, error);
}

Status CheckedNativePath(FaultPoint point, const char* operation, const char* path,
                         std::string* native) {
  *native = NativePath(path);
  if (native->empty()) return Status::Failure(operation, ENOENT);
  return FaultStatus(point, operation, path);
}

}  // namespace platform
