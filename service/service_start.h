// Bringing the package's service up: `drift-control service --start`.
#ifndef DRIFT_SERVICE_SERVICE_START_H_
#define DRIFT_SERVICE_SERVICE_START_H_

// The platform event raised once the service runs.
inline constexpr unsigned kEventServiceEnabled = 0x11B01050;

// Starts the service when the package is enabled and the service is not
// already running (both cases answer 0 without touching anything):
//   status "initializing"; the port must be free and, on the portable unit,
//   the local home service usable; the database volume is the configured one
//   (it must still be mounted, else "dbunexist"), or on a first start the
//   volume of the "homes" share, else the first usable volume of the
//   platform's list, remembered in db-path.conf; the repository folders are
//   created, dfvt_enable="1" written, the relay and the service volume
//   registered and the database updater run.  A first installation (no sync
//   folder data database yet) grants the default application privilege; the
//   account named by TARNPKG_USERNAME, when set, is added to the user
//   database with its sync view.  Then status "enabled" and the five daemons
//   are launched in order (cache, auth, cleaner, client, sync), the first two
//   one second apart; the start is recorded in the log database and the
//   platform's event log.
//
// Returns 0 when the service runs, -1 on failure.  A failure leaves the
// status word that names it ("portconflict", "homedisabled", "dbunexist",
// "error", or the updater's word); a daemon that cannot be launched takes the
// service down again without recording a stop, so that no partial set of
// daemons keeps running.  Two starts are kept apart by the status word only.
int StartService();

#endif  // DRIFT_SERVICE_SERVICE_START_H_
