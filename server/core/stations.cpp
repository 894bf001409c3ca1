// Registered gate PCs: keys from libsodium's generator kept by their SHA-256, the venue's setup
// operations on them, and the in-memory directory of the live ones.
#include "server/core/stations.h"

#include <arpa/inet.h>

#include <algorithm>
#include <map>
#include <stdexcept>
#include <tuple>

#include <sodium.h>

#include "server/core/command_parser.h"
#include "server/core/errors.h"
#include "server/core/sign_in.h"
#include "server/core/sessions.h"
#include "server/core/setup.h"
#include "wire/protocol.h"

namespace tav::server {
namespace {

constexpr std::string_view kStationPrefix = "station:";

bool looksLikeAddress(const std::string& name) {
  unsigned char buf[sizeof(in6_addr)];
  return inet_pton(AF_INET, name.c_str(), buf) == 1 || inet_pton(AF_INET6, name.c_str(), buf) == 1;
}

void checkStationName(const std::string& name) {
  if (name.empty()) throw SetupError("A station needs a name.");
  if (!isValidUtf8(name)) throw SetupError("The station name is not valid UTF-8.");
  if (utf8Length(name) > kMaxStationName)
    throw SetupError("The station name is longer than " + std::to_string(kMaxStationName) + " characters.");
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7f) throw SetupError("The station name holds a control character.");
  // The scan log's export and the dashboard show a station by its name where they show other
  // clients by their address: a name that reads as an address would pass for one.
  if (looksLikeAddress(name))
    throw SetupError("The station name \"" + name + "\" is an IP address; give the station a name such as \"3번 게이트\".");
}

std::optional<StationRecord> liveStationNamed(Reader& r, const std::string& placeCode, const std::string& name) {
  for (StationRecord& s : r.allStations())
    if (!s.removed && s.placeCode == placeCode && s.name == name) return std::move(s);
  return std::nullopt;
}

}  // namespace

// The station's key is made as a session token is; the station side checks its form by
// wire::isStationKey, which must hold for every key made here.
std::string newStationKey() {
  std::string key = newSessionToken();
  if (!wire::isStationKey(key) || !wellFormedToken(key))
    throw std::logic_error("A new station key is not of the form stations check.");
  return key;
}

bool wellFormedStationKey(std::string_view key) { return wire::isStationKey(key); }

std::string stationKeyHash(const std::string& key) { return sessionTokenHash(key); }

std::string stationSource(std::int64_t stationId) { return std::string(kStationPrefix) + std::to_string(stationId); }

std::optional<std::int64_t> stationOfSource(std::string_view source) {
  if (source.substr(0, kStationPrefix.size()) != kStationPrefix) return std::nullopt;
  const std::string_view digits = source.substr(kStationPrefix.size());
  if (digits.empty() || digits.size() > 18 || digits.find_first_not_of("0123456789") != std::string_view::npos)
    return std::nullopt;
  return std::stoll(std::string(digits));
}

StationNames stationNames(Reader& reader) {
  StationNames names;
  for (const StationRecord& s : reader.allStations()) names.emplace(s.id, s.name);
  return names;
}

std::string sourceLabel(const std::string& source, const StationNames& names) {
  const std::optional<std::int64_t> id = stationOfSource(source);
  if (!id) return source;
  const auto it = names.find(*id);
  return it != names.end() ? it->second : "(removed station " + std::to_string(*id) + ")";
}

AddedStation addStation(Store& store, const std::string& placeCode, const std::string& name,
                        const std::string& block) {
  checkStationName(name);
  if (!block.empty()) knownBlock(block);
  AddedStation added;
  added.key = newStationKey();
  store.write([&](Transaction& tx) {
    if (!tx.findVenue(placeCode)) throw SetupError("There is no venue " + placeCode + ".");
    if (liveStationNamed(tx, placeCode, name))
      throw SetupError("The venue " + placeCode + " already has a station named \"" + name + "\".");
    added.station = StationRecord{};
    added.station.placeCode = placeCode;
    added.station.name = name;
    added.station.block = block;
    added.station.keyHash = stationKeyHash(added.key);
    added.station.created = store.now();
    added.station.id = tx.insertStation(added.station);
  });
  return added;
}

namespace {

// Easy to read out and type on a phone: no 0/O, 1/I; ten of them hold 50 random bits.
constexpr std::string_view kEnrolmentAlphabet = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
constexpr std::size_t kEnrolmentLength = 10;

std::string enrolmentKey(const std::string& code) {
  std::string key;
  for (char c : code) {
    if (c == '-' || c == ' ') continue;
    key += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  return key;
}

}  // namespace

Enrolment makeEnrolment(Store& store, const std::string& placeCode, const std::string& name, const std::string& block) {
  checkStationName(name);
  if (!block.empty()) knownBlock(block);
  if (sodium_init() < 0) throw std::runtime_error("The cryptography library cannot be started.");
  std::string code;
  for (std::size_t i = 0; i < kEnrolmentLength; ++i)
    code += kEnrolmentAlphabet[randombytes_uniform(static_cast<std::uint32_t>(kEnrolmentAlphabet.size()))];
  Enrolment made;
  made.code = code.substr(0, kEnrolmentLength / 2) + "-" + code.substr(kEnrolmentLength / 2);
  store.write([&](Transaction& tx) {
    if (!tx.findVenue(placeCode)) throw SetupError("There is no venue " + placeCode + ".");
    if (liveStationNamed(tx, placeCode, name))
      throw SetupError("The venue " + placeCode + " already has a station named \"" + name + "\".");
    const TimeMs now = store.now();
    made.expires = now + kEnrolmentLifeMs;
    tx.insertEnrolment(EnrolmentRecord{sessionTokenHash(code), placeCode, name, block, now, made.expires, 0}, now);
  });
  return made;
}

AddedStation redeemEnrolment(Store& store, const std::string& code, const std::string& sessionToken) {
  const std::string refused = "This enrolment code is unknown, used or expired; ask the venue's admin for a new one.";
  const std::string key = enrolmentKey(code);
  AddedStation added;
  added.key = newStationKey();
  store.write([&](Transaction& tx) {
    const TimeMs now = store.now();
    const std::optional<SessionInfo> session = liveSession(tx, sessionToken, now);
    if (!session) throw NotSignedIn();
    const std::optional<EnrolmentRecord> e =
        key.size() == kEnrolmentLength ? tx.findEnrolment(sessionTokenHash(key)) : std::nullopt;
    if (!e || e->station != 0 || e->expires < now || e->placeCode != session->placeCode) throw ActionRefused(refused);
    if (liveStationNamed(tx, e->placeCode, e->name))
      throw ActionRefused("The venue already has a station named \"" + e->name + "\"; ask the admin for a code under another name.");
    added.station = StationRecord{};
    added.station.placeCode = e->placeCode;
    added.station.name = e->name;
    added.station.block = e->block;
    added.station.keyHash = stationKeyHash(added.key);
    added.station.created = now;
    added.station.id = tx.insertStation(added.station);
    tx.redeemEnrolment(e->codeHash, added.station.id);
  });
  return added;
}

void removeStation(Store& store, const std::string& placeCode, const std::string& name) {
  store.write([&](Transaction& tx) {
    if (!tx.findVenue(placeCode)) throw SetupError("There is no venue " + placeCode + ".");
    const std::optional<StationRecord> station = liveStationNamed(tx, placeCode, name);
    if (!station) throw SetupError("The venue " + placeCode + " has no station named \"" + name + "\".");
    tx.removeStation(station->id, store.now());
  });
}

bool stationLive(Reader& reader, std::int64_t stationId) {
  for (const StationRecord& s : reader.allStations())
    if (s.id == stationId) return !s.removed;
  return false;
}

std::optional<SessionInfo> callerSession(Reader& r, const Caller& caller, TimeMs now) {
  std::optional<SessionInfo> session = liveSession(r, caller.sessionToken, now);
  if (!session) return std::nullopt;
  if (session->station != 0) return session->station == caller.station ? session : std::nullopt;
  if (caller.station != 0 && !stationLive(r, caller.station)) return std::nullopt;
  return session;
}

bool holdLiveStation(Transaction& tx, std::int64_t stationId, TimeMs now) {
  // Writing the row locks it on PostgreSQL, whose transactions see what committed before each
  // statement: the read below then sees a removal that came first, and a removal that comes later
  // waits for this write and then finds its session. SQLite runs one write at a time anyway.
  tx.touchStation(stationId, now);
  return stationLive(tx, stationId);
}

std::vector<StationSummary> listStations(Store& store, const std::string& placeCode) {
  std::vector<StationSummary> out;
  const TimeMs now = store.now();
  store.read([&](Reader& r) {
    out.clear();
    if (!r.findVenue(placeCode)) throw SetupError("There is no venue " + placeCode + ".");
    for (const StationRecord& s : r.allStations()) {
      if (s.removed || s.placeCode != placeCode) continue;
      StationSummary summary{s.name, s.block, s.lastSeen, {}};
      if (const std::optional<SessionRecord> session = r.latestStationSession(s.id))
        if (sessionLive(*session, now)) summary.signedIn = session->operatorId;
      out.push_back(std::move(summary));
    }
  });
  std::sort(out.begin(), out.end(), [](const StationSummary& a, const StationSummary& b) { return a.name < b.name; });
  return out;
}

std::vector<LockoutSummary> listLockouts(Store& store, const std::string& placeCode) {
  const std::vector<OperatorSummary> operators = listOperators(store, placeCode);
  const TimeMs now = store.now();
  std::vector<LockoutSummary> out;
  store.read([&](Reader& r) {
    out.clear();
    const StationNames names = stationNames(r);
    for (const OperatorSummary& op : operators) {
      // The lockouts of one ID in force, by the source they hold for ("" for everywhere); an
      // unlock ends all those before it, and a later lockout of the same source replaces the
      // earlier one.
      std::map<std::string, LockoutSummary> held;
      for (const ScanRecord& line : r.lockoutLines(op.id, now - std::max(kLockoutMs, kLockoutEverywhereMs))) {
        if (line.outcome == kOutcomeUnlock) {
          held.clear();
        } else if (line.outcome == kOutcomeLockoutAll) {
          held[""] = LockoutSummary{op.id, "everywhere without a station key", line.at, line.at + kLockoutEverywhereMs};
        } else {
          const std::string where =
              stationOfSource(line.source) ? "station " + sourceLabel(line.source, names) : "address " + line.source;
          held[line.source] = LockoutSummary{op.id, where, line.at, line.at + kLockoutMs};
        }
      }
      for (auto& [source, lockout] : held)
        if (lockout.until > now) out.push_back(std::move(lockout));
    }
  });
  std::sort(out.begin(), out.end(), [](const LockoutSummary& a, const LockoutSummary& b) {
    return std::tie(a.operatorId, a.until, a.where) < std::tie(b.operatorId, b.until, b.where);
  });
  return out;
}

// --- the directory ------------------------------------------------------------------------------

StationDirectory::StationDirectory(Store& store) : store_(store), known_(std::make_shared<const Map>()) {
  try {
    refresh();
  } catch (...) {
    // The store may come back later (a database that is down at start): the next key asks again.
  }
  thread_ = std::thread([this] { run(); });
}

StationDirectory::~StationDirectory() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
  answer(std::move(waiting_));
}

std::optional<StationInfo> StationDirectory::known(const std::string& hash) {
  const auto it = known_->find(hash);
  if (it == known_->end()) return std::nullopt;
  const TimeMs now = store_.now();
  seen_[it->second.id] = now;
  Asked& asked = asked_[it->second.id];
  // A server that has not seen the station since it started counts the silence from the last
  // sighting the store holds, by any server: a station handing its offline decisions over to
  // another server than the one it last reached, or after a restart, is judged by its real outage
  // (longer by up to the minute the store's time may lag), not refused as though it had none.
  const TimeMs last = asked.last != 0 ? asked.last : it->second.lastSeen.value_or(0);
  if (last != 0 && now - last > asked.silenceMs) {
    asked.silenceFrom = last;
    asked.silenceMs = now - last;
  }
  asked.last = now;
  if (!pending_) {
    pending_ = true;
    wake_.notify_one();
  }
  return it->second;
}

bool StationDirectory::lookup(const std::string& key, std::optional<StationInfo>& found, Found later) {
  found.reset();
  if (!wellFormedStationKey(key)) return true;
  const std::string hash = stationKeyHash(key);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!wanted_ && std::chrono::steady_clock::now() - readAt_ >= kStationRefresh) {
    wanted_ = true;
    wake_.notify_one();
  }
  found = known(hash);
  if (found || stopping_) return true;
  waiting_.push_back(Waiting{hash, std::move(later)});
  wake_.notify_one();
  return false;
}

std::optional<TimeMs> StationDirectory::longestSilence(std::int64_t stationId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = asked_.find(stationId);
  return it == asked_.end() ? std::nullopt : it->second.silenceFrom;
}

std::optional<TimeMs> StationDirectory::takeLongestSilence(std::int64_t stationId) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = asked_.find(stationId);
  if (it == asked_.end()) return std::nullopt;
  const std::optional<TimeMs> from = it->second.silenceFrom;
  it->second.silenceFrom.reset();
  it->second.silenceMs = -1;
  return from;
}

void StationDirectory::answer(std::vector<Waiting> waiting) {
  std::vector<std::optional<StationInfo>> answers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Waiting& w : waiting) answers.push_back(known(w.hash));
  }
  for (std::size_t i = 0; i < waiting.size(); ++i) waiting[i].later(std::move(answers[i]));
}

void StationDirectory::refresh() { refresh({}); }

void StationDirectory::refresh(const std::function<void()>& listRead) {
  std::lock_guard<std::mutex> one(refreshMutex_);
  {
    // Counted from the attempt, so that a store that does not answer is not asked at every key.
    std::lock_guard<std::mutex> lock(mutex_);
    readAt_ = std::chrono::steady_clock::now();
  }
  std::vector<StationRecord> stations;
  store_.read([&](Reader& r) { stations = r.allStations(); });

  auto fresh = std::make_shared<Map>();
  std::unordered_map<std::int64_t, std::optional<TimeMs>> stored;  // live stations' last seen
  for (const StationRecord& s : stations) {
    if (s.removed) continue;
    fresh->emplace(s.keyHash, StationInfo{s.id, s.placeCode, s.name, s.block, s.lastSeen});
    stored.emplace(s.id, s.lastSeen);
  }

  // Last-seen times a minute newer than the store's are written; the rest wait, so that a gate
  // checking all day writes its time once a minute, not once a check. A station's time is kept
  // (and the directory keeps coming back) until the store holds it.
  std::vector<std::pair<std::int64_t, TimeMs>> due;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_ = false;
    for (auto it = seen_.begin(); it != seen_.end();) {
      const auto live = stored.find(it->first);
      if (live == stored.end()) {
        it = seen_.erase(it);  // removed: only live stations are kept
      } else if (!live->second || it->second - *live->second >= kStationSeenMs) {
        due.emplace_back(it->first, it->second);
        it = seen_.erase(it);
      } else {
        pending_ = pending_ || it->second > *live->second;
        ++it;
      }
    }
    known_ = std::move(fresh);
  }
  if (listRead) listRead();
  if (due.empty()) return;
  try {
    store_.write([&](Transaction& tx) {
      for (const auto& [id, at] : due) tx.touchStation(id, at);
    });
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [id, at] : due) seen_.emplace(id, at);  // a later sighting already there wins
    pending_ = true;
    throw;
  }
}

void StationDirectory::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (stopping_) return;
    // A lookup wants a fresh list at once, an unknown key once the last read is kStationRecheck
    // old; a last-seen time waits for the list's turn.
    const auto now = std::chrono::steady_clock::now();
    const bool recheck = !waiting_.empty() && now - readAt_ >= kStationRecheck;
    const bool due = wanted_ || recheck || (pending_ && now - readAt_ >= kStationRefresh);
    if (!due) {
      if (!waiting_.empty())
        wake_.wait_until(lock, readAt_ + kStationRecheck);
      else if (pending_)
        wake_.wait_until(lock, readAt_ + kStationRefresh);
      else
        wake_.wait(lock);
      continue;
    }
    // The keys waiting now are answered from a read that starts after they came.
    std::vector<Waiting> waiting = std::move(waiting_);
    waiting_.clear();
    lock.unlock();
    // Answered once the list is read, not after the last-seen times are written.
    bool answered = false;
    try {
      refresh([&] {
        answered = true;
        answer(std::move(waiting));
      });
    } catch (...) {
      // Kept as it was: the next key after kStationRefresh asks again, and the keys that waited
      // are answered from the list at hand.
    }
    if (!answered) answer(std::move(waiting));
    lock.lock();
    wanted_ = false;
  }
}

}  // namespace tav::server
