// Argon2id hashing and verification with a bound on concurrent verifications.
#include "server/core/password.h"

#include <sodium.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace tav::server {
namespace {

void ensureSodium() {
  static const int rc = sodium_init();
  if (rc < 0) throw std::runtime_error("The password library could not start.");
}

// Counts running verifications; each holds MEMLIMIT_INTERACTIVE (64 MiB) while it runs.
class Gate {
 public:
  explicit Gate(unsigned limit) : free_(std::max(1u, limit)) {}
  void enter() {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [&] { return free_ > 0; });
    --free_;
  }
  void leave() {
    {
      std::lock_guard<std::mutex> lock(m_);
      ++free_;
    }
    cv_.notify_one();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  unsigned free_;
};

Gate& verificationGate() {
  static Gate gate(std::thread::hardware_concurrency());
  return gate;
}

}  // namespace

std::string hashPassword(const std::string& password) {
  ensureSodium();
  char out[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str_alg(out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                            crypto_pwhash_MEMLIMIT_INTERACTIVE, crypto_pwhash_ALG_ARGON2ID13) != 0)
    throw std::runtime_error("The password could not be hashed: out of memory.");
  return out;
}

bool verifyPassword(const std::string& hash, const std::string& password) {
  ensureSodium();
  if (hash.size() >= crypto_pwhash_STRBYTES) return false;
  char stored[crypto_pwhash_STRBYTES] = {};
  std::copy(hash.begin(), hash.end(), stored);
  Gate& gate = verificationGate();
  gate.enter();
  int rc = crypto_pwhash_str_verify(stored, password.data(), password.size());
  gate.leave();
  return rc == 0;
}

const std::string& decoyHash() {
  static const std::string hash = hashPassword("decoy password that no operator has");
  return hash;
}

}  // namespace tav::server
