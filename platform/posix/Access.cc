#include "platform/Access.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace platform {
namespace {

std::string UserName(uid_t uid) {
  char buffer[1024];
  struct passwd entry;
  struct passwd* found = nullptr;
  if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
    return found->pw_name;
  }
  return "uid " + std::to_string(uid);
}

std::string GroupName(gid_t gid) {
  char buffer[4096];
  struct group entry;
  struct group* found = nullptr;
  if (getgrgid_r(gid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
    return found->gr_name;
  }
  return "gid " + std::to_string(gid);
}

}  // namespace

bool RunsAsRoot() { return geteuid() == 0; }

namespace backend {

Status DirectoryProblemOf(const std::string& native, bool write) {
  struct stat st;
  if (stat(native.c_str(), &st) != 0) return LastFailure("stat");
  if (!S_ISDIR(st.st_mode)) return Status::Failure("stat", ENOTDIR);
  // Without any write permission bit it counts as read-only even for root,
  // as PathWritable has it.
  if (write && (st.st_mode & 0222) == 0) return Status::Failure("access", EACCES);
  // access() answers for the real user, which is the service's own: the
  // service never changes its user.
  if (access(native.c_str(), write ? (R_OK | W_OK | X_OK) : (R_OK | X_OK)) != 0) {
    return LastFailure("access");
  }
  return Status();
}

std::string OtherWritersOf(const std::string& native) {
  struct stat st;
  if (stat(native.c_str(), &st) != 0) return "";
  if ((st.st_mode & S_IWOTH) != 0) return "every user";
  // An owner can always give itself write permission.
  if (st.st_uid != geteuid() && st.st_uid != 0) return "the user " + UserName(st.st_uid);
  if ((st.st_mode & S_IWGRP) != 0 && st.st_gid != getegid() && st.st_gid != 0) {
    return "the group " + GroupName(st.st_gid);
  }
  return "";
}

Status ChangeWorkingDirectoryTo(const std::string& native) {
  return chdir(native.c_str()) == 0 ? Status() : LastFailure("chdir");
}

}  // namespace backend

std::string ProcessUserName() { return UserName(geteuid()); }

}  // namespace platform
