// Opening a spool file that another program dropped.
#ifndef QZA_SUPPORT_SPOOL_FILE_H_
#define QZA_SUPPORT_SPOOL_FILE_H_

#include "platform/FileSystem.h"
#include "support/CDosFile.h"

namespace qza {

// Opens `file` for reading, exclusively, so that a writer still at work on it
// keeps it for a later pass. On failure prints "Can't open <kind>-file !" and
// returns false; unless the reason is the ordinary one (the file is busy or
// already gone), a line on standard error names `path` and the reason.
bool OpenSpoolFile(CDosFile& file, const char* path, const char* kind);

// What the name of a spool file holds now, against the file that was read
// from it: a writer may have moved it away or put a new file in its place
// while it was handled.
enum class NameHolds { kFileRead, kNothing, kAnotherFile };
NameHolds WhatNameHolds(const char* path, const platform::FileIdentity& read);

// Says that the name was given to a new file while the one read from it was
// handled: the new file waits for its pass.
void ReportReplaced(const char* path);

}  // namespace qza

#endif  // QZA_SUPPORT_SPOOL_FILE_H_
