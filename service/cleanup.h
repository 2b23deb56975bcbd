// `drift-control cleanup`, also run by service start when no database volume
// has been chosen yet: removes the package's repository folder from every
// volume and forgets the database volume, so that the next start begins from
// nothing.
#ifndef DRIFT_SERVICE_CLEANUP_H_
#define DRIFT_SERVICE_CLEANUP_H_

// For every volume of the platform's storage list, in order, removes the
// volume's share-bin path + "/@driftvault" with everything below it, then
// removes db-path.conf.  A volume whose share-bin path cannot be read is
// passed over; removal failures are ignored.  0 when the volume list was
// read (whatever the removals did), -1 when it was not (nothing removed).
int CleanUp();

#endif  // DRIFT_SERVICE_CLEANUP_H_
