// The demo venue's tickets, generated from their index, so that tools can name valid tickets
// without reading the store.
#pragma once

#include <cstddef>
#include <string>

namespace tav::server {

// The demo venue and event loadDemo() creates.
inline constexpr const char* kDemoPlaceCode = "DEMO01";
inline constexpr const char* kDemoTheaterName = "잠실종합운동장";
inline constexpr const char* kDemoBizCode = "DEMO2026";
inline constexpr const char* kDemoGoodsName = "2026 개막전";  // short enough for the check screen's title line
inline constexpr const char* kDemoPlayDate = "202604041400";

// Ticket number of the demo ticket with this index (0-based), e.g. "T00000000001".
std::string demoTicketNumber(std::size_t index);

// The block (one of kBlocks, in turn) of the demo ticket with this index.
const std::string& demoTicketBlock(std::size_t index);

// True for the one ticket in 200 that the demo marks as cancelled.
bool demoTicketCancelled(std::size_t index);

}  // namespace tav::server
