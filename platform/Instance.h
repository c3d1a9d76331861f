// Single instance per installation.
//
// An installation is the working directory the service starts in, where its
// ini files are. The guard binds an abstract-namespace Unix socket named after
// that directory's real path (hashed when the path is too long for a socket
// name). The kernel releases the name when the process ends in any way,
// `kill -9` included, so nothing stale blocks the next start, and services in
// two directories never block each other.
#ifndef QZA_PLATFORM_INSTANCE_H_
#define QZA_PLATFORM_INSTANCE_H_

namespace platform {

// Claims the installation for this process. Returns false when another live
// process holds it. The claim lasts until the process ends.
bool ClaimSingleInstance();

}  // namespace platform

#endif  // QZA_PLATFORM_INSTANCE_H_
