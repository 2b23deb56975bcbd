// The sync folder data database and the per-view databases of the package.
//
// All files live in one database folder, the "@driftvault/@sync" folder of the
// database volume:
//   syncfolder-db.sqlite          the sync folder data database: which views
//                                 exist (created by Manager::Initialize)
//   view/ID/view-db.sqlite        one database per sync view ID (decimal),
//                                 holding the view's rotation settings
//
// Every folder handed to this library is a HOST path: the caller has already
// mapped the appliance path onto the system root (paths::HostPath).  The
// library opens what it is given and maps nothing itself.
//
// Results follow the package's convention: 0 on success, -1 on failure (the
// failure is logged).  A file that is damaged or not a database is a failure,
// never a crash, and is never overwritten.
#ifndef DRIFT_PACKAGE_DB_MANAGER_H_
#define DRIFT_PACKAGE_DB_MANAGER_H_

#include <stdint.h>

#include <string>

struct sqlite3;

namespace db {

// File names inside the database folder.
inline constexpr char kSyncDbName[] = "syncfolder-db.sqlite";
inline constexpr char kViewFolderName[] = "view";
inline constexpr char kViewDbName[] = "view-db.sqlite";

// A handle on one view database, filled by Manager::GetViewDB.  It owns its
// own connection, so it stays usable after Manager::Destroy and is closed by
// Close or by its destructor.  Not copyable; one thread at a time.
class ViewDBInterface {
 public:
  ViewDBInterface() = default;
  ~ViewDBInterface();
  ViewDBInterface(const ViewDBInterface&) = delete;
  ViewDBInterface& operator=(const ViewDBInterface&) = delete;

  bool IsOpen() const { return db_ != nullptr; }
  uint64_t view_id() const { return view_id_; }

  // Number of old versions of a file the view keeps (>= 0).  0 or -1.
  int SetRotateCount(int count);
  // How old versions are dropped once the count is reached, e.g. "fifo"
  // (non-empty, at most kMaxPolicyLength bytes).  0 or -1.
  int SetRotatePolicy(const std::string& policy);

  // The stored settings: 0 and the value, or -1 when the handle is closed,
  // the setting was never made or cannot be read.
  int GetRotateCount(int* count) const;
  int GetRotatePolicy(std::string* policy) const;

  void Close();

  static constexpr size_t kMaxPolicyLength = 64;

 private:
  friend class Manager;

  sqlite3* db_ = nullptr;
  uint64_t view_id_ = 0;
};

// The sync folder data database of one database folder, process-wide (all
// members are static).  Initialize, then CreateView/GetViewDB, then Destroy.
// Thread-safe: the calls are serialised by an internal mutex.
class Manager {
 public:
  // Opens the sync folder data database of the existing folder `folder` (a
  // host path), creating the database file and its tables when missing.  0
  // also when already initialised for the same folder; -1 when the folder is
  // missing, the file is not a usable database, or the manager is still
  // initialised for another folder.
  static int Initialize(const std::string& folder);

  // Creates the view database of `view_id` (folder view/ID and its
  // view-db.sqlite) and records the view in the sync folder data database.
  // An existing view database is kept as it is.  0 or -1 (also when not
  // initialised).
  static int CreateView(uint64_t view_id);

  // Opens the existing view database of `view_id` into `view` (closing what
  // `view` had open).  -1 when not initialised, when the view was never
  // created or its database is damaged.
  static int GetViewDB(uint64_t view_id, ViewDBInterface* view);

  // Closes the sync folder data database; with `optimize` SQLite first
  // refreshes its query planner statistics (worth it after many changes;
  // the control tool, which changes little, passes false).  Open view
  // handles are not affected.  Safe to call when not initialised.
  static void Destroy(bool optimize);

  static bool IsInitialized();

 private:
  Manager() = delete;
};

}  // namespace db

#endif  // DRIFT_PACKAGE_DB_MANAGER_H_
