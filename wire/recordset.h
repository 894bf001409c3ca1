// The recordset as it travels between the back-end and the station: one JSON codec for both sides.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tav::wire {

// A field value: null, text, or a whole number (sent as a JSON number).
using Value = std::variant<std::monostate, std::string, std::int64_t>;

struct Recordset {
  std::vector<std::string> fields;
  std::vector<std::vector<Value>> rows;  // every row has one value per field
};

// Raised when a body is not the recordset form; the message is one sentence for the reader.
class WireError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// {"fields":[...],"rows":[[...],...]} in UTF-8.
std::string encode(const Recordset& rs);

// The inverse of encode(). Throws WireError on anything else: not JSON, missing "fields" or
// "rows", a field name that is not a string, a row of the wrong length, a value that is not a
// string, an integer or null.
Recordset decode(std::string_view body);

// {"error":"<sentence>"}: the body of every answer that is not 200.
std::string encodeError(std::string_view sentence);

// The sentence of an error body, or "" when the body is not one.
std::string decodeError(std::string_view body);

}  // namespace tav::wire
