// Opening a spool file that another program dropped.
#ifndef QZA_SUPPORT_SPOOL_FILE_H_
#define QZA_SUPPORT_SPOOL_FILE_H_

#include "support/CDosFile.h"

// Opens `file` for reading, exclusively, so that a writer still at work on it
// keeps it for a later pass. On failure prints "Can't open <kind>-file !" and
// returns false; the reason follows in brackets unless it is the ordinary one
// (the file is busy or already gone).
bool OpenSpoolFile(CDosFile& file, const char* kind);

#endif  // QZA_SUPPORT_SPOOL_FILE_H_
