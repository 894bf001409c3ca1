// The stadium's four stand blocks, named alike by tickets, block filters, the statistics and the
// station's windows: written once here for both sides.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tav::wire {

// The four stand blocks, in the order every per-block figure is kept and shown.
inline const std::array<std::string, 4> kBlocks{"E석", "N석", "S석", "W석"};

// The block's index in kBlocks; none for a name that is no block's.
inline std::optional<std::size_t> blockIndex(std::string_view block) {
  for (std::size_t i = 0; i < kBlocks.size(); ++i)
    if (kBlocks[i] == block) return i;
  return std::nullopt;
}

}  // namespace tav::wire
