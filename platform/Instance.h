// Single instance per installation.
//
// An installation is the working directory the service starts in, where its
// ini files are. The guard is an exclusive flock on the file qza_wdir.lock in
// that directory, which only the service's user can open: it is created with
// mode 0600, opened without following a link (O_NOFOLLOW) and without
// blocking, and refused unless it is a regular file owned by the effective
// user (its mode is then narrowed to 0600 should it have been widened). So no
// other local user can take the guard first, provided the directory itself is
// writable only by the service's user, as an installation directory is.
//
// The descriptor is close-on-exec, so launched programs never hold the guard,
// and the kernel drops the lock when the process ends in any way, `kill -9`
// included, so nothing stale blocks the next start. Services in two
// directories never block each other. The file stays in place; it is empty.
#ifndef QZA_PLATFORM_INSTANCE_H_
#define QZA_PLATFORM_INSTANCE_H_

#include "platform/Status.h"

namespace platform {

// The lock file's name, in the working directory.
constexpr char kInstanceLockFile[] = "qza_wdir.lock";

enum class InstanceClaim {
  kClaimed,        // this process holds the installation now
  kHeldByAnother,  // another live process holds it
};

// Claims the installation for this process; the claim lasts until the process
// ends. Fails ("claim") when it cannot be claimed for another reason: ELOOP
// the lock file is a symbolic link, EPERM it is owned by another user, EINVAL
// it is not a regular file (EISDIR on Windows for a directory), or the error
// of open, fstat or flock (EACCES, EROFS, ENOLCK, ...). The service must not
// run unguarded then. Claiming again after a success gives kClaimed.
Result<InstanceClaim> ClaimInstance();

// True when ClaimInstance claimed the installation. False when another live
// process holds it, and also when it cannot be claimed at all: ClaimInstance
// tells these apart.
bool ClaimSingleInstance();

}  // namespace platform

#endif  // QZA_PLATFORM_INSTANCE_H_
