// The one error type of the station's back-end calls.
#pragma once

#include <stdexcept>
#include <string>

namespace tav::backend {

// Every failure of a back-end call: no server, time-out, non-200, bad JSON, missing field, null as text.
class BackendError : public std::runtime_error {
 public:
  // What a window tells the operator depends on the kind, never on the sentence.
  enum class Kind {
    NoAnswer,   // no connection, a connection reset, a time-out, or 502/503: the back-end is out of reach
    Untrusted,  // the back-end's certificate cannot be checked or is not trusted
    Other,      // anything else: a refusal, an answer that is not a recordset, a bad address
  };
  explicit BackendError(const std::string& what, Kind kind = Kind::Other)
      : std::runtime_error(what), kind_(kind) {}
  Kind kind() const noexcept { return kind_; }

 private:
  Kind kind_;
};

}  // namespace tav::backend
