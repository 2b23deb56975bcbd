// Child programs and daemons of the package: pid-file liveness, stopping a
// daemon through its pid file, launching a program detached from the
// terminal, and running the database updater.
//
// Pid file paths and program paths are appliance paths; they are mapped onto
// the host only where a file is opened or a program executed, and are handed
// on (argument zero) as they are.
//
// A pid file that names pid 1 or less, this process, or this process's group
// leader is treated like an unreadable one: signalling such a pid (let alone
// its process group) would hit the whole machine or the tool itself.
#ifndef DRIFT_SERVICE_DAEMON_CONTROL_H_
#define DRIFT_SERVICE_DAEMON_CONTROL_H_

#include <string>
#include <vector>

#include "base/ustring.h"

// 1 when the pid file names a live process, 0 otherwise (empty path, missing
// or garbled pid file, a pid that may never be signalled, a process that is
// gone or has ended and awaits reaping).
int IsPidFileProcessAlive(const std::string& pid_file);

// Stops the daemon named by `pid_file`: SIGTERM, then up to `wait_seconds`
// one-second polls for it to go, then SIGKILL to its process group.  The pid
// file is removed once the daemon is known gone or killed; with
// `wait_seconds` 0 only SIGTERM is sent and the pid file stays.  A missing
// pid file is a daemon that is not running (0).  Returns -1 when the pid file
// cannot be read or SIGTERM fails for another reason than a gone process.
int StopDaemonByPidFile(const std::string& pid_file, int wait_seconds);

// Runs a program detached from the terminal (own session, standard streams on
// /dev/null, working folder "/", only PATH in its environment) and waits for
// it.  `count` texts follow: the program's appliance path, which is also
// argument zero, then its arguments.  Returns the child's exit status (255
// when it cannot be executed), or -1 when it was killed by a signal or cannot
// be started; -1 also sets the platform error 0x2A00.
int RunProgram(int count, const char* program, ...);

// The same with the texts in a vector (program path first).
int RunProgramArgv(const std::vector<std::string>& argv);

// Runs the database updater on `volume` and judges the word it leaves in the
// status file: 0 for "done"; -1 otherwise ("upgradefail" and "dbnewer" are
// kept, any other word is replaced by "error").
int RunUpdater(const ustring& volume);

#endif  // DRIFT_SERVICE_DAEMON_CONTROL_H_
