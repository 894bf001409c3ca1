// The offline list: what a registered station holds in memory to check tickets while the back-end
// is out of reach, in the compact binary form the back-end sends and the station decodes.
//
// Layout, little-endian throughout:
//   "TAVL"  magic, 4 bytes
//   1       version, 1 byte
//   u32     length of the header that follows
//   header  UTF-8 JSON object: {"bizCode","block","serverTimeMs","utcOffsetMinutes","hashKey","count"}
//   count records of kRecordBytes each, sorted by hash:
//     u32 hash   ticketHash(hashKey, ticket number)
//     u8  flags  bits 0-1 the block's index in wire::kBlocks, bit 2 cancelled, bit 3 inside;
//                the other bits are 0
//     u8  entry count, capped at 255
//     u32 last entry, seconds since 1970 UTC (0: none)
// A list of 60,000 tickets is 600,000 bytes and its header.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tav::offline {

inline constexpr std::string_view kListMagic = "TAVL";
inline constexpr std::uint8_t kListVersion = 1;
inline constexpr std::size_t kRecordBytes = 10;
// The block a list of every stand block is asked for and named by, as the station's block
// chooser shows it.
inline constexpr std::string_view kAllBlocks = "전체";
// The longest header a list may carry: a few short fields, so anything longer is not a list.
inline constexpr std::size_t kMaxHeaderBytes = 4096;
// An entry count is sent up to this; a ticket let in more often than that is shown as this.
inline constexpr std::int64_t kMaxEntryCount = 255;

// The event's key for ticketHash: 16 random bytes, made once per event and kept with it in the
// store, so that every server and every fetch of the event hashes alike.
using HashKey = std::array<std::uint8_t, 16>;

// The key in the 32 lowercase hex characters the store and the list's header keep it in.
std::string hashKeyHex(const HashKey& key);
// The key of 32 hex characters (either case); std::invalid_argument with one sentence otherwise.
HashKey hashKeyFromHex(std::string_view hex);

// The low 32 bits (the first four bytes, little-endian) of SipHash-2-4 (libsodium's
// crypto_shorthash) of the ticket number's bytes under the key. A 32-bit value matches many
// numbers of a large number space: a stolen list gives no random ticket number away, but neither
// can a station tell two tickets of one hash apart, so a lookup returns every match.
std::uint32_t ticketHash(const HashKey& key, std::string_view ticketNo);

// What the list says about itself.
struct ListHeader {
  std::string bizCode;
  std::string block;             // one of wire::kBlocks, or kAllBlocks
  std::int64_t serverTimeMs = 0;  // the server's clock when it read the tickets, ms since 1970 UTC
  std::int64_t utcOffsetMinutes = 0;  // the server's time zone then, east of UTC
  HashKey hashKey{};
  // The event's --offline-max-age: how long after its request a station may decide from this list.
  std::int64_t maxAgeMinutes = 30;
};

// One ticket's state as the list carries it: no number, no name, no seat.
struct ListRecord {
  std::uint32_t hash = 0;
  std::uint8_t block = 0;  // index in wire::kBlocks
  bool cancelled = false;
  bool inside = false;
  std::uint8_t entryCount = 0;        // capped at kMaxEntryCount
  std::uint32_t lastEntrySeconds = 0;  // since 1970 UTC; 0: never entered

  bool operator==(const ListRecord& o) const {
    return hash == o.hash && block == o.block && cancelled == o.cancelled && inside == o.inside &&
           entryCount == o.entryCount && lastEntrySeconds == o.lastEntrySeconds;
  }
};

// A decoded list: its records sorted by hash.
struct TicketList {
  ListHeader header;
  std::vector<ListRecord> records;
};

// The record of a ticket's state: its entry count capped at kMaxEntryCount, its last entry (ms
// since 1970 UTC, none: 0 or below) in whole seconds, capped at the largest u32.
ListRecord listRecord(std::uint32_t hash, std::size_t block, bool cancelled, bool inside, std::int64_t entryCount,
                      std::int64_t lastEntryMs);

// The list's bytes, its records sorted by hash (ties in the order given). Throws
// std::invalid_argument with one sentence for a block that is neither one of wire::kBlocks nor
// kAllBlocks, a record whose block is not the list's, or a record block outside wire::kBlocks.
std::string encodeList(const ListHeader& header, std::vector<ListRecord> records);

// The list the bytes hold. Throws std::invalid_argument with one sentence on anything malformed:
// a bad magic or version, a header whose length or JSON is wrong or misses a field, a count that
// does not match the bytes after the header, a record with unknown flag bits or a block that is
// not the list's, records out of hash order.
TicketList decodeList(std::string_view bytes);

// Every record of the list whose hash is the ticket number's, by binary search: none when the
// ticket is not in the list, several when tickets share the hash.
std::vector<ListRecord> findTicket(const TicketList& list, std::string_view ticketNo);

}  // namespace tav::offline
