// Taking the package's service down.
#ifndef DRIFT_SERVICE_SERVICE_STOP_H_
#define DRIFT_SERVICE_SERVICE_STOP_H_

// Stops the daemons through their pid files (client, sync, auth, cleaner and
// cache daemons, the cache-side four twice: first only signalled, then
// waited for), marks the service "disabled", removes the transient marks,
// writes dfvt_enable="0", unregisters the service volume and, once the
// package framework has disabled the package, the relay.  With `record`
// non-zero the stop is also written to the log database and the platform's
// event log.
//
// Refuses (-1, nothing touched) while the database folder is being moved
// (status "moving_db").  Otherwise 0: every other failure is logged and the
// sequence goes on, so a stop always reaches "disabled".
int StopService(int record);

#endif  // DRIFT_SERVICE_SERVICE_STOP_H_
