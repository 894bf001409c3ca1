// Idempotency keys for ticket checks and the memory of the checks that stayed unanswered.
#include "backend/idempotency.h"

#include <openssl/rand.h>

#include <QByteArray>
#include <algorithm>

#include "backend/errors.h"

namespace tav::backend {

namespace {
constexpr int kKeyBytes = 16;
}

std::string newIdempotencyKey() {
  QByteArray bytes(kKeyBytes, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), kKeyBytes) != 1)
    throw BackendError("The station cannot make a random key for the ticket check.");
  return bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals).toStdString();
}

std::string UnansweredChecks::keyFor(const std::string& command, Clock::time_point now) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dropExpired(now);
    for (const Entry& e : entries_)
      if (e.command == command) return e.key;
  }
  return newIdempotencyKey();
}

void UnansweredChecks::remember(const std::string& command, const std::string& key, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  dropExpired(now);
  dropCommand(command);
  if (entries_.size() >= kCapacity) entries_.erase(entries_.begin());
  entries_.push_back({command, key, now});
}

void UnansweredChecks::forget(const std::string& command) {
  std::lock_guard<std::mutex> lock(mutex_);
  dropCommand(command);
}

std::size_t UnansweredChecks::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

void UnansweredChecks::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.clear();
}

void UnansweredChecks::dropExpired(Clock::time_point now) {
  // Entries are kept in the order they were remembered, so the expired ones lead.
  const auto fresh = std::find_if(entries_.begin(), entries_.end(),
                                  [&](const Entry& e) { return now - e.since < kKeptFor; });
  entries_.erase(entries_.begin(), fresh);
}

void UnansweredChecks::dropCommand(const std::string& command) {
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                [&](const Entry& e) { return e.command == command; }),
                 entries_.end());
}

UnansweredChecks& unansweredChecks() {
  static UnansweredChecks memory;
  return memory;
}

}  // namespace tav::backend
