// The SQLite store file: its schema and migrations, the check that a file is ours before SQLite
// may write to it, and the writer's connection opened on it.
#include "server/sqlite/schema.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "server/core/errors.h"
#include "server/core/store.h"
#include "server/sqlite/application_id.h"
#include "server/sqlite/store_lock.h"

namespace tav::server::sqlite {
namespace {

// Each entry brings the schema from the version before it to its own (index + 1).
const char* const kMigrations[] = {
    R"sql(
CREATE TABLE venue(
  place_code   TEXT PRIMARY KEY,
  theater_name TEXT NOT NULL
);
CREATE TABLE event(
  bizcode    TEXT PRIMARY KEY,
  place_code TEXT NOT NULL REFERENCES venue(place_code),
  goods_name TEXT NOT NULL,
  play_date  TEXT NOT NULL,
  active     INTEGER NOT NULL DEFAULT 0 CHECK (active IN (0, 1))
);
CREATE UNIQUE INDEX event_one_active ON event(place_code) WHERE active = 1;
CREATE TABLE operator(
  operator_id   TEXT PRIMARY KEY,
  password_hash TEXT NOT NULL,
  place_code    TEXT NOT NULL REFERENCES venue(place_code),
  active        INTEGER NOT NULL DEFAULT 1 CHECK (active IN (0, 1))
);
CREATE TABLE ticket(
  id              INTEGER PRIMARY KEY,
  bizcode         TEXT NOT NULL REFERENCES event(bizcode),
  ticket_no       TEXT NOT NULL,
  cust_name       TEXT NOT NULL,
  goods_name      TEXT NOT NULL,
  play_date       TEXT NOT NULL,
  place_name      TEXT NOT NULL,
  seat_grade_name TEXT NOT NULL,
  seat_info       TEXT NOT NULL,
  block           TEXT NOT NULL CHECK (block IN ('E석', 'N석', 'S석', 'W석')),
  status          TEXT NOT NULL CHECK (status IN ('valid', 'cancelled')),
  inside          INTEGER NOT NULL DEFAULT 0 CHECK (inside IN (0, 1)),
  entry_count     INTEGER NOT NULL DEFAULT 0,
  first_entry     INTEGER,
  last_entry      INTEGER,
  last_exit       INTEGER,
  UNIQUE (bizcode, ticket_no)
);
-- Statistics count admitted tickets through this index only, so they cost what was admitted.
CREATE INDEX ticket_admitted ON ticket(bizcode, block) WHERE entry_count > 0;
CREATE TABLE scan_log(
  id          INTEGER PRIMARY KEY,
  at          INTEGER NOT NULL,
  kind        TEXT NOT NULL CHECK (kind IN ('check', 'login', 'place')),
  bizcode     TEXT NOT NULL,
  mode        TEXT NOT NULL,
  block       TEXT NOT NULL,
  ticket_no   TEXT NOT NULL,
  operator_id TEXT NOT NULL,
  place_code  TEXT NOT NULL,
  code        TEXT NOT NULL,
  message     TEXT NOT NULL,
  outcome     TEXT NOT NULL
);
CREATE INDEX scan_log_login ON scan_log(operator_id, at) WHERE kind = 'login';
CREATE TRIGGER scan_log_no_update BEFORE UPDATE ON scan_log
  BEGIN SELECT RAISE(ABORT, 'the scan log is append-only'); END;
CREATE TRIGGER scan_log_no_delete BEFORE DELETE ON scan_log
  BEGIN SELECT RAISE(ABORT, 'the scan log is append-only'); END;
)sql",
    // Statistics read per-block counters that triggers keep, instead of an index of admitted
    // tickets: a first entry then changes one page that every check shares rather than a random
    // index page of its own, which halves the pages each check writes to the log.
    R"sql(
CREATE TABLE admitted_count(
  bizcode  TEXT NOT NULL,
  block    TEXT NOT NULL,
  admitted INTEGER NOT NULL,
  PRIMARY KEY (bizcode, block)
) WITHOUT ROWID;
INSERT INTO admitted_count(bizcode, block, admitted)
  SELECT bizcode, block, count(*) FROM ticket WHERE entry_count > 0 GROUP BY bizcode, block;
DROP INDEX ticket_admitted;
CREATE TRIGGER ticket_admitted_insert AFTER INSERT ON ticket WHEN new.entry_count > 0
BEGIN
  INSERT INTO admitted_count(bizcode, block, admitted) VALUES(new.bizcode, new.block, 1)
    ON CONFLICT(bizcode, block) DO UPDATE SET admitted = admitted + 1;
END;
CREATE TRIGGER ticket_admitted_delete AFTER DELETE ON ticket WHEN old.entry_count > 0
BEGIN
  UPDATE admitted_count SET admitted = admitted - 1 WHERE bizcode = old.bizcode AND block = old.block;
END;
-- Fires only when a ticket joins or leaves the counted tickets or moves between counters; a
-- re-entry or an exit does not run it.
CREATE TRIGGER ticket_admitted_update AFTER UPDATE OF bizcode, block, entry_count ON ticket
  WHEN (old.entry_count > 0) <> (new.entry_count > 0)
    OR (old.entry_count > 0 AND (old.bizcode <> new.bizcode OR old.block <> new.block))
BEGIN
  UPDATE admitted_count SET admitted = admitted - 1
    WHERE old.entry_count > 0 AND bizcode = old.bizcode AND block = old.block;
  INSERT INTO admitted_count(bizcode, block, admitted)
    SELECT new.bizcode, new.block, 1 WHERE new.entry_count > 0
    ON CONFLICT(bizcode, block) DO UPDATE SET admitted = admitted + 1;
END;
)sql",
    // Each line names the client's address, which the sign-in lockout counts failures by; lines
    // from before it name none.
    R"sql(
ALTER TABLE scan_log ADD COLUMN source TEXT NOT NULL DEFAULT '';
)sql",
    // Operators from before roles check tickets at the gates, which is what "gate" allows.
    R"sql(
ALTER TABLE operator ADD COLUMN role TEXT NOT NULL DEFAULT 'gate' CHECK (role IN ('gate', 'admin'));
)sql",
    // Signed-in operators' sessions, found by the hash of their token; scan-log lines name the
    // session they came with (0 for none, and in lines from before sessions).
    R"sql(
CREATE TABLE session(
  id          INTEGER PRIMARY KEY,
  token_hash  TEXT NOT NULL UNIQUE,
  operator_id TEXT NOT NULL,
  place_code  TEXT NOT NULL,
  role        TEXT NOT NULL CHECK (role IN ('gate', 'admin')),
  source      TEXT NOT NULL,
  created     INTEGER NOT NULL,
  last_use    INTEGER NOT NULL
);
CREATE INDEX session_operator ON session(operator_id);
ALTER TABLE scan_log ADD COLUMN session INTEGER NOT NULL DEFAULT 0;
)sql",
    // The live dashboard's counters: tickets inside per block, entries and exits per minute and
    // block, refusals per minute and reason, and checks per gate (source address). Triggers keep
    // them as tickets change and checks are logged, also for restored rows, so that the dashboard
    // never reads the scan log; existing stores count what they already hold.
    R"sql(
CREATE TABLE inside_count(
  bizcode TEXT NOT NULL,
  block   TEXT NOT NULL,
  inside  INTEGER NOT NULL,
  PRIMARY KEY (bizcode, block)
) WITHOUT ROWID;
INSERT INTO inside_count(bizcode, block, inside)
  SELECT bizcode, block, count(*) FROM ticket WHERE inside = 1 GROUP BY bizcode, block;
CREATE TRIGGER ticket_inside_insert AFTER INSERT ON ticket WHEN new.inside = 1
BEGIN
  INSERT INTO inside_count(bizcode, block, inside) VALUES(new.bizcode, new.block, 1)
    ON CONFLICT(bizcode, block) DO UPDATE SET inside = inside + 1;
END;
CREATE TRIGGER ticket_inside_delete AFTER DELETE ON ticket WHEN old.inside = 1
BEGIN
  UPDATE inside_count SET inside = inside - 1 WHERE bizcode = old.bizcode AND block = old.block;
END;
-- A ticket going in or out is also an entry or exit of its minute: counted here, where the
-- ticket's block is at hand, rather than from the scan log's line, which would have to look it up.
CREATE TRIGGER ticket_inside_update AFTER UPDATE OF bizcode, block, inside ON ticket
  WHEN old.inside <> new.inside OR (old.inside = 1 AND (old.bizcode <> new.bizcode OR old.block <> new.block))
BEGIN
  UPDATE inside_count SET inside = inside - 1
    WHERE old.inside = 1 AND bizcode = old.bizcode AND block = old.block;
  INSERT INTO inside_count(bizcode, block, inside)
    SELECT new.bizcode, new.block, 1 WHERE new.inside = 1
    ON CONFLICT(bizcode, block) DO UPDATE SET inside = inside + 1;
  INSERT INTO ingress_flow(bizcode, minute, block, entries, exits)
    SELECT new.bizcode, (CASE WHEN new.inside = 1 THEN new.last_entry ELSE new.last_exit END) / 60000, new.block,
           new.inside, 1 - new.inside
    WHERE old.inside <> new.inside AND (CASE WHEN new.inside = 1 THEN new.last_entry ELSE new.last_exit END) IS NOT NULL
    ON CONFLICT(bizcode, minute, block) DO UPDATE
      SET entries = entries + excluded.entries, exits = exits + excluded.exits;
END;
CREATE TABLE ingress_flow(
  bizcode TEXT NOT NULL,
  minute  INTEGER NOT NULL,
  block   TEXT NOT NULL,
  entries INTEGER NOT NULL,
  exits   INTEGER NOT NULL,
  PRIMARY KEY (bizcode, minute, block)
) WITHOUT ROWID;
CREATE TABLE ingress_refusal(
  bizcode  TEXT NOT NULL,
  minute   INTEGER NOT NULL,
  reason   TEXT NOT NULL,
  refusals INTEGER NOT NULL,
  PRIMARY KEY (bizcode, minute, reason)
) WITHOUT ROWID;
CREATE TABLE ingress_gate_minute(
  bizcode  TEXT NOT NULL,
  minute   INTEGER NOT NULL,
  source   TEXT NOT NULL,
  checks   INTEGER NOT NULL,
  refusals INTEGER NOT NULL,
  last_at  INTEGER NOT NULL,
  PRIMARY KEY (bizcode, minute, source)
) WITHOUT ROWID;
-- Restored lines (copy-store) count their entries and exits as they are restored.
CREATE TRIGGER scan_log_ingress AFTER INSERT ON scan_log WHEN new.kind = 'check'
BEGIN
  INSERT INTO ingress_refusal(bizcode, minute, reason, refusals)
    SELECT new.bizcode, new.at / 60000, new.outcome, 1
    WHERE new.outcome NOT IN ('entry', 'reentry', 'exit')
    ON CONFLICT(bizcode, minute, reason) DO UPDATE SET refusals = refusals + 1;
  INSERT INTO ingress_gate_minute(bizcode, minute, source, checks, refusals, last_at)
    VALUES(new.bizcode, new.at / 60000, new.source, 1, new.outcome NOT IN ('entry', 'reentry', 'exit'), new.at)
    ON CONFLICT(bizcode, minute, source) DO UPDATE
      SET checks = checks + 1, refusals = refusals + excluded.refusals, last_at = max(last_at, excluded.last_at);
END;
INSERT INTO ingress_flow(bizcode, minute, block, entries, exits)
  SELECT s.bizcode, s.at / 60000, t.block, sum(s.outcome <> 'exit'), sum(s.outcome = 'exit')
  FROM scan_log s JOIN ticket t ON t.bizcode = s.bizcode AND t.ticket_no = s.ticket_no
  WHERE s.kind = 'check' AND s.outcome IN ('entry', 'reentry', 'exit') GROUP BY 1, 2, 3;
INSERT INTO ingress_refusal(bizcode, minute, reason, refusals)
  SELECT bizcode, at / 60000, outcome, count(*) FROM scan_log
  WHERE kind = 'check' AND outcome NOT IN ('entry', 'reentry', 'exit') GROUP BY 1, 2, 3;
INSERT INTO ingress_gate_minute(bizcode, minute, source, checks, refusals, last_at)
  SELECT bizcode, at / 60000, source, count(*), sum(outcome NOT IN ('entry', 'reentry', 'exit')), max(at)
  FROM scan_log WHERE kind = 'check' GROUP BY 1, 2, 3;
)sql",
    // Registered gate PCs, found by the hash of their key; a removed one stays, so that the scan
    // log's lines keep naming it, and only a live one holds its name. Sessions name the station
    // they were opened through (0: none, and in sessions from before stations).
    R"sql(
CREATE TABLE station(
  id         INTEGER PRIMARY KEY,
  place_code TEXT NOT NULL REFERENCES venue(place_code),
  name       TEXT NOT NULL,
  block      TEXT NOT NULL CHECK (block IN ('', 'E석', 'N석', 'S석', 'W석')),
  key_hash   TEXT NOT NULL UNIQUE,
  created    INTEGER NOT NULL,
  last_seen  INTEGER,
  removed    INTEGER
);
CREATE UNIQUE INDEX station_live_name ON station(place_code, name) WHERE removed IS NULL;
ALTER TABLE session ADD COLUMN station INTEGER NOT NULL DEFAULT 0;
CREATE INDEX session_station ON session(station) WHERE station <> 0;
-- A check without a session is a stranger's, whatever gate or event it named: never a gate.
DROP TRIGGER scan_log_ingress;
CREATE TRIGGER scan_log_ingress AFTER INSERT ON scan_log WHEN new.kind = 'check'
BEGIN
  INSERT INTO ingress_refusal(bizcode, minute, reason, refusals)
    SELECT new.bizcode, new.at / 60000, new.outcome, 1
    WHERE new.outcome NOT IN ('entry', 'reentry', 'exit')
    ON CONFLICT(bizcode, minute, reason) DO UPDATE SET refusals = refusals + 1;
  INSERT INTO ingress_gate_minute(bizcode, minute, source, checks, refusals, last_at)
    SELECT new.bizcode, new.at / 60000, new.source, 1, new.outcome NOT IN ('entry', 'reentry', 'exit'), new.at
    WHERE new.session <> 0
    ON CONFLICT(bizcode, minute, source) DO UPDATE
      SET checks = checks + 1, refusals = refusals + excluded.refusals, last_at = max(last_at, excluded.last_at);
END;
)sql",
    // Retried checks: tickets count their changes, so that a retry can tell whether its ticket is
    // as its first attempt left it, and each check's idempotency key is kept a while with its
    // answer. A check answered again from its key is neither a refusal nor an entry of its own.
    R"sql(
ALTER TABLE ticket ADD COLUMN version INTEGER NOT NULL DEFAULT 0;
-- Rows follow one another in the order they were kept: the oldest are forgotten first, by rowid.
CREATE TABLE check_key(
  id             INTEGER PRIMARY KEY,
  key            TEXT NOT NULL UNIQUE,
  operator_id    TEXT NOT NULL,
  mode           TEXT NOT NULL,
  bizcode        TEXT NOT NULL,
  block          TEXT NOT NULL,
  ticket_no      TEXT NOT NULL,
  code           TEXT NOT NULL,
  message        TEXT NOT NULL,
  ticket_version INTEGER,
  at             INTEGER NOT NULL
);
DROP TRIGGER scan_log_ingress;
CREATE TRIGGER scan_log_ingress AFTER INSERT ON scan_log WHEN new.kind = 'check'
BEGIN
  INSERT INTO ingress_refusal(bizcode, minute, reason, refusals)
    SELECT new.bizcode, new.at / 60000, new.outcome, 1
    WHERE new.outcome NOT IN ('entry', 'reentry', 'exit', 'repeat')
    ON CONFLICT(bizcode, minute, reason) DO UPDATE SET refusals = refusals + 1;
  INSERT INTO ingress_gate_minute(bizcode, minute, source, checks, refusals, last_at)
    SELECT new.bizcode, new.at / 60000, new.source, 1, new.outcome NOT IN ('entry', 'reentry', 'exit', 'repeat'),
           new.at
    WHERE new.session <> 0
    ON CONFLICT(bizcode, minute, source) DO UPDATE
      SET checks = checks + 1, refusals = refusals + excluded.refusals, last_at = max(last_at, excluded.last_at);
END;
)sql",
    // A cancellation the venue made itself (cancel-ticket) is told from one the ticketing system's
    // export gave, so that a sync keeps it. Which of the two an earlier one was is not known: it
    // counts as the venue's, so that a sync never lets a refunded ticket in by itself.
    R"sql(
ALTER TABLE ticket ADD COLUMN cancelled_here INTEGER NOT NULL DEFAULT 0 CHECK (cancelled_here IN (0, 1));
UPDATE ticket SET cancelled_here = 1 WHERE status = 'cancelled';
)sql",
    // The control room: a ticket found by its holder's name (a prefix is a range of this index),
    // a ticket's scan-log lines read through an index of their own, and the lines of the control
    // room's actions (kind 'control'). Widening a CHECK leaves every stored row as valid as it was,
    // so the table's definition is edited in place, as SQLite's documentation describes, instead
    // of copying a scan log of millions of lines.
    R"sql(
CREATE INDEX ticket_holder ON ticket(bizcode, cust_name);
CREATE INDEX scan_log_ticket ON scan_log(bizcode, ticket_no);
PRAGMA writable_schema = ON;
UPDATE sqlite_master
  SET sql = replace(sql, 'CHECK (kind IN (''check'', ''login'', ''place''))',
                    'CHECK (kind IN (''check'', ''login'', ''place'', ''control''))')
  WHERE type = 'table' AND name = 'scan_log';
PRAGMA writable_schema = RESET;
)sql",
    // The control room's alarms: each event's stand capacities, and each gate's refusals per minute
    // and reason, kept by a trigger of their own beside the gate's checks. Counting starts with the
    // upgrade: the alarms look at the last minutes only.
    R"sql(
CREATE TABLE event_capacity(
  bizcode  TEXT NOT NULL REFERENCES event(bizcode),
  block    TEXT NOT NULL CHECK (block IN ('E석', 'N석', 'S석', 'W석')),
  capacity INTEGER NOT NULL CHECK (capacity > 0),
  PRIMARY KEY (bizcode, block)
) WITHOUT ROWID;
CREATE TABLE ingress_gate_refusal(
  bizcode  TEXT NOT NULL,
  minute   INTEGER NOT NULL,
  source   TEXT NOT NULL,
  reason   TEXT NOT NULL,
  refusals INTEGER NOT NULL,
  PRIMARY KEY (bizcode, minute, source, reason)
) WITHOUT ROWID;
CREATE TRIGGER scan_log_gate_refusal AFTER INSERT ON scan_log
  WHEN new.kind = 'check' AND new.session <> 0 AND new.outcome NOT IN ('entry', 'reentry', 'exit', 'repeat')
BEGIN
  INSERT INTO ingress_gate_refusal(bizcode, minute, source, reason, refusals)
    VALUES(new.bizcode, new.at / 60000, new.source, new.outcome, 1)
    ON CONFLICT(bizcode, minute, source, reason) DO UPDATE SET refusals = refusals + 1;
END;
)sql",
    // A ticket's history is its operators' and admins': a check without a live session, or naming
    // another operator than the session's, is anyone's to send, so the index of ticket histories
    // leaves it out (ticketLog repeats this condition word for word). However many such checks
    // name a ticket, its history reads the same lines at the same cost; they are not even written
    // to this index.
    R"sql(
DROP INDEX scan_log_ticket;
CREATE INDEX scan_log_ticket_history ON scan_log(bizcode, ticket_no)
  WHERE outcome NOT IN ('no-session', 'not-session-operator');
)sql",
    // Offline checking. An event says whether its registered stations may decide from a list of
    // its tickets while the back-end is out of reach, for how long after the list's refresh, and
    // the key the list hashes ticket numbers with (made here for the events already kept). The
    // list reads an event's tickets by block through an index whose rows end with the rowid, so in
    // id order. Which station fetched which list is noted, the last fetch of each. A keyed check's
    // line keeps its key; it is found again through the index of ticket histories, which holds
    // every keyed line (a key is claimed only with a live session of the check's own operator), so
    // that checks write no index of their keys.
    R"sql(
ALTER TABLE event ADD COLUMN offline INTEGER NOT NULL DEFAULT 0 CHECK (offline IN (0, 1));
ALTER TABLE event ADD COLUMN offline_max_age INTEGER NOT NULL DEFAULT 30 CHECK (offline_max_age BETWEEN 1 AND 1440);
ALTER TABLE event ADD COLUMN offline_key TEXT NOT NULL DEFAULT '';
UPDATE event SET offline_key = lower(hex(randomblob(16)));
CREATE INDEX ticket_event_block ON ticket(bizcode, block);
CREATE TABLE offline_lists(
  station    INTEGER NOT NULL,
  bizcode    TEXT NOT NULL,
  block      TEXT NOT NULL,
  fetched_at INTEGER NOT NULL,
  PRIMARY KEY (station, bizcode, block)
) WITHOUT ROWID;
ALTER TABLE scan_log ADD COLUMN idempotency_key TEXT NOT NULL DEFAULT '';
)sql",
    // The hand-over of offline decisions: the highest sequence of each station's decisions the
    // back-end has, so that a replay changes nothing and a skipped sequence shows.
    R"sql(
CREATE TABLE station_handover(
  station      INTEGER PRIMARY KEY,
  acknowledged INTEGER NOT NULL
);
)sql",
    // The control room's alarm for a hand-over with offline conflicts or refused decisions: each
    // conflict with the line it clashes with, each refusal with why, read by event; a hand-over's
    // lines name the first of them.
    R"sql(
CREATE TABLE offline_conflict(
  id         INTEGER PRIMARY KEY,
  alarm      INTEGER NOT NULL,
  handed_at  INTEGER NOT NULL,
  bizcode    TEXT NOT NULL,
  ticket_no  TEXT NOT NULL,
  block      TEXT NOT NULL,
  reason     TEXT NOT NULL,
  gate       TEXT NOT NULL,
  at         INTEGER NOT NULL,
  other_gate TEXT NOT NULL,
  other_at   INTEGER,
  why        TEXT NOT NULL
);
CREATE INDEX offline_conflict_event ON offline_conflict(bizcode, id);
)sql",
    // Browser stations: one-time codes an admin makes, each redeemed once for a station key.
    R"sql(
CREATE TABLE station_enrolment(
  code_hash  TEXT PRIMARY KEY,
  place_code TEXT NOT NULL REFERENCES venue(place_code),
  name       TEXT NOT NULL,
  block      TEXT NOT NULL CHECK (block IN ('', 'E석', 'N석', 'S석', 'W석')),
  created    INTEGER NOT NULL,
  expires    INTEGER NOT NULL,
  station    INTEGER NOT NULL DEFAULT 0
);
)sql",
};

constexpr int kSchemaVersion = static_cast<int>(sizeof(kMigrations) / sizeof(kMigrations[0]));


// Reads the header fields that tell our files from others without letting SQLite touch the file.
struct FileHeader {
  bool exists = false;
  std::uintmax_t size = 0;
  bool sqlite = false;
  bool wal = false;  // in write-ahead-log mode: its latest pages may be in the log, not here
  std::uint32_t applicationId = 0;
  std::uint32_t userVersion = 0;
};

std::uint32_t bigEndian32(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

FileHeader readHeader(const std::string& path) {
  FileHeader h;
  std::error_code ec;
  h.exists = std::filesystem::exists(path, ec);
  if (!h.exists) return h;
  if (!std::filesystem::is_regular_file(path, ec)) throw StoreRejected(path + " is not a file.");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw StoreRejected("The store " + path + " cannot be read: " + std::strerror(errno) + ".");
  unsigned char buf[100] = {};
  in.read(reinterpret_cast<char*>(buf), sizeof buf);
  h.size = static_cast<std::uintmax_t>(in.gcount());
  if (h.size < sizeof buf) return h;
  h.sqlite = std::memcmp(buf, "SQLite format 3", 16) == 0;
  h.wal = buf[18] == 2 && buf[19] == 2;
  h.userVersion = bigEndian32(buf + 60);
  h.applicationId = bigEndian32(buf + 68);
  return h;
}


StoreRejected notOurs(const std::string& path) { return StoreRejected(path + " is not a TAV store."); }

StoreRejected newer(const std::string& path, std::int64_t version) {
  return StoreRejected(path + " was written by a newer tav-server (schema version " +
                       std::to_string(version) + "; this one knows up to " +
                       std::to_string(kSchemaVersion) + ").");
}

void migrate(Connection& c, const std::string& path) {
  c.exec("BEGIN IMMEDIATE");
  try {
    std::int64_t appId = c.pragmaInt("PRAGMA application_id");
    std::int64_t tables = c.pragmaInt("SELECT count(*) FROM sqlite_master");
    std::int64_t version = 0;
    if (tables > 0) {
      if (appId != kSqliteApplicationId ||
          c.pragmaInt("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'schema_version'") == 0)
        throw notOurs(path);
      version = c.pragmaInt("SELECT coalesce(max(version), 0) FROM schema_version");
    } else if (appId != 0 && appId != kSqliteApplicationId) {
      throw notOurs(path);
    }
    if (version > kSchemaVersion) throw newer(path, version);
    if (version < kSchemaVersion) {
      if (tables == 0) {
        const std::string setId = "PRAGMA application_id = " + std::to_string(kSqliteApplicationId);
        c.exec(setId.c_str());
        c.exec("CREATE TABLE schema_version(version INTEGER PRIMARY KEY, applied_at INTEGER NOT NULL)");
      }
      for (auto v = version; v < kSchemaVersion; ++v) {
        c.exec(kMigrations[v]);
        Query q = c.query("INSERT INTO schema_version(version, applied_at) VALUES(?1, ?2)");
        q.bind(1, v + 1).bind(2, Store::systemNow()).run();
      }
      const std::string setVersion = "PRAGMA user_version = " + std::to_string(kSchemaVersion);
      c.exec(setVersion.c_str());
    }
    // The file's own identity, new in every store, backup and restored copy, so that a log left
    // beside the file can be told to be its own or another's (see StoreLock). It belongs to the
    // SQLite file, as its application_id does, not to the schema both stores share: made here for
    // every file whatever its version, and an older build opens the file as before.
    if (c.pragmaInt("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'file_identity'") == 0)
      c.exec("CREATE TABLE file_identity(id TEXT NOT NULL)");
    if (c.pragmaInt("SELECT count(*) FROM file_identity") == 0)
      c.exec("INSERT INTO file_identity(id) VALUES(lower(hex(randomblob(16))))");
    c.exec("COMMIT");
  } catch (...) {
    c.execQuietly("ROLLBACK");
    throw;
  }
}

// A new store file is readable by its owner only, before anything is written to it; SQLite
// creates the log and its index with the mode of the file they belong to.
void createPrivately(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) {
    ::close(fd);
  } else if (errno != EEXIST) {  // made by someone else meanwhile: SQLite opens it as it is
    throw StoreRejected("The store " + path + " cannot be created: " + std::strerror(errno) + ".");
  }
}

// Records the file's identity beside it once the identity is in the file itself, not only in the
// log: the check of a log left by a crash reads the file alone. A new store's identity is copied
// into the file here; when other connections hold that up, the next open records it.
void recordIdentity(Connection& c, const std::string& path, StoreLock& lock) {
  std::string id;
  {
    Query q = c.query("SELECT id FROM file_identity");
    if (!q.step()) return;
    id = q.text(0);
  }
  if (lock.recordedIdentity() == id) return;
  FileIdentity file = readFileIdentity(path);
  if (file.kind != FileIdentity::Kind::Id || file.id != id) {
    int logFrames = 0, copied = 0;
    if (sqlite3_wal_checkpoint_v2(c.handle(), "main", SQLITE_CHECKPOINT_FULL, &logFrames, &copied) != SQLITE_OK ||
        copied < logFrames)
      return;
    file = readFileIdentity(path);
  }
  if (file.kind == FileIdentity::Kind::Id && file.id == id) lock.recordIdentity(id);
}

}  // namespace

int schemaVersion() { return kSchemaVersion; }

void renewIdentity(Connection& c) { c.exec("UPDATE file_identity SET id = lower(hex(randomblob(16)))"); }

std::unique_ptr<Connection> openWriter(const std::string& path, bool create, StoreLock* lock) {
  FileHeader h = readHeader(path);
  if (!h.exists && !create) throw StoreRejected("There is no store at " + path + ".");
  std::error_code ec;
  const bool logged = std::filesystem::file_size(path + "-wal", ec) > 0 && !ec;
  // A new store's first commits set its header, but while another connection keeps the file open
  // they may still be only in the log: then only SQLite can tell, reading the log.
  const bool headerInLog = h.sqlite && h.wal && logged && h.applicationId == 0 && h.userVersion == 0;
  if (h.exists && h.size > 0 && !headerInLog) {
    // Decide from the raw header, before SQLite may write anything to a file that is not ours.
    // Every store of ours has its version in the header from its first commit on.
    if (!h.sqlite || h.applicationId != kSqliteApplicationId || h.userVersion == 0) throw notOurs(path);
    if (h.userVersion > static_cast<std::uint32_t>(kSchemaVersion)) throw newer(path, h.userVersion);
    // Before SQLite reads the log into the file's pages, which it would do for anyone's log.
    if (lock && logged) checkLogBelongs(path, *lock);
  } else if (h.exists && h.size == 0 && !create) {
    // An empty file is a store only when its first commits still wait in the write-ahead log.
    if (!logged) throw StoreRejected(path + " is empty, not a TAV store.");
  }

  if (!h.exists) createPrivately(path);
  int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
  std::unique_ptr<Connection> writer;
  try {
    writer = std::make_unique<Connection>(path, flags);
  } catch (const StoreUnavailable& e) {
    throw StoreRejected(e.what());
  }
  // Closing the last connection copies the log into the file: not for a file whose header was not
  // read above and that this may still turn away.
  const bool unverified = headerInLog || !h.exists || h.size == 0;
  if (unverified) sqlite3_db_config(writer->handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  if (headerInLog && writer->pragmaInt("PRAGMA application_id") != kSqliteApplicationId) throw notOurs(path);
  // The journal mode is settled before the first transaction so that the file is WAL from its
  // first byte; only files that passed the header check (or are empty) get here.
  {
    Query q = writer->query("PRAGMA journal_mode = WAL");
    if (!q.step() || q.text(0) != "wal")
      throw StoreRejected("The store " + path + " cannot use write-ahead logging.");
  }
  // Migrations commit durably on their own; from then on the store flushes the log itself.
  writer->exec("PRAGMA synchronous = FULL");
  writer->exec("PRAGMA foreign_keys = ON");
  // Enough for the setup commands, whose memory stays small however large an import is; serve
  // sizes the cache for the whole file when it warms up.
  writer->exec("PRAGMA cache_size = -16384");
  writer->exec("PRAGMA journal_size_limit = 67108864");
  // Savepoints journal the pages they change; in memory that costs no file writes per check.
  writer->exec("PRAGMA temp_store = MEMORY");
  migrate(*writer, path);
  if (unverified) sqlite3_db_config(writer->handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 0, nullptr);
  if (lock) recordIdentity(*writer, path, *lock);
  return writer;
}

}  // namespace tav::server::sqlite
