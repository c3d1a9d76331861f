// The service's own command-line options: --help and --version, and the
// operator's commands.
#ifndef QZA_CORE_COMMANDLINE_H_
#define QZA_CORE_COMMANDLINE_H_

namespace qza {

// Answers the first argument that is --help or --version on standard output
// and ends the process with status 0 (status 1 when that output cannot be
// written). Returns when there is none: the service ignores other arguments,
// so existing callers that pass some are unaffected.
void AnswerInformationOptions(int argc, char** argv);

// Carries out an operator's command and ends the process with its status:
//   --check [DIR]                  the configuration check of core/Check.h
//   --pending [DIR]                lists what the launch ledger holds as launched
//                                  and not archived or deleted (exit 1 when
//                                  anything is, 2 when the ledger is damaged)
//   --install-service NAME DIR     registers the Windows service NAME that
//                                  runs the watcher in DIR
//   --remove-service NAME          removes it
// A command with missing arguments ends the process with status 2. With
// --run-service NAME DIR (how the service control manager starts the
// program) it enters DIR, connects the process to the manager and returns,
// so that the watcher runs as that service; it ends the process with status 1
// when either fails. Returns at once when the first argument is none of these.
void RunOperatorCommand(int argc, char** argv);

}  // namespace qza

#endif  // QZA_CORE_COMMANDLINE_H_
