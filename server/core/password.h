// Operator passwords: argon2id hashes through libsodium, never the password itself.
#pragma once

#include <cstddef>
#include <string>

namespace tav::server {

// New passwords have at least this many characters (not bytes): a short one falls to guessing
// over the network long before the lockouts matter.
inline constexpr std::size_t kMinPasswordLength = 8;

// An argon2id hash string (libsodium's crypto_pwhash_str format) of `password`.
// Throws std::runtime_error when libsodium cannot run or runs out of memory.
std::string hashPassword(const std::string& password);

// True when `password` matches `hash`. A hash that is not in the expected format never matches.
// At most as many verifications as there are processor cores run at once, since each one takes
// tens of megabytes for a tenth of a second.
bool verifyPassword(const std::string& hash, const std::string& password);

// A valid hash of no real password, to verify against when the operator ID is unknown, so that
// answering takes as long whether the ID exists or not.
const std::string& decoyHash();

}  // namespace tav::server
