// The embedded store: one SQLite file in WAL mode, durable commits grouped across concurrent checks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "server/core/store.h"
#include "server/sqlite/application_id.h"

namespace tav::server {

// The schema version this build writes and reads; older files are migrated on open.
int sqliteSchemaVersion();

// How the write-ahead log is kept: how long it may grow, in frames (one changed page each), before
// the writer brings it back to its start, and how it is made durable. Tests make it small, or put a
// failing disk in place of fdatasync.
struct SqliteLogOptions {
  // Once the log holds this many frames, it is restarted as soon as the checkpointer has copied
  // all but `tailFrames` of them into the database file: the writer copies that tail itself
  // between two batches. 16384 frames of 4 KiB pages is the 64 MiB the log file is cut back to.
  int restartFrames = 16384;
  int tailFrames = 256;
  // Flushes the log file to the disk; 0 or -1 with errno, as fdatasync(2).
  int (*syncLog)(int fd) = nullptr;
};

// How a store takes the lock beside its file, which restore holds alone while it replaces the file.
struct SqliteLockOptions {
  // Shared (serve, the setup commands): a restore under way is waited for, and `waiting` told so
  // once. Alone: refused at once, with a sentence, while any other process has the store open.
  bool alone = false;
  std::function<void(const std::string&)> waiting;
};

// Opens the store file at `path` (creating it when `create` is set and it does not exist or is
// empty; a new file and its log are readable by their owner only), applies pending migrations and
// starts the writer. Throws StoreRejected when the file is not one of ours or comes from a newer
// schema; such a file is left untouched.
//
// A refused log flush answers the writes concerned, and every write after it, with OutcomeUnknown,
// is reported once to the fatal handler, and leaves the log for the next start to recover: the
// store copies nothing more into the file. A file removed, replaced or cut short under the store
// stops its writes and reads with a StoreUnavailable that says so.
//
// Every store open on the file holds its lock (STORE.lock), and a log left beside the file that
// was written for another file is refused before SQLite reads it.
std::unique_ptr<Store> openSqliteStore(const std::string& path, bool create,
                                       const SqliteLogOptions& logOptions = {},
                                       const SqliteLockOptions& lockOptions = {});

}  // namespace tav::server
