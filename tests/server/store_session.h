// An operator's session made straight in the store, as a successful sign-in makes one: for tests
// and benchmarks whose stations must not spend a password check, nor a sign-in that the metrics
// or the per-source limit would count.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "server/core/sessions.h"
#include "server/core/store.h"

namespace tav::test {

// The new session's token.
inline std::string sessionOf(server::Store& store, const std::string& operatorId,
                             const std::string& source = "127.0.0.1") {
  std::string token;
  store.write([&](server::Transaction& tx) {
    const std::optional<server::Operator> op = tx.findOperator(operatorId);
    if (!op) throw std::runtime_error("There is no operator " + operatorId + " in the store.");
    std::int64_t id = 0;
    token = server::openSession(tx, *op, source, store.now(), id);
  });
  return token;
}

}  // namespace tav::test
