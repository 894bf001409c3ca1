// The mark that tells a TAV store file from any other SQLite file.
#pragma once

#include <cstdint>

namespace tav::server {

// PRAGMA application_id of our store files ("TAVS"): anything else is not ours.
inline constexpr std::uint32_t kSqliteApplicationId = 0x54415653;

}  // namespace tav::server
