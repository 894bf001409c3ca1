// Putting a backup in place of an SQLite store file, the one way that cannot leave the store
// damaged: under the store's lock, checked, with the old file kept and swapped in one step.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "server/core/store.h"

namespace tav::server {

struct RestoreSummary {
  std::string keptAs;                  // where the old store file is kept; empty when there was none
  std::optional<TimeMs> backupLastLine;  // the time of the backup's last scan-log line
  bool oldUnreadable = false;          // an old file was there but could not be read as a store
  bool foreignLogRemoved = false;      // the old file's log was written for another file
  bool newerGivenUp = false;           // the old store's scan log went on past the backup's
  std::size_t admissionsGivenUp = 0;   // admissions among those newer lines
};

// Holds the store's lock alone throughout (a server started meanwhile waits, and one running makes
// this refuse), copies `backup` (a file, or a pipe) to a new file beside `store`, checks that copy
// (a TAV store of a schema this build knows, PRAGMA integrity_check), brings it to this build's
// schema and gives it an identity of its own; folds the old store's log into the old file and
// keeps that as STORE.before-restore; removes the old -wal and -shm, then renames the copy over
// `store` with the old file's owner and mode and flushes the folder. Refuses, with nothing changed,
// to replace a readable store whose scan log goes on past the backup's unless `discardNewer`.
// Throws std::runtime_error with one sentence; the store is then as it was.
RestoreSummary restoreSqliteStore(const std::string& backup, const std::string& store, bool discardNewer);

}  // namespace tav::server
