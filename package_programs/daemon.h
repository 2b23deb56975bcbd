// What every companion program of the package shares: finding the system
// root, reporting errors, and for the daemons going to the background with a
// pid file and ending cleanly on SIGTERM.
//
// A daemon's main:
//   pkg_daemon::StartProgram("drift-authd");   // root, logging
//   ... check the arguments; on error ReportError and return non-zero ...
//   std::string err;
//   if (!pkg_daemon::Detach(paths::kAuthDaemonPid, &err)) { ReportError(err); return 1; }
//   return pkg_daemon::WaitForStop();
//
// The launching process (the tool waits for it) leaves Detach only through
// exit, with status 0, once the daemon runs in the background in a session
// of its own AND its pid file is written.  When the daemon cannot get that
// far, Detach returns false in the launching process with the reason and
// nothing is left running.  Only the daemon itself returns true.
#ifndef DRIFT_PACKAGE_PROGRAMS_DAEMON_H_
#define DRIFT_PACKAGE_PROGRAMS_DAEMON_H_

#include <functional>
#include <string>

namespace pkg_daemon {

// First call of every program: the launcher clears the environment, so the
// system root is taken from the program's own install path
// (paths::AdoptRootFromExecutable, which also knows the platform's program
// folders below "/usr/tarn"); then logging goes to the system log with the
// thresholds of the package's debug switch file.
void StartProgram(const char* name);

// Writes "NAME: message" to standard error (seen by whoever runs the program
// by hand) and logs it at error level (the system log, for launches whose
// standard streams are /dev/null).
void ReportError(const std::string& message);

// Writes this process's pid and a line end to the file at the appliance path
// `path`, replacing it atomically (a reader never sees half a pid).
bool WritePidFile(const std::string& path, std::string* err);

// Detaches into the background and writes the pid file (an appliance path,
// replaced atomically).  Refuses to start when the pid file names a live
// process running the same program.  Returns true in the daemon; false with
// `err` in the calling process when no daemon was started.
bool Detach(const std::string& pid_file, std::string* err);

// In the daemon: waits for SIGTERM or SIGINT, runs `wind_down` (the
// daemon's own clean-up), removes the pid file when it still names this
// process, and returns the exit status (0).  The pid file goes last: a stop
// that finds it gone takes the daemon for ended, so it must not vanish while
// the daemon still has work to finish.
int WaitForStop(const std::function<void()>& wind_down = {});

}  // namespace pkg_daemon

#endif  // DRIFT_PACKAGE_PROGRAMS_DAEMON_H_
