#include "support/SpoolFile.h"

#include <errno.h>

#include "platform/Console.h"
#include "platform/File.h"

namespace qza {

bool OpenSpoolFile(CDosFile& file, const char* path, const char* kind) {
  if (file.Open(CDosFile::kReadExclusive)) return true;
  const int error = file.LastError();
  // The account says what it always said; the reason goes to standard error.
  platform::Print("Can't open %s-file !\r\n", kind);
  if (error != EBUSY && error != ENOENT) {
    platform::PrintError("qza_wdir: %s %s-file cannot be opened: %s\n", path, kind,
                         platform::ErrorText(error));
  }
  return false;
}

NameHolds WhatNameHolds(const char* path, const platform::FileIdentity& read) {
  platform::FileIdentity now;
  if (!platform::IdentityOfPath(path, &now)) return NameHolds::kNothing;
  return now.SameFile(read) ? NameHolds::kFileRead : NameHolds::kAnotherFile;
}

void ReportReplaced(const char* path) {
  platform::Print("'%s' was replaced while it was handled: the new file waits for its pass\r\n",
                  path);
}

}  // namespace qza
