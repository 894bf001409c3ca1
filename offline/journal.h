// The station's offline journal: every decision a gate made without the back-end, kept on the gate
// PC's disk until the back-end has acknowledged it, and read again by `tav-server import-journal`.
//
// The file is append-only text, one JSON object a line, each ending in a CRC-32 of the rest:
//   {"kind":"decision","seq":1,"key":"…","utcMs":…,"sinceOnlineMs":…,"bizcode":"…","mode":"I",
//    "block":"E석","ticketNo":"…","operatorId":"…","outcome":"entry","crc":"1a2b3c4d"}
//   {"kind":"acknowledged","upTo":1,"crc":"…"}     every decision up to that sequence handed over
//   {"kind":"test","utcMs":…,"crc":"…"}            a test write, no decision
// The checksum is taken over the line's bytes without its `,"crc":"…"` member and without the
// newline. JSON escapes keep any value (a separator, a newline) inside its line.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tav::offline {

// What goes wrong with a journal, in one sentence that names its file (and line, for a bad line).
class JournalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One decision a station made offline.
struct Decision {
  std::int64_t sequence = 0;       // the station's own count: 1, 2, ... across restarts
  std::string idempotencyKey;      // the check's key (wire::isIdempotencyKey)
  std::int64_t utcMs = 0;          // the station's clock, UTC milliseconds
  std::int64_t sinceOnlineMs = 0;  // monotonic milliseconds since the last online answer
  std::string bizCode;             // the event's business code
  std::string mode;                // wire::kModeEntry or wire::kModeExit
  std::string block;               // the station's block filter: one of wire::kBlocks, empty for all
  std::string ticketNo;
  std::string operatorId;
  std::string outcome;  // the rule's outcome word ("entry", "already-inside", "not-in-list", ...)

  bool operator==(const Decision& other) const;
};

// What a journal holds: its decisions in sequence order and how far the back-end acknowledged them.
struct JournalContents {
  std::vector<Decision> decisions;
  std::int64_t acknowledgedUpTo = 0;
  // The line number of a torn last line (a station killed while writing it) that was ignored, or
  // none. Such a line was never answered: its append had not returned.
  std::optional<std::size_t> tornLine;

  // The sequence of the last decision, 0 for none.
  std::int64_t highestSequence() const;
  bool acknowledged(const Decision& decision) const { return decision.sequence <= acknowledgedUpTo; }
  // The decisions not yet acknowledged, in sequence order: what a hand-over sends.
  std::vector<Decision> unacknowledged() const;
};

// The journal's file name for a station: offline-journal-<name>.log, "station" for an empty name.
// Characters that no file name may hold on Windows or Linux (separators, control characters,
// <>:"|?*) become '_'; a station's Korean name is kept as it is.
std::string journalFileName(std::string_view stationName);

// Reads a journal file without taking its lock (a copy from a dead PC, the hand-over's tool). A
// torn last line is ignored and reported in tornLine. Throws JournalError for a file that cannot be
// read or any other bad line (damaged, out of sequence, not a journal line), naming its line.
JournalContents readJournal(const std::filesystem::path& file);

// The journal a station writes: one process holds it, every append is on the disk before it
// returns. A journal whose write or flush failed refuses every later call (what its file holds is
// then unknown); opening it again reads the file as it is.
class Journal {
 public:
  // Opens, or creates (readable by its owner only), the journal of `stationName` in `folder`
  // (created too when missing): the station's user data folder, never the install folder. Takes
  // the file's exclusive lock, reads it, and cuts a torn last line off so that the next append
  // starts on a fresh line. Throws JournalError when another process holds the lock, the file
  // cannot be opened, or a line other than the last is bad; nothing is written then.
  static Journal open(const std::filesystem::path& folder, std::string_view stationName);

  Journal(Journal&&) noexcept;
  Journal& operator=(Journal&&) noexcept;
  ~Journal();  // releases the lock

  // Appends `decision` with the next sequence (its own sequence is not read) and returns it as
  // recorded, once the line is on the disk. Throws JournalError for a decision with a malformed
  // field (writing nothing) or when the line cannot be written and flushed; after the latter the
  // line may still be read back once the journal is opened again, so the caller treats that
  // decision as one whose outcome is unknown, not as one never made.
  Decision append(Decision decision);

  // Records that the back-end acknowledged every decision up to `sequence`. An acknowledgement at
  // or below the current one writes nothing; one beyond the last decision, or below 1, is refused
  // with JournalError and writes nothing.
  void acknowledge(std::int64_t sequence);

  // Checks that the journal can be written now: its file is still in place and a test line is
  // written and flushed. The line counts as no decision. Throws JournalError saying why not.
  void testWrite();

  const JournalContents& contents() const;
  const std::filesystem::path& path() const;

 private:
  struct State;
  explicit Journal(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace tav::offline
