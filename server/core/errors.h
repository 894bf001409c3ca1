// The back-end's error types: each carries one sentence for the person who reads it.
#pragma once

#include <stdexcept>

namespace tav::server {

// A command text that the grammar, the procedure catalogue or the argument count rejects (HTTP 400).
class BadCommand : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The store could not answer: I/O error, busy, lost connection (HTTP 503). Nothing was written.
class StoreUnavailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A write whose commit may have reached the disk or not (the disk refused the log flush): the
// caller must not be told that nothing was kept (HTTP 503 with this sentence).
class OutcomeUnknown : public std::runtime_error {
 public:
  OutcomeUnknown()
      : std::runtime_error("the outcome is unknown: check the ticket again once the server is back") {}
};

// A request that needs a signed-in operator's session and came without a live one of the right
// venue (HTTP 401). Nothing was read for it.
class NotSignedIn : public std::runtime_error {
 public:
  NotSignedIn() : std::runtime_error("Sign in as an operator of this venue first.") {}
};

// A ticket check whose idempotency key an earlier request used with another command text or
// another operator (HTTP 422). Nothing was written for it.
class KeyMismatch : public std::runtime_error {
 public:
  KeyMismatch()
      : std::runtime_error("This Idempotency-Key was used for another check; make a new key for each scan.") {}
};

// The store file cannot be used: not ours, from a newer schema, unreadable. Raised at open.
class StoreRejected : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A setup request that cannot be carried out; the message is one sentence (for a CSV row,
// "file:line: reason"). Nothing was changed.
class SetupError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An action that the ticket's state no longer allows: the entry is no longer its last, or too old,
// or another supervisor was first (HTTP 409). Nothing was written.
class ActionRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace tav::server
