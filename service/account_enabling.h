// Enabling the account that installs the package: service start adds it to
// the user database and gives it a sync view of its own.
#ifndef DRIFT_SERVICE_ACCOUNT_ENABLING_H_
#define DRIFT_SERVICE_ACCOUNT_ENABLING_H_

#include "base/ustring.h"

// The kind of an account, read from its name: a backslash makes it a domain
// account ("DOMAIN\user"), otherwise an "@" an LDAP account, otherwise a
// local one.  Returns the user type of the user database (kUserType*).
int AccountKindOf(const ustring& name);

// Adds the account `name` to the user database of the database volume
// `volume` (an appliance path), when the platform has home folders for its
// kind (LDAP and domain accounts also need the directory service to be
// bound or joined).  A newly added account gets its view database, with the
// rotation setting of the package-wide default (view 0).  An account already
// in the database is left as it is.
//
// Never fails the start: problems are logged.  When the package's databases
// cannot be opened at all, a warning says that the account is not
// automatically enabled.  Both databases are closed again on return.
void EnableAccount(const ustring& name, const ustring& volume);

#endif  // DRIFT_SERVICE_ACCOUNT_ENABLING_H_
