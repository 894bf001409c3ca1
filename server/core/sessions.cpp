// Operator sessions: tokens from libsodium's generator, kept by their SHA-256.
#include "server/core/sessions.h"

#include <sodium.h>


#include <cctype>
#include <stdexcept>

namespace tav::server {
namespace {

constexpr std::size_t kTokenBytes = 32;

void needSodium() {
  if (sodium_init() < 0) throw std::runtime_error("The cryptography library cannot be started.");
}

SessionInfo infoOf(const SessionRecord& r) {
  return SessionInfo{r.id, r.tokenHash, r.operatorId, r.placeCode, r.role, r.source, r.created, r.lastUse, r.station};
}

}  // namespace

bool wellFormedToken(std::string_view token) {
  if (token.size() != sodium_base64_ENCODED_LEN(kTokenBytes, sodium_base64_VARIANT_URLSAFE_NO_PADDING) - 1)
    return false;
  for (unsigned char c : token)
    if (!(std::isalnum(c) || c == '-' || c == '_')) return false;
  return true;
}

std::string newSessionToken() {
  needSodium();
  unsigned char bytes[kTokenBytes];
  randombytes_buf(bytes, sizeof bytes);
  char text[sodium_base64_ENCODED_LEN(kTokenBytes, sodium_base64_VARIANT_URLSAFE_NO_PADDING)];
  sodium_bin2base64(text, sizeof text, bytes, sizeof bytes, sodium_base64_VARIANT_URLSAFE_NO_PADDING);
  sodium_memzero(bytes, sizeof bytes);
  return text;
}

std::string sessionTokenHash(const std::string& token) {
  needSodium();
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(token.data()), token.size());
  char hex[2 * crypto_hash_sha256_BYTES + 1];
  sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
  return hex;
}

std::optional<SessionInfo> liveSession(Reader& reader, const std::string& token, TimeMs now) {
  if (!wellFormedToken(token)) return std::nullopt;
  std::optional<SessionRecord> record = reader.findSession(sessionTokenHash(token));
  if (!record || !sessionLive(*record, now)) return std::nullopt;
  return infoOf(*record);
}

std::optional<SessionInfo> findLiveSession(Store& store, const std::string& token) {
  std::optional<SessionInfo> session;
  const TimeMs now = store.now();
  store.read([&](Reader& r) { session = liveSession(r, token, now); });
  return session;
}

bool sessionLive(const SessionRecord& r, TimeMs now) {
  return now - r.lastUse < kSessionIdleMs && now - r.created < kSessionLifetimeMs;
}

std::string openSession(Transaction& tx, const Operator& op, const std::string& source, TimeMs now,
                        std::int64_t& sessionId, std::int64_t station) {
  std::string token = newSessionToken();
  SessionRecord record;
  record.tokenHash = sessionTokenHash(token);
  record.operatorId = op.id;
  record.placeCode = op.placeCode;
  record.role = op.role;
  record.source = source;
  record.created = now;
  record.lastUse = now;
  record.station = station;
  sessionId = tx.insertSession(record, now - kSessionIdleMs, now - kSessionLifetimeMs);
  return token;
}

void noteSessionUse(Transaction& tx, const SessionInfo& s, TimeMs now) {
  if (now - s.lastUse < kSessionTouchMs) return;
  SessionRecord record{s.id, s.tokenHash, s.operatorId, s.placeCode, s.role, s.source, s.created, s.lastUse, s.station};
  tx.touchSession(record, now);
}

std::size_t revokeSessions(Store& store, const std::optional<std::string>& operatorId, bool duringEvents) {
  std::size_t ended = 0;
  store.write([&](Transaction& tx) {
    if (operatorId && !tx.findOperator(*operatorId))
      throw SetupError("There is no operator with the ID " + *operatorId + ".");
    if (!operatorId && !duringEvents) {
      std::string active;
      for (const Event& e : tx.allEvents())
        if (e.active) active += (active.empty() ? "" : ", ") + e.bizCode;
      if (!active.empty())
        throw SetupError("Ending every session signs out every gate of the active events (" + active +
                         ") at once; name one operator with --id, or give --all to end them all the same.");
    }
    ended = tx.endSessions(operatorId);
  });
  return ended;
}

}  // namespace tav::server
