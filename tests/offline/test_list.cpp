// The offline list's codec: SipHash-2-4's reference answers, a list of every kind of record and
// of shared hashes decoded and searched, its size at 60,000 tickets, and every malformed list
// refused with its one sentence.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "offline/list.h"
#include "wire/stands.h"

namespace tav::offline {
namespace {

using nlohmann::json;

const HashKey kKey = hashKeyFromHex("000102030405060708090a0b0c0d0e0f");

ListHeader headerOf(const std::string& block) {
  ListHeader h;
  h.bizCode = "BIZ1";
  h.block = block;
  h.serverTimeMs = 1775282400123;
  h.utcOffsetMinutes = 540;
  h.hashKey = kKey;
  h.maxAgeMinutes = 45;
  return h;
}

// The key of SipHash's reference vectors (00 01 .. 0f): the empty message gives
// 31 0e 0e dd 47 db 6f 72, the one byte 00 gives fd 67 dc 93 c5 39 f8 74.
TEST(OfflineList, HashIsTheLowHalfOfSipHash24) {
  EXPECT_EQ(ticketHash(kKey, std::string_view()), 0xdd0e0e31u);
  EXPECT_EQ(ticketHash(kKey, std::string(1, '\0')), 0x93dc67fdu);
  EXPECT_EQ(hashKeyHex(kKey), "000102030405060708090a0b0c0d0e0f");
  EXPECT_EQ(hashKeyFromHex("000102030405060708090A0B0C0D0E0F"), kKey);
  for (const char* bad : {"", "0001", "000102030405060708090a0b0c0d0e0g", "000102030405060708090a0b0c0d0e0f00"})
    EXPECT_THROW(hashKeyFromHex(bad), std::invalid_argument) << bad;
}

TEST(OfflineList, DecodesWhatItEncodesAndFindsEveryTicketOfAHash) {
  const std::uint32_t t1 = ticketHash(kKey, "T1"), t2 = ticketHash(kKey, "T2");
  std::vector<ListRecord> records{
      listRecord(t1, 0, false, true, 1, 1775282400999),  // inside since a moment (whole seconds kept)
      listRecord(t2, 1, true, false, 0, 0),              // cancelled, never in
      listRecord(t2, 3, false, false, 300, -5),          // shares T2's hash; count capped, no entry
      listRecord(5, 2, false, false, 2, 1775282000000),
  };
  const std::string bytes = encodeList(headerOf(std::string(kAllBlocks)), records);
  EXPECT_EQ(bytes.substr(0, 5), std::string("TAVL\x01"));

  const TicketList list = decodeList(bytes);
  EXPECT_EQ(list.header.bizCode, "BIZ1");
  EXPECT_EQ(list.header.block, kAllBlocks);
  EXPECT_EQ(list.header.serverTimeMs, 1775282400123);
  EXPECT_EQ(list.header.utcOffsetMinutes, 540);
  EXPECT_EQ(list.header.hashKey, kKey);
  EXPECT_EQ(list.header.maxAgeMinutes, 45);
  ASSERT_EQ(list.records.size(), 4u);
  for (std::size_t i = 1; i < list.records.size(); ++i) EXPECT_LE(list.records[i - 1].hash, list.records[i].hash);

  const std::vector<ListRecord> one = findTicket(list, "T1");
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0], records[0]);
  EXPECT_TRUE(one[0].inside);
  EXPECT_EQ(one[0].lastEntrySeconds, 1775282400u);
  const std::vector<ListRecord> two = findTicket(list, "T2");
  ASSERT_EQ(two.size(), 2u) << "tickets that share a hash are all returned";
  EXPECT_EQ(two[0], records[1]);  // ties keep the order they were given in
  EXPECT_EQ(two[1], records[2]);
  EXPECT_EQ(two[1].entryCount, 255);
  EXPECT_EQ(two[1].lastEntrySeconds, 0u);
  EXPECT_TRUE(findTicket(list, "T3").empty());

  EXPECT_THROW(encodeList(headerOf("Z석"), {}), std::invalid_argument);
  EXPECT_THROW(encodeList(headerOf(wire::kBlocks[0]), records), std::invalid_argument)
      << "a list of one block holds that block's tickets only";
}

TEST(OfflineList, SixtyThousandTicketsTakeTenBytesEach) {
  std::vector<ListRecord> records;
  for (int i = 0; i < 60000; ++i)
    records.push_back(listRecord(ticketHash(kKey, "T" + std::to_string(i)), static_cast<std::size_t>(i % 4), false,
                                 false, 0, 0));
  const std::string bytes = encodeList(headerOf(std::string(kAllBlocks)), records);
  const std::size_t header = bytes.size() - 60000 * kRecordBytes;
  EXPECT_LT(header, 200u);
  EXPECT_EQ(decodeList(bytes).records.size(), 60000u);
  EXPECT_EQ(findTicket(decodeList(bytes), "T59999").size(), 1u);
}

// A list put together by hand: the prefix, the header as given and the records' bytes.
std::string rawList(const std::string& head, const std::string& records, const std::string& magic = "TAVL",
                    char version = 1) {
  std::string out = magic;
  out.push_back(version);
  const auto n = static_cast<std::uint32_t>(head.size());
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((n >> (8 * i)) & 0xff));
  return out + head + records;
}

json goodHead(std::size_t count, const std::string& block = "E석") {
  return json{{"bizCode", "BIZ1"}, {"block", block}, {"serverTimeMs", 1}, {"utcOffsetMinutes", 540},
              {"hashKey", hashKeyHex(kKey)}, {"maxAgeMinutes", 30}, {"count", count}};
}

// One record: hash, flags, entry count, last entry.
std::string record(std::uint32_t hash, std::uint8_t flags) {
  std::string r;
  for (int i = 0; i < 4; ++i) r.push_back(static_cast<char>((hash >> (8 * i)) & 0xff));
  r.push_back(static_cast<char>(flags));
  r.push_back(1);
  r += std::string(4, '\0');
  return r;
}

json without(json head, const char* name) {
  head.erase(name);
  return head;
}

json with(json head, const char* name, json value) {
  head[name] = std::move(value);
  return head;
}

struct Malformed {
  const char* name;
  std::string bytes;
  const char* says;  // a part of the sentence
};

class MalformedList : public ::testing::TestWithParam<Malformed> {};

TEST_P(MalformedList, IsRefusedWithOneSentence) {
  try {
    decodeList(GetParam().bytes);
    FAIL() << "decoded";
  } catch (const std::invalid_argument& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find(GetParam().says), std::string::npos) << what;
    EXPECT_EQ(what.back(), '.') << what;
  }
}

const std::string kTwo = record(7, 0) + record(9, 0x04 | 0x08);

INSTANTIATE_TEST_SUITE_P(
    OfflineList, MalformedList,
    ::testing::Values(
        Malformed{"Empty", "", "shorter than its fixed start"},
        Malformed{"CutInItsStart", "TAVL\x01\x02", "shorter than its fixed start"},
        Malformed{"BadMagic", rawList(goodHead(2).dump(), kTwo, "TAVX"), "does not start with TAVL"},
        Malformed{"LaterVersion", rawList(goodHead(2).dump(), kTwo, "TAVL", 2), "version 2"},
        Malformed{"HeaderLongerThanTheBytes", rawList(goodHead(2).dump(), kTwo).substr(0, 30), "header longer"},
        Malformed{"HeaderOverItsLimit", rawList(std::string(kMaxHeaderBytes + 1, ' '), ""), "header longer"},
        Malformed{"HeaderNotJson", rawList("{\"bizCode\":", kTwo), "not a JSON object"},
        Malformed{"HeaderAnArray", rawList("[]", ""), "not a JSON object"},
        Malformed{"NoEvent", rawList(without(goodHead(2), "bizCode").dump(), kTwo), "\"bizCode\" is missing"},
        Malformed{"EmptyEvent", rawList(with(goodHead(2), "bizCode", "").dump(), kTwo), "names no event"},
        Malformed{"UnknownBlock", rawList(goodHead(2, "Z석").dump(), kTwo), "no stand block"},
        Malformed{"TimeAsText", rawList(with(goodHead(2), "serverTimeMs", "1").dump(), kTwo), "\"serverTimeMs\""},
        Malformed{"OffsetOfADay", rawList(with(goodHead(2), "utcOffsetMinutes", 1440).dump(), kTwo), "UTC offset"},
        Malformed{"ShortKey", rawList(with(goodHead(2), "hashKey", "0001").dump(), kTwo), "hash key"},
        Malformed{"NoMaxAge", rawList(with(goodHead(2), "maxAgeMinutes", 0).dump(), kTwo), "max age"},
        Malformed{"NoCount", rawList(without(goodHead(2), "count").dump(), kTwo), "\"count\" is missing"},
        Malformed{"CountAboveTheRecords", rawList(goodHead(3).dump(), kTwo), "count does not match"},
        Malformed{"NegativeCount", rawList(with(goodHead(2), "count", -2).dump(), kTwo), "count does not match"},
        Malformed{"PartOfARecordAfterThem", rawList(goodHead(2).dump(), kTwo + "\x01\x02\x03"), "count does not match"},
        Malformed{"UnknownFlag", rawList(goodHead(2).dump(), record(7, 0x10) + record(9, 0)), "unknown flags"},
        Malformed{"RecordOfAnotherBlock", rawList(goodHead(2).dump(), record(7, 0) + record(9, 0x03)), "another block"},
        Malformed{"OutOfHashOrder", rawList(goodHead(2).dump(), record(9, 0) + record(7, 0)), "out of hash order"}),
    [](const ::testing::TestParamInfo<Malformed>& row) { return std::string(row.param.name); });

TEST(OfflineList, AWellMadeListByHandDecodes) {
  const TicketList list = decodeList(rawList(goodHead(2).dump(), kTwo));
  ASSERT_EQ(list.records.size(), 2u);
  EXPECT_TRUE(list.records[1].cancelled);
  EXPECT_TRUE(list.records[1].inside);
  EXPECT_EQ(list.records[1].entryCount, 1);
}

}  // namespace
}  // namespace tav::offline
