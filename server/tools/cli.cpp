// tav-server's commands: option parsing, help texts, password entry and the serve loop.
#include "server/tools/cli.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "offline/handover.h"
#include "offline/journal.h"
#include "server/core/copy_store.h"
#include "server/core/local_time.h"
#include "server/core/offline_handover.h"
#include "server/core/match_day.h"
#include "server/core/purge.h"
#include "server/http/http_service.h"
#include "server/pg/pg_store.h"
#include "server/sqlite/restore.h"
#include "server/sqlite/sqlite_store.h"
#include "server/core/service.h"
#include "server/core/sessions.h"
#include "server/core/setup.h"
#include "server/core/stations.h"
#include "server/core/store.h"
#include "server/tools/open_store.h"
#include "server/tools/tls_init.h"

namespace tav::server {

namespace {

constexpr const char* kProgram = "tav-server";
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// The store can no longer vouch for its commits (EX_SOFTWARE): the supervisor restarts the server.
constexpr int kExitStoreFatal = 70;
constexpr std::size_t kMaxThreads = 256;
constexpr std::size_t kMaxPerSource = 1000000;
// Descriptors kept apart from the connections: the store's files, the log, the listener.
constexpr auto kFatalGrace = std::chrono::milliseconds(250);
constexpr std::size_t kMaxDemoTickets = 10000000;

// The command line is wrong: the sentence is shown with a pointer to --help.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Option {
  const char* name;       // without the leading "--"
  const char* valueName;  // nullptr: a flag without value
  const char* help;
  bool required;
  bool repeatable = false;  // may be given more than once (--host a --host b)
};

// The value of each option given; a repeatable option's first value, and in `lists` all of them.
struct Values : std::map<std::string, std::string> {
  std::map<std::string, std::vector<std::string>> lists;
};

struct Command {
  const char* name;
  const char* summary;
  std::vector<Option> options;
  std::function<int(const Values&)> run;
  const char* positional = nullptr;  // the name of a required argument without "--" (FILE), if any
};

const Option kStore{"store", "STORE", "the store: an SQLite file, or a postgresql:// URI", true};

std::string usageLine(const Command& c) {
  std::string line = std::string(kProgram) + " " + c.name;
  for (const Option& o : c.options) {
    std::string part = std::string("--") + o.name + (o.valueName ? std::string(" ") + o.valueName : "");
    line += " " + (o.required ? part : "[" + part + "]");
    if (o.repeatable) line += " [" + part + "...]";
  }
  if (c.positional) line += std::string(" ") + c.positional;
  return line;
}

void printCommandHelp(const Command& c) {
  std::cout << "Usage: " << usageLine(c) << "\n\n" << c.summary << "\n\nOptions:\n";
  for (const Option& o : c.options) {
    std::string left = std::string("  --") + o.name + (o.valueName ? std::string(" ") + o.valueName : "");
    if (left.size() < 24) left.resize(24, ' ');
    std::cout << left << "  " << o.help << (o.required ? "" : " (optional)") << "\n";
  }
  std::cout << "  --help                    this text\n";
}

Values parseOptions(const Command& c, int argc, char** argv, int first, bool& helpWanted) {
  Values values;
  helpWanted = false;
  for (int i = first; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      helpWanted = true;
      return values;
    }
    if (arg.rfind("--", 0) != 0 && c.positional && !values.count(c.positional)) {
      values.emplace(c.positional, arg);
      continue;
    }
    if (arg.rfind("--", 0) != 0)
      throw UsageError("Unexpected argument \"" + arg + "\" for " + c.name + ".");
    std::string name = arg.substr(2);
    std::string value;
    bool inlineValue = false;
    if (const auto eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      inlineValue = true;
    }
    const Option* option = nullptr;
    for (const Option& o : c.options)
      if (name == o.name) option = &o;
    if (!option) throw UsageError("Unknown option --" + name + " for " + c.name + ".");
    if (values.count(name) && !option->repeatable) throw UsageError("Option --" + name + " is given twice.");
    if (option->valueName && !inlineValue) {
      if (i + 1 >= argc) throw UsageError("Option --" + name + " needs a value.");
      value = argv[++i];
    } else if (!option->valueName && inlineValue) {
      throw UsageError("Option --" + name + " takes no value.");
    }
    values.emplace(name, value);
    if (option->repeatable) values.lists[name].push_back(value);
  }
  for (const Option& o : c.options)
    if (o.required && !values.count(o.name))
      throw UsageError(std::string("Option --") + o.name + " is missing.");
  if (c.positional && !values.count(c.positional))
    throw UsageError(std::string("The ") + c.positional + " to read is missing.");
  return values;
}

bool fileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// Opens an existing store; the setup commands other than init and demo never create one.
std::unique_ptr<Store> openExisting(const std::string& path, const SqliteLockOptions& lock = {}) {
  if (!isPostgresUri(path) && !fileExists(path))
    throw SetupError("There is no store at " + path + "; create one with \"tav-server init\".");
  return openStore(path, false, lock);
}

std::size_t parseCount(const std::string& text, const char* option, std::size_t max) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    throw UsageError(std::string("Option --") + option + " needs a whole number.");
  const std::size_t n = std::stoul(text);
  if (n < 1 || n > max)
    throw UsageError(std::string("Option --") + option + " must be from 1 to " + std::to_string(max) + ".");
  return n;
}

// --- password entry -------------------------------------------------------------------------

termios g_savedTerminal;
std::atomic<bool> g_echoOff{false};

// Ctrl-C while the password is being typed must not leave the terminal without echo.
void restoreTerminalAndDie(int sig) {
  if (g_echoOff) tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
  signal(sig, SIG_DFL);
  raise(sig);
}

std::string promptWithoutEcho(const std::string& prompt) {
  tcgetattr(STDIN_FILENO, &g_savedTerminal);
  termios quiet = g_savedTerminal;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;
  auto oldInt = signal(SIGINT, restoreTerminalAndDie);
  auto oldTerm = signal(SIGTERM, restoreTerminalAndDie);
  g_echoOff = true;
  // Echo goes off before the prompt shows, so nothing typed after the prompt can appear.
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  std::cerr << prompt << std::flush;
  std::string line;
  const bool got = static_cast<bool>(std::getline(std::cin, line));
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_savedTerminal);
  g_echoOff = false;
  signal(SIGINT, oldInt);
  signal(SIGTERM, oldTerm);
  if (!got) throw SetupError("No password was entered.");
  return line;
}

// From a terminal: asked twice without echo. Otherwise: the first line of standard input.
std::string readPassword(const std::string& id) {
  std::string password;
  if (isatty(STDIN_FILENO)) {
    password = promptWithoutEcho("Password for operator " + id + ": ");
    if (promptWithoutEcho("Repeat the password: ") != password)
      throw SetupError("The two passwords differ; nothing was stored.");
  } else {
    if (!std::getline(std::cin, password))
      throw SetupError("No password on standard input (its first line is the password).");
    if (!password.empty() && password.back() == '\r') password.pop_back();
  }
  if (password.empty()) throw SetupError("The password is empty.");
  return password;
}

// --- commands -------------------------------------------------------------------------------

int cmdInit(const Values& v) {
  const std::string& path = v.at("store");
  if (isPostgresUri(path)) {
    openPostgresStore(path, PgOpen::CreateNew);
    std::cout << "Created the store " << maskedLocation(path) << ".\n";
    return 0;
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && st.st_size > 0)
    throw SetupError(path + " already exists; init only makes a new store.");
  openStore(path, true);
  std::cout << "Created the store " << path << ".\n";
  return 0;
}

int cmdAddVenue(const Values& v) {
  auto store = openExisting(v.at("store"));
  addVenue(*store, v.at("place"), v.at("name"));
  std::cout << "Added the venue " << v.at("place") << " (" << v.at("name") << ").\n";
  return 0;
}

int cmdAddEvent(const Values& v) {
  auto store = openExisting(v.at("store"));
  const bool active = !v.count("inactive");
  addEvent(*store, v.at("place"), v.at("bizcode"), v.at("name"), v.at("play-date"), active);
  std::cout << "Added the event " << v.at("bizcode") << " (" << v.at("name") << ") to "
            << v.at("place") << (active ? "; it is the venue's active event" : "") << ".\n";
  return 0;
}

int cmdAddOperator(const Values& v) {
  auto store = openExisting(v.at("store"));
  const std::string password = readPassword(v.at("id"));
  const OperatorRole role = v.count("admin") ? OperatorRole::Admin : OperatorRole::Gate;
  addOperator(*store, v.at("id"), password, v.at("place"), role);
  std::cout << "Added the operator " << v.at("id") << " to " << v.at("place")
            << (role == OperatorRole::Admin ? " as an admin" : " as a gate operator") << ".\n";
  return 0;
}

int cmdUnlock(const Values& v) {
  auto store = openExisting(v.at("store"));
  unlockOperator(*store, v.at("id"), Caller{"local", {}});
  std::cout << "Unlocked the operator " << v.at("id") << " from every address and station.\n";
  return 0;
}

// "1 ticket", "2 tickets".
std::string countOf(std::size_t n, const std::string& noun) {
  return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

// Exactly one of two flags that say opposite things; true for the first.
bool eitherFlag(const Values& v, const char* yes, const char* no) {
  const bool y = v.count(yes) > 0, n = v.count(no) > 0;
  if (y == n) throw UsageError(std::string("Give either --") + yes + " or --" + no + ".");
  return y;
}

int cmdRevokeSessions(const Values& v) {
  auto store = openExisting(v.at("store"));
  const std::optional<std::string> id = v.count("id") ? std::optional<std::string>(v.at("id")) : std::nullopt;
  if (id && v.count("all")) throw UsageError("Give either --id or --all, not both.");
  const std::size_t ended = revokeSessions(*store, id, v.count("all") > 0);
  std::cout << "Ended " << ended << (ended == 1 ? " session" : " sessions")
            << (id ? " of the operator " + *id : std::string()) << "; "
            << (id ? "that operator signs in again" : "every station signs in again") << " to go on.\n";
  return 0;
}

int cmdImportTickets(const Values& v) {
  ImportOptions options;
  if (v.count("encoding")) {
    const std::string& e = v.at("encoding");
    if (strcasecmp(e.c_str(), "cp949") == 0) options.encoding = TicketEncoding::Cp949;
    else if (strcasecmp(e.c_str(), "utf-8") != 0 && strcasecmp(e.c_str(), "utf8") != 0)
      throw UsageError("Option --encoding takes utf-8 or cp949, not \"" + e + "\".");
  }
  options.newOnly = v.count("new-only") > 0;
  options.sync = v.count("sync") > 0;
  if (options.newOnly && options.sync) throw UsageError("Give either --new-only or --sync, not both.");
  auto store = openExisting(v.at("store"));
  const ImportSummary n = importTickets(*store, v.at("bizcode"), v.at("csv"), options);
  if (options.sync) {
    std::cout << "Synchronised " << v.at("bizcode") << " with " << v.at("csv") << ": added "
              << countOf(n.imported, "ticket") << ", changed " << n.changed.count << ", cancelled " << n.cancelled.count
              << ", restored " << n.restored.count << ", unchanged " << n.skipped << ".\n";
    const auto list = [](const char* what, const TicketList& l) {
      if (l.count == 0) return;
      std::cout << what << ":";
      for (const std::string& t : l.first) std::cout << " " << t;
      if (l.count > l.first.size()) std::cout << " and " << l.count - l.first.size() << " more";
      std::cout << "\n";
    };
    list("Changed", n.changed);
    list("Cancelled", n.cancelled);
    list("Restored", n.restored);
    list("Cancelled here, valid in the export (still cancelled; restore-ticket makes one valid)", n.keptCancelled);
    if (n.absent > 0)
      std::cout << countOf(n.absent, "ticket") << " of the event " << (n.absent == 1 ? "is" : "are")
                << " not in the file and stayed as " << (n.absent == 1 ? "it was" : "they were") << ".\n";
    return 0;
  }
  std::cout << "Imported " << countOf(n.imported, "ticket") << " into " << v.at("bizcode");
  if (options.newOnly) std::cout << "; skipped " << countOf(n.skipped, "ticket") << " already there";
  std::cout << ".\n";
  return 0;
}

int cmdMigrate(const Values& v) {
  const std::string& location = v.at("store");
  if (!isPostgresUri(location)) {
    openExisting(location);
    std::cout << "The store " << location << " is at schema version " << sqliteSchemaVersion()
              << " (an SQLite store is brought up whenever it is opened).\n";
    return 0;
  }
  const auto [from, to] = migratePostgresStore(location);
  if (from == to)
    std::cout << "The store " << maskedLocation(location) << " is already at schema version " << to << ".\n";
  else
    std::cout << "Brought the store " << maskedLocation(location) << " from schema version " << from << " to " << to
              << "; servers of the older version keep working until they are upgraded.\n";
  return 0;
}

int cmdListVenues(Store& store) {
  const auto venues = listVenues(store);
  std::printf("Venues: %zu\n", venues.size());
  if (!venues.empty()) {
    std::printf("%-16s %-16s %6s %9s  %s\n", "PLACE", "ACTIVE EVENT", "EVENTS", "OPERATORS", "NAME");
    for (const VenueSummary& s : venues)
      std::printf("%-16s %-16s %6zu %9zu  %s\n", s.placeCode.c_str(),
                  s.activeBizCode.empty() ? "-" : s.activeBizCode.c_str(), s.events, s.operators,
                  s.theaterName.c_str());
  }
  std::fflush(stdout);
  return 0;
}

// Makes the key file before the station exists, readable by its owner only, so that a file that
// cannot be written leaves the store unchanged; and never replaces a file.
int cmdAddStation(const Values& v) {
  const std::string& path = v.at("key-file");
  auto store = openExisting(v.at("store"));
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0)
    throw SetupError(errno == EEXIST ? "The key file " + path + " already exists; name a new file."
                                     : "The key file " + path + " cannot be created: " + std::strerror(errno) + ".");
  AddedStation added;
  try {
    added = addStation(*store, v.at("place"), v.at("name"), v.count("block") ? v.at("block") : std::string());
    const std::string text = added.key + "\n";
    if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) || ::fsync(fd) != 0)
      throw SetupError("The key file " + path + " cannot be written: " + std::strerror(errno) + ".");
  } catch (...) {
    ::close(fd);
    std::remove(path.c_str());
    if (added.station.id != 0) removeStation(*store, v.at("place"), v.at("name"));
    throw;
  }
  ::close(fd);
  std::cout << "Added the station \"" << v.at("name") << "\" to " << v.at("place")
            << (v.count("block") ? " for " + v.at("block") : std::string()) << "; its key is in " << path
            << " (mode 0600).\n"
            << "Install it on that station: tav-assets /opt/orltav/ --place " << v.at("place") << " --station-key "
            << path << "\n";
  return 0;
}

int cmdEnrolStation(const Values& v) {
  auto store = openExisting(v.at("store"));
  const Enrolment made =
      makeEnrolment(*store, v.at("place"), v.at("name"), v.count("block") ? v.at("block") : std::string());
  std::cout << "Enrolment code for the browser station \"" << v.at("name") << "\" of " << v.at("place") << ": "
            << made.code << "\n"
            << "It works once, for " << kEnrolmentLifeMs / 60000 << " minutes: type it into the station page's sign-in "
            << "(/station/) with an operator's ID and password.\n";
  return 0;
}

// A journal from a gate PC that cannot hand over itself: its lines go through the hand-over as the
// station's, without a session or a gap, which the person running this vouches for.
int cmdImportJournal(const Values& v) {
  if (v.count("station") && !v.count("place")) throw UsageError("--station needs --place, the station's venue.");
  const offline::JournalContents journal = offline::readJournal(v.at("FILE"));
  auto store = openExisting(v.at("store"));
  Caller caller("local");
  if (v.count("place")) caller.stationPlace = v.at("place");
  if (v.count("station")) {
    store->read([&](Reader& r) {
      for (const StationRecord& s : r.allStations())
        if (!s.removed && s.placeCode == v.at("place") && s.name == v.at("station")) caller.station = s.id;
    });
    if (caller.station == 0)
      throw SetupError("The venue " + v.at("place") + " has no station named \"" + v.at("station") + "\".");
  }
  const std::vector<offline::Decision> lines = journal.unacknowledged();
  std::map<std::string, std::size_t> counts;
  std::int64_t acknowledged = 0, alarm = 0;
  // In requests of the hand-over's size, so that no transaction grows with the journal; their
  // conflicts make one alarm for the control room.
  for (std::size_t at = 0; at < lines.size(); at += offline::kMaxHandoverLines) {
    const std::vector<offline::Decision> part(
        lines.begin() + static_cast<std::ptrdiff_t>(at),
        lines.begin() + static_cast<std::ptrdiff_t>(std::min(lines.size(), at + offline::kMaxHandoverLines)));
    const HandoverOutcome outcome = handOver(*store, caller, part, std::nullopt, alarm);
    alarm = outcome.conflictAlarm;
    for (const offline::HandoverResult& r : outcome.answer.results) {
      ++counts[r.result];
      if (r.result == offline::kResultRefused || r.result == offline::kResultConflict)
        std::cout << r.result << ": decision " << r.sequence << ": " << r.why << "\n";
    }
    if (outcome.answer.gap)
      std::cout << "The store never took decisions " << outcome.answer.gap->first << " to "
                << outcome.answer.gap->second << ", which the journal marks as handed over.\n";
    acknowledged = outcome.answer.acknowledgedUpTo;
  }
  std::cout << "Handed over " << lines.size() << " decisions of " << v.at("FILE") << ": "
            << counts[std::string(offline::kResultAccepted)] << " accepted, "
            << counts[std::string(offline::kResultSame)] << " already kept, "
            << counts[std::string(offline::kResultConflict)] << " conflicts, "
            << counts[std::string(offline::kResultRefused)] << " refused"
            << (lines.empty() ? std::string() : "; acknowledged up to " + std::to_string(acknowledged)) << ".\n";
  return 0;
}

int cmdRemoveStation(const Values& v) {
  auto store = openExisting(v.at("store"));
  removeStation(*store, v.at("place"), v.at("name"));
  std::cout << "Removed the station \"" << v.at("name") << "\" of " << v.at("place")
            << ": its key opens nothing from now on and its sessions have ended.\n";
  return 0;
}

// "2026-04-04 18:30" in local time.
std::string localMinute(TimeMs at) { return formatLocalTime(at).substr(0, 16); }

void printStationsAndLockouts(Store& store, const std::string& place) {
  const auto stations = listStations(store, place);
  std::printf("\nStations of %s: %zu\n", place.c_str(), stations.size());
  if (!stations.empty()) {
    std::printf("%-16s %-16s %-6s %s\n", "LAST SEEN", "SIGNED IN", "BLOCK", "NAME");
    for (const StationSummary& s : stations)
      std::printf("%-16s %-16s %-6s %s\n", s.lastSeen ? localMinute(*s.lastSeen).c_str() : "never",
                  s.signedIn.empty() ? "-" : s.signedIn.c_str(), s.block.empty() ? "any" : s.block.c_str(),
                  s.name.c_str());
  }
  const auto lockouts = listLockouts(store, place);
  std::printf("\nLocked sign-ins of %s: %zu\n", place.c_str(), lockouts.size());
  if (!lockouts.empty()) {
    std::printf("%-16s %-16s %-16s %s\n", "ID", "SINCE", "UNTIL", "WHERE");
    for (const LockoutSummary& l : lockouts)
      std::printf("%-16s %-16s %-16s %s\n", l.operatorId.c_str(), localMinute(l.since).c_str(),
                  localMinute(l.until).c_str(), l.where.c_str());
    std::printf("(five wrong passwords lock an ID for one address or station, fifty for every sign-in without a\n"
                "station key; \"tav-server unlock --id ID\" ends them)\n");
  }
}

int cmdList(const Values& v) {
  auto store = openExisting(v.at("store"));
  if (!v.count("place")) return cmdListVenues(*store);
  const auto events = listEvents(*store, v.at("place"));
  const auto operators = listOperators(*store, v.at("place"));
  std::cout << "Events of " << v.at("place") << ": " << events.size() << "\n";
  if (!events.empty()) {
    std::printf("%-16s %-6s %-12s %9s %9s %9s %9s %-7s %8s  %s\n", "BIZCODE", "ACTIVE", "PLAY DATE", "TICKETS",
                "CANCELLED", "ADMITTED", "INSIDE", "OFFLINE", "MAX AGE", "NAME");
    for (const EventSummary& e : events) {
      const std::string maxAge = std::to_string(e.offlineMaxAgeMinutes) + " min";
      std::printf("%-16s %-6s %-12s %9zu %9zu %9zu %9zu %-7s %8s  %s\n", e.bizCode.c_str(), e.active ? "yes" : "no",
                  e.playDate.c_str(), e.tickets, e.cancelled, e.admitted, e.inside, e.offline ? "on" : "off",
                  maxAge.c_str(), e.goodsName.c_str());
    }
  }
  std::printf("\nOperators of %s: %zu\n", v.at("place").c_str(), operators.size());
  if (!operators.empty()) {
    std::printf("%-16s %-6s %s\n", "ID", "ROLE", "ACTIVE");
    for (const OperatorSummary& o : operators)
      std::printf("%-16s %-6s %s\n", o.id.c_str(), roleName(o.role), o.active ? "yes" : "no");
  }
  printStationsAndLockouts(*store, v.at("place"));
  std::fflush(stdout);
  return 0;
}

int cmdSetEvent(const Values& v) {
  // --capacity or the offline options alone leave the event as active as it was.
  const bool activity = v.count("active") || v.count("inactive");
  const bool offlineGiven = v.count("offline") || v.count("offline-max-age");
  if (!activity && !v.count("capacity") && !offlineGiven)
    throw UsageError("Give --active, --inactive, --capacity, --offline or --offline-max-age.");
  const bool active = !activity || eitherFlag(v, "active", "inactive");
  const std::optional<CapacityChange> capacity =
      v.count("capacity") ? std::optional<CapacityChange>(parseCapacity(v.at("capacity"))) : std::nullopt;
  OfflineChange offline;
  if (v.count("offline")) offline.offline = parseOfflineSwitch(v.at("offline"));
  if (v.count("offline-max-age")) offline.maxAgeMinutes = parseOfflineMaxAge(v.at("offline-max-age"));
  auto store = openExisting(v.at("store"));
  if (offlineGiven) {
    const Event now = setEventOffline(*store, v.at("bizcode"), offline);
    std::cout << "Offline checking of " << v.at("bizcode") << " is " << (now.offline ? "on" : "off")
              << "; a station's list serves " << now.offlineMaxAgeMinutes << " minutes after its last refresh.\n";
  }
  if (capacity) {
    const BlockCapacity now = setEventCapacity(*store, v.at("bizcode"), *capacity);
    std::cout << "The stand capacities of " << v.at("bizcode") << " are now";
    for (std::size_t b = 0; b < kBlocks.size(); ++b)
      std::cout << (b ? ", " : " ") << kBlocks[b] << " " << (now[b] ? std::to_string(now[b]) : "none");
    std::cout << ".\n";
  }
  if (!activity) return 0;
  const bool changed = setEventActive(*store, v.at("bizcode"), active);
  std::cout << "The event " << v.at("bizcode") << (changed ? " is now " : " was already ")
            << (active ? "its venue's active event" : "inactive") << ".\n";
  return 0;
}

int changeTicket(const Values& v, bool cancel) {
  auto store = openExisting(v.at("store"));
  const bool changed = setTicketCancelled(*store, v.at("bizcode"), v.at("ticket"), cancel);
  std::cout << "The ticket " << v.at("ticket") << " of " << v.at("bizcode") << (changed ? " is now " : " was already ")
            << (cancel ? "cancelled" : "valid") << ".\n";
  return 0;
}

int cmdSetPassword(const Values& v) {
  auto store = openExisting(v.at("store"));
  const std::string password = readPassword(v.at("id"));
  setOperatorPassword(*store, v.at("id"), password);
  std::cout << "Changed the password of " << v.at("id") << "; the operator's sessions have ended.\n";
  return 0;
}

int cmdSetOperator(const Values& v) {
  const bool active = eitherFlag(v, "active", "inactive");
  auto store = openExisting(v.at("store"));
  const bool changed = setOperatorActive(*store, v.at("id"), active);
  std::cout << "The operator " << v.at("id") << (changed ? " is now " : " was already ")
            << (active ? "active" : "inactive; the operator's sessions have ended") << ".\n";
  return 0;
}

int cmdExportScans(const Values& v) {
  ScanExport what;
  what.placeCode = v.at("place");
  if (v.count("bizcode")) what.bizCode = v.at("bizcode");
  try {
    if (v.count("since")) what.since = parseLocalTime(v.at("since"), "--since");
    if (v.count("until")) what.until = parseLocalTime(v.at("until"), "--until");
  } catch (const SetupError& e) {
    throw UsageError(e.what());
  }
  if (what.since && what.until && *what.until <= *what.since) throw UsageError("--until must come after --since.");
  const std::string& target = v.at("csv");
  auto store = openExisting(v.at("store"));
  if (target == "-") {
    exportScans(*store, what, std::cout);
    return 0;
  }
  // Written beside the target and renamed over it, so that a failed export leaves no half file.
  const std::string partial = target + ".partial";
  std::size_t lines = 0;
  try {
    // The scan log names operators and their addresses: the file is the venue's alone from the start.
    // With the system's reason (permission denied, no space left on the device).
    const auto cannotWrite = [&target] {
      return SetupError("The file " + target + " cannot be written: " + std::strerror(errno) + ".");
    };
    std::remove(partial.c_str());
    const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) throw cannotWrite();
    ::close(fd);
    std::ofstream file(partial, std::ios::binary | std::ios::trunc);
    if (!file) throw cannotWrite();
    lines = exportScans(*store, what, file);
    file.close();
    if (!file) throw cannotWrite();
    if (std::rename(partial.c_str(), target.c_str()) != 0) throw cannotWrite();
  } catch (...) {
    std::remove(partial.c_str());
    throw;
  }
  std::cout << "Wrote " << countOf(lines, "scan log line") << " to " << target << ".\n";
  return 0;
}

int cmdBackup(const Values& v) {
  auto store = openExisting(v.at("store"));
  backupStore(*store, v.at("to"));
  std::cout << "Backed up " << maskedLocation(v.at("store")) << " to " << v.at("to") << ".\n";
  return 0;
}

int cmdRestore(const Values& v) {
  const std::string& store = v.at("store");
  if (isPostgresUri(store))
    throw SetupError("A PostgreSQL store is restored with PostgreSQL's own tools: pg_restore --clean --dbname=DATABASE "
                     "tav.dump, from a pg_dump --format=custom backup.");
  const RestoreSummary r = restoreSqliteStore(v.at("from"), store, v.count("discard-newer") > 0);
  std::cout << "Restored " << store << " from " << v.at("from") << " (its scan log ends "
            << (r.backupLastLine ? "at " + formatLocalTime(*r.backupLastLine) : std::string("before any line")) << ")";
  if (!r.keptAs.empty()) std::cout << "; the old store is kept as " << r.keptAs;
  if (r.oldUnreadable) std::cout << " (it could not be read as a store)";
  if (r.foreignLogRemoved) std::cout << "; its log, written for another file, was removed";
  if (r.newerGivenUp)
    std::cout << "; " << r.admissionsGivenUp
              << " admissions made since the backup were given up: tickets admitted since then will be valid again";
  std::cout << ".\n";
  return 0;
}

int cmdPurgeEvent(const Values& v) {
  // Alone on an SQLite file: rebuilding it holds every write up, and a server would wait for that.
  auto store = openExisting(v.at("store"), SqliteLockOptions{true, {}});
  const std::size_t erased = purgeEvent(*store, v.at("bizcode"), v.count("force") > 0);
  std::cout << "Removed the holders' names and seats of " << erased << " tickets of " << v.at("bizcode")
            << (isPostgresUri(v.at("store"))
                    ? "; the tickets were vacuumed, but PostgreSQL's own log and earlier dumps keep the old values "
                      "until they are recycled or deleted.\n"
                    : "; no copy is left in the store file or its log.\n");
  return 0;
}

int cmdDemo(const Values& v) {
  const std::size_t tickets = v.count("tickets") ? parseCount(v.at("tickets"), "tickets", kMaxDemoTickets) : 60000;
  auto store = openStore(v.at("store"), true);
  const DemoInfo demo = loadDemo(*store, tickets);
  std::cout << "Demo venue loaded into " << maskedLocation(v.at("store")) << ".\n"
            << "Place code:  " << demo.placeCode << " (" << demo.theaterName << ")\n"
            << "Event:       " << demo.bizCode << " (" << demo.goodsName << "), active, " << tickets
            << " tickets\n"
            << "Operators (ID / password):\n";
  for (const auto& [id, password] : demo.operators) std::cout << "  " << id << " / " << password << "\n";
  std::cout << "Valid tickets by block:\n";
  for (const auto& [block, numbers] : demo.validByBlock) {
    std::cout << "  " << block << ":";
    for (const auto& n : numbers) std::cout << " " << n;
    std::cout << "\n";
  }
  std::cout << "Cancelled tickets:";
  for (const auto& n : demo.cancelled) std::cout << " " << n;
  std::cout << "\nFor the station's tav.ini:\n[Marovex]\nPlaceCode=" << demo.placeCode << "\n";
  return 0;
}

int cmdCopyStore(const Values& v) {
  const std::string& from = v.at("from");
  const std::string& to = v.at("to");
  if (from == to) throw UsageError("--from and --to name the same store.");
  auto source = openExisting(from);
  auto target = openStore(to, true);
  const CopySummary n = copyStore(*source, *target);
  std::cout << "Copied " << maskedLocation(from) << " to " << maskedLocation(to) << ": " << n.venues << " venues, "
            << n.events << " events, " << n.operators << " operators, " << n.tickets << " tickets, "
            << n.scanLines << " scan log lines.\n";
  return 0;
}

int cmdTlsInit(const Values& v) {
  const std::string& dir = v.at("dir");
  const std::vector<std::string>& hosts = v.lists.at("host");
  try {
    for (const std::string& h : hosts) checkCertificateHost(h);
  } catch (const TlsInitError& e) {
    throw UsageError(e.what());
  }
  const TlsFiles f = makeTlsFiles(dir, hosts);
  std::string names;
  for (const std::string& h : hosts) names += (names.empty() ? "" : ", ") + h;
  std::cout << "Made a private CA and a server certificate for " << names << ":\n"
            << "  " << f.caCert << "  the CA certificate, for the stations\n"
            << "  " << f.caKey << "  the CA's private key: keep it safe and off the stations (mode 0600)\n"
            << "  " << f.serverCert << "  the server certificate, then the CA certificate\n"
            << "  " << f.serverKey << "  the server's private key (mode 0600)\n"
            << "Next:\n"
            << "  on the server:     tav-server serve --store STORE --listen 0.0.0.0:8470 --tls-cert " << f.serverCert
            << " --tls-key " << f.serverKey << "\n"
            << "  on each station:   tav-assets /opt/orltav/ --place PLACECODE --ca " << f.caCert << "\n"
            << "                     (a station built with TAV_SERVER_URL=https://" << hosts.front() << ":8470)\n"
            << "Copy ca.pem only to the stations; the two keys never leave this machine and the server.\n";
  return 0;
}

// Only this machine reaches a loopback address; any other puts the traffic on a network.
bool isLoopback(const std::string& host) {
  if (strcasecmp(host.c_str(), "localhost") == 0) return true;
  in_addr v4{};
  in6_addr v6{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  if (inet_pton(AF_INET6, host.c_str(), &v6) == 1)
    return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
  return false;
}

const char* signalName(int sig) { return sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : "a signal"; }

// Plain HTTP on an address other machines reach: passwords and cookies would cross the network.
bool plainOnNetwork(const ServeOptions& options) { return options.tlsCert.empty() && !isLoopback(options.host); }

// The serve flags as the HTTP service takes them; a usage error for flags that cannot go together.
ServeOptions serveOptions(const Values& v) {
  ServeOptions options;
  try {
    parseListenAddress(v.count("listen") ? v.at("listen") : "127.0.0.1:8470", options.host, options.port);
  } catch (const std::invalid_argument& e) {
    throw UsageError(e.what());
  }
  if (v.count("threads")) options.threads = parseCount(v.at("threads"), "threads", kMaxThreads);
  if (v.count("tls-cert")) options.tlsCert = v.at("tls-cert");
  if (v.count("tls-key")) options.tlsKey = v.at("tls-key");
  if (options.tlsCert.empty() != options.tlsKey.empty())
    throw UsageError("HTTPS needs both --tls-cert and --tls-key.");
  const bool plainHttp = v.count("plain-http") > 0;
  if (plainHttp && !options.tlsCert.empty())
    throw UsageError("--plain-http cannot go with --tls-cert and --tls-key.");
  if (plainOnNetwork(options) && !plainHttp)
    throw UsageError("Plain HTTP on " + options.host +
                     ", which is not a loopback address, would carry passwords and session cookies over the "
                     "network in clear: give --tls-cert and --tls-key (\"tav-server tls-init\" makes them), "
                     "or --plain-http to accept that.");
  if (v.count("max-connections-per-source"))
    options.maxConnectionsPerSource = parseCount(v.at("max-connections-per-source"), "max-connections-per-source", kMaxPerSource);
  if (v.count("max-signins-per-minute"))
    options.maxSignInsPerMinute = parseCount(v.at("max-signins-per-minute"), "max-signins-per-minute", kMaxPerSource);
  if (v.lists.count("metrics-from")) options.metricsFrom = v.lists.at("metrics-from");
  if (v.lists.count("trusted-proxy")) options.trustedProxies = v.lists.at("trusted-proxy");
  options.requireStationKey = v.count("require-station-key") > 0;
  return options;
}

int cmdServe(const Values& v) {
  const ServeOptions options = serveOptions(v);

  // Block the stop signals before any thread exists (the store may start its own), so that
  // only the watcher below receives them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a station that hangs up mid-answer must not end the server
  signal(SIGXFSZ, SIG_IGN);  // a file-size limit must fail the write, not kill the server mid-commit

  std::unique_ptr<Store> store;
  std::unique_ptr<HttpService> service;
  try {
    // A database that does not answer yet is waited for while serving (503 meanwhile); a file that
    // cannot be opened is a mistake in the configuration, reported at once.
    const std::string& location = v.at("store");
    store = isPostgresUri(location) ? servePostgresStore(location, logLine)
                                    : openExisting(location, SqliteLockOptions{false, logLine});
    // The callers of the writes concerned have their answer (the outcome is unknown); closing the
    // store would checkpoint a log it can no longer vouch for, so the process ends without it and
    // the next start recovers from the log.
    store->setFatalHandler([](const std::string& sentence) {
      logLine("fatal: " + sentence + " Stopping at once without closing the store.");
      std::this_thread::sleep_for(kFatalGrace);
      std::_Exit(kExitStoreFatal);
    });
    store->warmUp();
    service = std::make_unique<HttpService>(*store, options);
    service->bind();
  } catch (const std::exception& e) {
    logLine(std::string("error: ") + e.what());
    return kExitFailed;
  }
  // Said at every start, so that a server left on plain HTTP keeps saying so in its log.
  if (plainOnNetwork(options))
    logLine("warning: serving plain HTTP on " + options.host +
            " (--plain-http): passwords, session cookies and tickets cross the network in clear");
  // The scan log keeps UTC; every time the server shows (already inside since HH:MM, the export,
  // the dashboard) is in the machine's zone, which a venue must see is its own.
  logLine(std::string(kProgram) + " " + TAV_VERSION + "; times are shown in the local time zone " +
          localZone(Store::systemNow()).name);
  logLine("listening on " + service->url() + " (store " + maskedLocation(v.at("store")) + ", " +
          std::to_string(service->threads()) + " I/O threads, room for " + std::to_string(service->connectionBudget()) +
          " connections)");

  std::atomic<bool> finished{false};
  std::atomic<int> received{0};
  std::thread watcher([&] {
    int sig = 0;
    sigwait(&stopSignals, &sig);
    if (!finished) received = sig;
    service->stop();
  });
  const bool ok = service->run();
  finished = true;
  pthread_kill(watcher.native_handle(), SIGTERM);  // wakes the watcher if no signal came
  watcher.join();
  service.reset();
  store.reset();
  if (!ok) {
    logLine("error: the server stopped accepting connections unexpectedly");
    return kExitFailed;
  }
  logLine(std::string("stopped on ") + signalName(received));
  return 0;
}

std::vector<Command> commands() {
  static const std::string blockHelp = "the stand it serves: " + blockNames(" or ");
  return {
      {"init", "Creates a new, empty store file.", {kStore}, cmdInit},
      {"add-venue",
       "Adds a venue, named by the place code that stations put in tav.ini.",
       {kStore, {"place", "CODE", "the venue's place code", true}, {"name", "NAME", "the theater name", true}},
       cmdAddVenue},
      {"add-event",
       "Adds an event to a venue and makes it the venue's active event unless --inactive is given.",
       {kStore,
        {"place", "CODE", "the venue's place code", true},
        {"bizcode", "CODE", "the event's business code", true},
        {"name", "NAME", "the event name (goods name)", true},
        {"play-date", "YYYYMMDDHHMM", "when the event is played", true},
        {"inactive", nullptr, "keep the venue's current active event", false}},
       cmdAddEvent},
      {"add-operator",
       "Adds a gate operator to a venue, or with --admin an admin, who may also do all a gate operator does.\n"
       "The password is asked twice without echo, or read from the first line of standard input when\n"
       "that is not a terminal.",
       {kStore,
        {"place", "CODE", "the venue's place code", true},
        {"id", "ID", "the operator ID", true},
        {"admin", nullptr, "make the operator an admin", false}},
       cmdAddOperator},
      {"unlock",
       "Ends the operator's sign-in lockouts: the one for an address or a station after five failures\n"
       "there in 10 minutes, and the one for every address after fifty failures in an hour.",
       {kStore, {"id", "ID", "the operator ID", true}},
       cmdUnlock},
      {"add-station",
       "Registers a gate PC of a venue and writes its key (32 random bytes, base64url) to a new file,\n"
       "readable by its owner only; the store keeps only the key's hash. tav-assets --station-key\n"
       "installs the file on that station, which then sends the key with every request: the server\n"
       "knows the gate by its name, whatever its address, and failed sign-ins from elsewhere never\n"
       "lock its operators out. Works while serve runs: a server that has not read its stations for 2 s\n"
       "reads them again at the next request with a key, and answers that one request as before.",
       {kStore,
        {"place", "CODE", "the venue's place code", true},
        {"name", "NAME", "the station's name, new in the venue (e.g. \"3번 게이트\")", true},
        {"block", "BLOCK", blockHelp.c_str(), false},
        {"key-file", "FILE", "the new file for the key (never replaced)", true}},
       cmdAddStation},
      {"remove-station",
       "Ends a registered station: the sessions opened through it end at once, and its key opens\n"
       "nothing more (a running server takes it once more, at its next request, while it reads the\n"
       "stations again). The scan log keeps its name; a new station may take it.",
       {kStore, {"place", "CODE", "the venue's place code", true}, {"name", "NAME", "the station's name", true}},
       cmdRemoveStation},
      {"enrol-station",
       "Makes a one-time code for a browser station (the station page, /station/): typed into the\n"
       "page's sign-in with an operator's ID and password within 15 minutes, it registers the station\n"
       "under this name and gives that browser the station's key in a cookie. remove-station ends it.",
       {kStore,
        {"place", "CODE", "the venue's place code", true},
        {"name", "NAME", "the station's name, new in the venue (e.g. \"3번 게이트 폰\")", true},
        {"block", "BLOCK", blockHelp.c_str(), false}},
       cmdEnrolStation},
      {"set-password",
       "Replaces an operator's password (at least 8 characters) and ends the operator's sessions.\n"
       "The password is asked twice without echo, or read from the first line of standard input when\n"
       "that is not a terminal.",
       {kStore, {"id", "ID", "the operator ID", true}},
       cmdSetPassword},
      {"set-operator",
       "Lets an operator sign in and check tickets again (--active), or stops that at once and ends the\n"
       "operator's sessions (--inactive).",
       {kStore,
        {"id", "ID", "the operator ID", true},
        {"active", nullptr, "make the operator active", false},
        {"inactive", nullptr, "make the operator inactive", false}},
       cmdSetOperator},
      {"set-event",
       "Makes an event its venue's active event, the one stations check (and the venue's other events\n"
       "inactive), or makes it inactive; --capacity sets how many each stand holds, for the dashboard's\n"
       "alarms at 95% and 100% (blocks not named keep theirs; 0 clears one).\n"
       "--offline on lets registered stations fetch the event's list and go on checking from it while the\n"
       "server is out of reach, for at most --offline-max-age minutes after the list's last refresh. What\n"
       "it trades: during an outage two copies of one ticket at two gates of its block can both pass, and\n"
       "a ticket cancelled after the last refresh can pass; each is reported when the stations hand over.",
       {kStore,
        {"bizcode", "CODE", "the event's business code", true},
        {"active", nullptr, "make it the venue's active event", false},
        {"inactive", nullptr, "make it inactive", false},
        {"capacity", "BLOCK=N,...", "stand capacities, such as E석=12000,W석=9000", false},
        {"offline", "on|off", "offline checking at registered stations (off unless turned on)", false},
        {"offline-max-age", "MINUTES", "how long a list serves after its last refresh", false}},
       cmdSetEvent},
      {"import-journal",
       "Hands the offline decisions of a station's journal (offline-journal-NAME.log, copied from a gate PC\n"
       "that cannot hand them over itself) to the store, as the station would: each line is checked and\n"
       "kept, the store's state wins where it is later, and a decision the store would have refused is\n"
       "kept as an offline conflict. No session and no outage are asked for: running it vouches for the\n"
       "file. Lines already handed over change nothing; a line per refused decision, then a summary.",
       {kStore,
        {"station", "NAME", "the station whose journal it is (its lists and sequence)", false},
        {"place", "CODE", "the station's venue", false}},
       cmdImportJournal, "FILE"},
      {"cancel-ticket",
       "Cancels a ticket (a refund): its next check is refused as cancelled.",
       {kStore, {"bizcode", "CODE", "the event's business code", true}, {"ticket", "NUMBER", "the ticket number", true}},
       [](const Values& v) { return changeTicket(v, true); }},
      {"restore-ticket",
       "Makes a cancelled ticket valid again.",
       {kStore, {"bizcode", "CODE", "the event's business code", true}, {"ticket", "NUMBER", "the ticket number", true}},
       [](const Values& v) { return changeTicket(v, false); }},
      {"revoke-sessions",
       "Ends the sessions of one operator, or of everyone: their stations get \"다시 로그인하세요\" on\n"
       "their next check until the operator signs in again. Works while serve runs. Ending everyone's\n"
       "while an event is active signs every gate out at once, and needs --all.",
       {kStore, {"id", "ID", "the operator ID", false}, {"all", nullptr, "every operator's sessions", false}},
       cmdRevokeSessions},
      {"import-tickets",
       "Imports tickets from a CSV file with the header row\n"
       "TicketNo,CustName,GoodsName,PlayDate,PlaceName,SeatGradeName,SeatInfo,Block,Status.\n"
       "The file is UTF-8 (Excel's \"CSV UTF-8\"), or code page 949 (Korean Excel's plain \"CSV\") with\n"
       "--encoding cp949. All rows are imported or none; every bad row is counted, the first 20 shown as\n"
       "file:line: reason. Rows of empty cells are skipped.\n"
       "With --new-only, tickets already in the event are skipped when their row is unchanged.\n"
       "With --sync, the file is the ticketing system's full export: new tickets are added, and tickets\n"
       "already there take the row's holder, seat, block and status (whether a ticket is inside and its\n"
       "entry times stay); a ticket cancelled here with cancel-ticket stays cancelled and is listed.",
       {kStore,
        {"bizcode", "CODE", "the event's business code", true},
        {"csv", "FILE", "the CSV file", true},
        {"encoding", "NAME", "utf-8 (default) or cp949", false},
        {"new-only", nullptr, "add only the tickets not there yet; a changed one is a bad row", false},
        {"sync", nullptr, "follow the full export: add new tickets, apply changed details and status", false}},
       cmdImportTickets},
      {"migrate",
       "Brings a PostgreSQL store to this program's schema. Its changes only add (tables, columns with\n"
       "defaults, indexes), so servers of the older version on the same database keep working until\n"
       "each is upgraded; a server of this version answers 503 on an older schema until it has run.\n"
       "An SQLite store is brought up whenever it is opened.",
       {kStore},
       cmdMigrate},
      {"list",
       "Without --place, lists the venues. With --place, lists the venue's events with their ticket,\n"
       "cancellation, admission and inside counts, its operators with their roles, its stations (last\n"
       "seen, the operator signed in there now) and the operator IDs locked out now, where and until when.",
       {kStore, {"place", "CODE", "the venue's place code", false}},
       cmdList},
      {"export-scans",
       "Writes a venue's scan log (ticket checks and sign-ins) as a CSV file that Excel opens: UTF-8 with\n"
       "a byte-order mark, one line per check or sign-in with its local time, kind, operator, source\n"
       "address, mode, block, ticket number, business code, answer code and message. Times for --since\n"
       "and --until are local: 2026-04-04, 2026-04-04 18:30 or 202604041830; --until is not included.",
       {kStore,
        {"place", "CODE", "the venue's place code", true},
        {"bizcode", "CODE", "only the checks of this event", false},
        {"since", "TIME", "only lines from this time on", false},
        {"until", "TIME", "only lines before this time", false},
        {"csv", "FILE", "the file to write, or - for standard output", true}},
       cmdExportScans},
      {"backup",
       "Writes a consistent copy of an SQLite store to a new file, also while \"serve\" runs and stations\n"
       "check: every answer given before the backup starts is in it. The copy is a store file that\n"
       "--store takes as it is. A PostgreSQL store is backed up with pg_dump instead.",
       {kStore, {"to", "FILE", "the new file (never replaced)", true}},
       cmdBackup},
      {"restore",
       "Puts a backup in place of an SQLite store: the one way to do it. Stop the server first; a server\n"
       "started meanwhile waits for the restore to end. The backup (a file, or a pipe such as\n"
       "<(zcat tav.db.gz)) is copied beside the store and checked, the old store is kept as\n"
       "STORE.before-restore, its -wal and -shm are removed and the copy takes its place in one step with\n"
       "its owner and mode. A store whose scan log goes on past the backup's is not replaced without\n"
       "--discard-newer, which gives up the admissions made since. A PostgreSQL store is restored with\n"
       "pg_restore instead.",
       {{"from", "BACKUP", "the backup file, as backup --to wrote it", true},
        {"store", "STORE", "the SQLite store file to replace (made when missing)", true},
        {"discard-newer", nullptr, "replace a store with newer scan-log lines than the backup", false}},
       cmdRestore},
      {"purge-event",
       "Removes a past event's personal data: the holders' names and seats of its tickets. Admission\n"
       "counts, ticket states and the scan log (times, ticket numbers, answers) stay. No copy is left in\n"
       "the store's free space or log (an SQLite file is rebuilt, so the server must be stopped; on\n"
       "PostgreSQL the table is vacuumed). Refused for the active event and for an event played less than\n"
       "7 days ago, unless --force. Export the scan log first (export-scans) when the venue keeps it.",
       {kStore, {"bizcode", "CODE", "the event's business code", true},
        {"force", nullptr, "also for the active event or one played less than 7 days ago", false}},
       cmdPurgeEvent},
      {"demo",
       "Loads a demo venue with one active event, its tickets and two operators (making the store "
       "when it does not exist), and prints what a station needs to try it.",
       {kStore, {"tickets", "N", "how many tickets (default 60000)", false}},
       cmdDemo},
      {"copy-store",
       "Copies everything a store holds (venues, events, operators, tickets with their state, the "
       "scan log) into an empty store, in one transaction: e.g. from the SQLite file to PostgreSQL, "
       "to serve a venue from several tav-server processes. The source is left as it is.",
       {{"from", "STORE", "the store to copy: an SQLite file or a postgresql:// URI", true},
        {"to", "STORE", "the empty store to fill (made when it does not exist, or given the schema)", true}},
       cmdCopyStore},
      {"serve",
       "Serves the business object Nuvrel.member over HTTP (HTTPS with a certificate and key) "
       "until SIGTERM or SIGINT.\n"
       "Limits: a request's header block and its body at most 8 KiB each (a hand-over of offline\n"
       "decisions 64 KiB), the whole request within 10 s of its first byte, an idle connection closed\n"
       "after 60 s; per source address at most\n"
       "--max-connections-per-source open connections (more are closed at once) and\n"
       "--max-signins-per-minute sign-ins (more are answered 429). Raise them for stations that share\n"
       "one address behind NAT. An IPv6 client counts as its /64. Near the open-file limit the longest-idle\n"
       "connections are closed, those without a session first; password checks wait at most 3 s in a\n"
       "bounded queue (else 503 with Retry-After).\n"
       "An address other than loopback (127.0.0.0/8, ::1, localhost) needs --tls-cert and --tls-key\n"
       "(\"tav-server tls-init\" makes them), or --plain-http, which is logged as a warning at every start.",
       {kStore,
        {"listen", "HOST:PORT", "where to listen (default 127.0.0.1:8470; port 0 lets the system choose)", false},
        {"threads", "N", "I/O threads serving every connection (default one per core)", false},
        {"tls-cert", "PEM", "certificate chain for HTTPS", false},
        {"tls-key", "PEM", "private key for HTTPS", false},
        {"plain-http", nullptr, "serve plain HTTP on an address other than loopback", false},
        {"max-connections-per-source", "N", "open connections one source address may hold (default 512)", false},
        {"max-signins-per-minute", "N", "sign-ins one source address may make in a minute (default 120)", false},
        {"metrics-from", "ADDR[/BITS]", "an address or network besides loopback that may read /metrics; repeat for each",
         false, true},
        {"require-station-key", nullptr, "answer 403 to station requests without a registered station's key", false},
        {"trusted-proxy", "ADDR",
         "a proxy's address whose connections begin with a PROXY protocol v2 header naming the client; repeat for each",
         false, true}},
       cmdServe},
      {"tls-init",
       "Makes a private certificate authority (CA) and a server certificate it signs, for serve's\n"
       "--tls-cert and --tls-key: DIR/ca.pem, DIR/ca-key.pem, DIR/server.pem (the server certificate,\n"
       "then the CA's) and DIR/server-key.pem, the keys readable by their owner only. ECDSA P-256 keys;\n"
       "the CA is valid 10 years, the server certificate 825 days. Stations trust the CA once ca.pem\n"
       "is in their install folder (tav-assets FOLDER --place CODE --ca DIR/ca.pem). Existing files are never replaced.",
       {{"dir", "DIR", "the folder for the four files (made when missing)", true},
        {"host", "NAME", "a name or IP address the stations use for the server; repeat for each", true, true}},
       cmdTlsInit},
  };
}

void printProgramHelp(const std::vector<Command>& all) {
  std::cout << "Usage: " << kProgram << " COMMAND [OPTIONS]\n\n"
            << "The gate stations' back-end and its venue setup tool.\n\nCommands:\n";
  for (const Command& c : all) std::cout << "  " << usageLine(c) << "\n";
  std::cout << "\n\"" << kProgram << " COMMAND --help\" describes one command; \"" << kProgram
            << " --version\" prints the version.\n";
}

}  // namespace

int runCli(int argc, char** argv) {
  const std::vector<Command> all = commands();
  if (argc < 2) {
    std::cerr << kProgram << ": No command given; see \"" << kProgram << " --help\".\n";
    return kExitUsage;
  }
  const std::string name = argv[1];
  if (name == "--version") {
    std::cout << kProgram << " " << TAV_VERSION << "\n";
    return 0;
  }
  if (name == "--help" || name == "-h" || name == "help") {
    if (name == "help" && argc > 2) {
      for (const Command& c : all)
        if (c.name == std::string(argv[2])) {
          printCommandHelp(c);
          return 0;
        }
    }
    printProgramHelp(all);
    return 0;
  }
  const Command* command = nullptr;
  for (const Command& c : all)
    if (name == c.name) command = &c;
  if (!command) {
    std::cerr << kProgram << ": Unknown command \"" << name << "\"; see \"" << kProgram << " --help\".\n";
    return kExitUsage;
  }
  try {
    bool help = false;
    const Values values = parseOptions(*command, argc, argv, 2, help);
    if (help) {
      printCommandHelp(*command);
      return 0;
    }
    return command->run(values);
  } catch (const UsageError& e) {
    std::cerr << kProgram << ": " << e.what() << " See \"" << kProgram << " " << command->name
              << " --help\".\n";
    return kExitUsage;
  } catch (const std::bad_alloc&) {
    // Whatever the command had begun is undone with its transaction; the sentence says so.
    std::cerr << kProgram << ": There was not enough memory to finish " << command->name
              << "; what it had not finished was undone.\n";
    return kExitFailed;
  } catch (const std::exception& e) {
    std::cerr << kProgram << ": " << e.what() << "\n";
    return kExitFailed;
  }
}

}  // namespace tav::server
