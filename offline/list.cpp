// The offline list's binary codec and the keyed hash of ticket numbers it is searched by.
#include "offline/list.h"

#include <sodium.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <limits>
#include <optional>
#include <stdexcept>

#include "wire/stands.h"

namespace tav::offline {
namespace {

using nlohmann::json;

static_assert(crypto_shorthash_KEYBYTES == std::tuple_size_v<HashKey>, "the key is SipHash-2-4's");

constexpr std::size_t kPrefixBytes = 4 + 1 + 4;  // magic, version, header length
constexpr std::uint8_t kBlockBits = 0x03, kCancelledBit = 0x04, kInsideBit = 0x08;
// utcOffsetMinutes: no zone is a day or more away from UTC.
constexpr std::int64_t kMaxOffsetMinutes = 24 * 60 - 1;

[[noreturn]] void malformed(const std::string& why) { throw std::invalid_argument("The offline list " + why + "."); }

void putU32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

std::uint32_t getU32(std::string_view bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
  return v;
}

// The list's block as a name: one of the blocks, or every block.
bool knownListBlock(std::string_view block) { return block == kAllBlocks || wire::blockIndex(block).has_value(); }

// Whether a record of block index `block` belongs in a list of `listBlock`.
bool belongs(std::uint8_t block, std::string_view listBlock) {
  if (block >= wire::kBlocks.size()) return false;
  return listBlock == kAllBlocks || wire::kBlocks[block] == listBlock;
}

// The header's field `name` of the JSON type `is`; a malformed list without it.
const json& field(const json& header, const char* name, bool (json::*is)() const noexcept) {
  const auto it = header.find(name);
  if (it == header.end() || !((*it).*is)()) malformed(std::string("header's \"") + name + "\" is missing or of the wrong type");
  return *it;
}

}  // namespace

std::string hashKeyHex(const HashKey& key) {
  static const char* const kDigits = "0123456789abcdef";
  std::string hex;
  for (std::uint8_t b : key) {
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 0x0f]);
  }
  return hex;
}

HashKey hashKeyFromHex(std::string_view hex) {
  const auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  HashKey key{};
  if (hex.size() != 2 * key.size())
    throw std::invalid_argument("A list's hash key is 32 hex characters, not " + std::to_string(hex.size()) + ".");
  for (std::size_t i = 0; i < key.size(); ++i) {
    const int hi = digit(hex[2 * i]), lo = digit(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) throw std::invalid_argument("A list's hash key holds a character that is no hex digit.");
    key[i] = static_cast<std::uint8_t>(hi * 16 + lo);
  }
  return key;
}

std::uint32_t ticketHash(const HashKey& key, std::string_view ticketNo) {
  static const bool ready = sodium_init() >= 0;
  if (!ready) throw std::runtime_error("The cryptography library cannot be started.");
  unsigned char out[crypto_shorthash_BYTES];
  crypto_shorthash(out, reinterpret_cast<const unsigned char*>(ticketNo.data()), ticketNo.size(), key.data());
  return getU32(std::string_view(reinterpret_cast<const char*>(out), sizeof out), 0);
}

ListRecord listRecord(std::uint32_t hash, std::size_t block, bool cancelled, bool inside, std::int64_t entryCount,
                      std::int64_t lastEntryMs) {
  ListRecord r;
  r.hash = hash;
  r.block = static_cast<std::uint8_t>(block);
  r.cancelled = cancelled;
  r.inside = inside;
  r.entryCount = static_cast<std::uint8_t>(std::clamp<std::int64_t>(entryCount, 0, kMaxEntryCount));
  const std::int64_t seconds = lastEntryMs > 0 ? lastEntryMs / 1000 : 0;
  r.lastEntrySeconds = static_cast<std::uint32_t>(
      std::min<std::int64_t>(seconds, std::numeric_limits<std::uint32_t>::max()));
  return r;
}

std::string encodeList(const ListHeader& header, std::vector<ListRecord> records) {
  if (!knownListBlock(header.block))
    throw std::invalid_argument("An offline list is of one stand block or of " + std::string(kAllBlocks) + ", not \"" +
                                header.block + "\".");
  for (const ListRecord& r : records)
    if (!belongs(r.block, header.block))
      throw std::invalid_argument("An offline list of " + header.block + " cannot hold a ticket of another block.");
  std::stable_sort(records.begin(), records.end(),
                   [](const ListRecord& a, const ListRecord& b) { return a.hash < b.hash; });
  const std::string head = json{{"bizCode", header.bizCode},
                                {"block", header.block},
                                {"serverTimeMs", header.serverTimeMs},
                                {"utcOffsetMinutes", header.utcOffsetMinutes},
                                {"hashKey", hashKeyHex(header.hashKey)},
                                {"maxAgeMinutes", header.maxAgeMinutes},
                                {"count", records.size()}}
                               .dump();
  std::string out;
  out.reserve(kPrefixBytes + head.size() + records.size() * kRecordBytes);
  out += kListMagic;
  out.push_back(static_cast<char>(kListVersion));
  putU32(out, static_cast<std::uint32_t>(head.size()));
  out += head;
  for (const ListRecord& r : records) {
    putU32(out, r.hash);
    out.push_back(static_cast<char>(r.block | (r.cancelled ? kCancelledBit : 0) | (r.inside ? kInsideBit : 0)));
    out.push_back(static_cast<char>(r.entryCount));
    putU32(out, r.lastEntrySeconds);
  }
  return out;
}

TicketList decodeList(std::string_view bytes) {
  if (bytes.size() < kPrefixBytes) malformed("is shorter than its fixed start");
  if (bytes.substr(0, kListMagic.size()) != kListMagic) malformed("does not start with TAVL");
  if (static_cast<std::uint8_t>(bytes[4]) != kListVersion)
    malformed("is of version " + std::to_string(static_cast<unsigned char>(bytes[4])) + ", not " +
              std::to_string(kListVersion));
  const std::size_t headBytes = getU32(bytes, 5);
  if (headBytes > kMaxHeaderBytes || headBytes > bytes.size() - kPrefixBytes)
    malformed("names a header longer than " +
              std::string(headBytes > kMaxHeaderBytes ? "a list's header may be" : "the bytes after it"));
  const json head = json::parse(bytes.substr(kPrefixBytes, headBytes), nullptr, false);
  if (!head.is_object()) malformed("header is not a JSON object");

  TicketList list;
  ListHeader& h = list.header;
  h.bizCode = field(head, "bizCode", &json::is_string).get<std::string>();
  h.block = field(head, "block", &json::is_string).get<std::string>();
  if (h.bizCode.empty()) malformed("header names no event");
  if (!knownListBlock(h.block)) malformed("header names \"" + h.block + "\", which is no stand block");
  h.serverTimeMs = field(head, "serverTimeMs", &json::is_number_integer).get<std::int64_t>();
  h.utcOffsetMinutes = field(head, "utcOffsetMinutes", &json::is_number_integer).get<std::int64_t>();
  if (h.utcOffsetMinutes < -kMaxOffsetMinutes || h.utcOffsetMinutes > kMaxOffsetMinutes)
    malformed("header's UTC offset is a day or more");
  try {
    h.hashKey = hashKeyFromHex(field(head, "hashKey", &json::is_string).get_ref<const std::string&>());
  } catch (const std::invalid_argument&) {
    malformed("header's hash key is not 32 hex characters");
  }
  h.maxAgeMinutes = field(head, "maxAgeMinutes", &json::is_number_integer).get<std::int64_t>();
  if (h.maxAgeMinutes < 1) malformed("header's max age is not a positive number of minutes");
  const json& count = field(head, "count", &json::is_number_integer);
  const std::size_t recordBytes = bytes.size() - kPrefixBytes - headBytes;
  if (count.get<std::int64_t>() < 0 || recordBytes % kRecordBytes != 0 ||
      static_cast<std::uint64_t>(count.get<std::int64_t>()) != recordBytes / kRecordBytes)
    malformed("header's count does not match the " + std::to_string(recordBytes) + " bytes of records after it");

  list.records.reserve(recordBytes / kRecordBytes);
  for (std::size_t at = kPrefixBytes + headBytes; at < bytes.size(); at += kRecordBytes) {
    const auto flags = static_cast<std::uint8_t>(bytes[at + 4]);
    if (flags & ~(kBlockBits | kCancelledBit | kInsideBit)) malformed("holds a record with unknown flags");
    ListRecord r;
    r.hash = getU32(bytes, at);
    r.block = flags & kBlockBits;
    r.cancelled = (flags & kCancelledBit) != 0;
    r.inside = (flags & kInsideBit) != 0;
    r.entryCount = static_cast<std::uint8_t>(bytes[at + 5]);
    r.lastEntrySeconds = getU32(bytes, at + 6);
    if (!belongs(r.block, h.block)) malformed("of " + h.block + " holds a ticket of another block");
    if (!list.records.empty() && r.hash < list.records.back().hash) malformed("holds records out of hash order");
    list.records.push_back(r);
  }
  return list;
}

std::vector<ListRecord> findTicket(const TicketList& list, std::string_view ticketNo) {
  const std::uint32_t hash = ticketHash(list.header.hashKey, ticketNo);
  struct ByHash {
    bool operator()(const ListRecord& r, std::uint32_t h) const { return r.hash < h; }
    bool operator()(std::uint32_t h, const ListRecord& r) const { return h < r.hash; }
  };
  const auto [first, last] = std::equal_range(list.records.begin(), list.records.end(), hash, ByHash{});
  return {first, last};
}

}  // namespace tav::offline
