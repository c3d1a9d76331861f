// The service's own command-line options: --help and --version.
#ifndef QZA_CORE_COMMANDLINE_H_
#define QZA_CORE_COMMANDLINE_H_

// Answers the first argument that is --help or --version on standard output
// and ends the process with status 0 (status 1 when that output cannot be
// written). Returns when there is none: the service ignores other arguments,
// so existing callers that pass some are unaffected.
void AnswerInformationOptions(int argc, char** argv);

#endif  // QZA_CORE_COMMANDLINE_H_
