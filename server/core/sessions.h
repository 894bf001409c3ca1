// Operator sessions: the token a successful sign-in hands out, and what makes a session live.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "server/core/store.h"

namespace tav::server {

// A session ends this long after its last use, or this long after it was made, whichever is first.
inline constexpr TimeMs kSessionIdleMs = 12LL * 60 * 60 * 1000;
inline constexpr TimeMs kSessionLifetimeMs = 24LL * 60 * 60 * 1000;
// A session's last use is written at most this often: most checks then write nothing for it.
inline constexpr TimeMs kSessionTouchMs = 60 * 1000;

// The cookie that carries the token.
inline constexpr const char* kSessionCookie = "tav_session";

// A live session, as the procedures and the dashboard see it.
struct SessionInfo {
  std::int64_t id = 0;
  std::string tokenHash, operatorId, placeCode;
  OperatorRole role = OperatorRole::Gate;
  std::string source;
  TimeMs created = 0, lastUse = 0;
  std::int64_t station = 0;  // the registered station it was opened through (0: none)
};

// 32 random bytes, base64url without padding: what the client holds.
std::string newSessionToken();

// True for text of the form newSessionToken makes: 43 characters of the base64url alphabet.
bool wellFormedToken(std::string_view token);

// The SHA-256 of the token, in hex: what the store holds.
std::string sessionTokenHash(const std::string& token);

// The session of the token if it is live at `now`: found, used within kSessionIdleMs and made
// within kSessionLifetimeMs. A token of the wrong form is no session.
std::optional<SessionInfo> liveSession(Reader& reader, const std::string& token, TimeMs now);

// The same from a store, for requests that only read (the dashboard).
std::optional<SessionInfo> findLiveSession(Store& store, const std::string& token);

// Makes a session for the operator in the caller's transaction and returns its token.
// `sessionId` receives the session's id for the scan log; `station` is the registered station the
// sign-in came through (0: none).
std::string openSession(Transaction& tx, const Operator& op, const std::string& source, TimeMs now,
                        std::int64_t& sessionId, std::int64_t station = 0);

// Whether the session is live at `now`: used within kSessionIdleMs and made within kSessionLifetimeMs.
bool sessionLive(const SessionRecord& session, TimeMs now);

// Records a use of a live session when its last recorded use is a minute old or more.
void noteSessionUse(Transaction& tx, const SessionInfo& session, TimeMs now);

// Ends the operator's sessions, or every session; returns how many the store still held. Throws
// SetupError, ending nothing, when no operator has the ID, and when every session is to end while
// an event is active (every gate would sign out at once) without `duringEvents`.
std::size_t revokeSessions(Store& store, const std::optional<std::string>& operatorId, bool duringEvents = false);

}  // namespace tav::server
