// JSON form of the recordset, built on nlohmann-json.
#include "wire/recordset.h"

#include <nlohmann/json.hpp>

namespace tav::wire {

using nlohmann::json;

std::string encode(const Recordset& rs) {
  json rows = json::array();
  for (const auto& row : rs.rows) {
    json r = json::array();
    for (const auto& v : row) {
      if (const auto* s = std::get_if<std::string>(&v)) {
        r.push_back(*s);
      } else if (const auto* n = std::get_if<std::int64_t>(&v)) {
        r.push_back(*n);
      } else {
        r.push_back(nullptr);
      }
    }
    rows.push_back(std::move(r));
  }
  // Replace rather than throw: a stored text with a broken byte must not take the answer down.
  return json{{"fields", rs.fields}, {"rows", std::move(rows)}}.dump(-1, ' ', false,
                                                                     json::error_handler_t::replace);
}

Recordset decode(std::string_view body) {
  json j = json::parse(body, nullptr, false);
  if (j.is_discarded() || !j.is_object()) throw WireError("The answer is not a JSON object.");
  auto f = j.find("fields");
  auto r = j.find("rows");
  if (f == j.end() || !f->is_array() || r == j.end() || !r->is_array())
    throw WireError("The answer has no \"fields\" and \"rows\" arrays.");
  Recordset rs;
  for (const auto& name : *f) {
    if (!name.is_string()) throw WireError("A field name in the answer is not a string.");
    rs.fields.push_back(name.get<std::string>());
  }
  for (const auto& row : *r) {
    if (!row.is_array() || row.size() != rs.fields.size())
      throw WireError("A row of the answer does not have one value per field.");
    std::vector<Value> values;
    values.reserve(row.size());
    for (const auto& v : row) {
      if (v.is_string()) {
        values.emplace_back(v.get<std::string>());
      } else if (v.is_number_integer()) {
        values.emplace_back(v.get<std::int64_t>());
      } else if (v.is_null()) {
        values.emplace_back(std::monostate{});
      } else {
        throw WireError("A value in the answer is not a string, an integer or null.");
      }
    }
    rs.rows.push_back(std::move(values));
  }
  return rs;
}

std::string encodeError(std::string_view sentence) {
  return json{{"error", std::string(sentence)}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string decodeError(std::string_view body) {
  json j = json::parse(body, nullptr, false);
  if (j.is_object()) {
    auto e = j.find("error");
    if (e != j.end() && e->is_string()) return e->get<std::string>();
  }
  return {};
}

}  // namespace tav::wire
