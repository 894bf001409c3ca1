// The demo venue: realistic Korean names, seat grades and seats, spread over the four blocks.
#include "server/core/demo_data.h"

#include <array>
#include <cstdint>
#include <cstdio>

#include "server/core/password.h"
#include "server/core/setup.h"
#include "server/core/store.h"

namespace tav::server {
namespace {

constexpr std::size_t kCancelledEvery = 200;  // 0.5 % of the tickets
constexpr std::size_t kSeatsPerRow = 40;
constexpr std::size_t kRowsPerFloor = 30;
constexpr std::size_t kFloors = 3;
constexpr std::size_t kShownPerKind = 5;

// Surnames weighted roughly by how common they are.
constexpr std::array<const char*, 24> kSurnames{
    "김", "김", "김", "이", "이", "박", "박", "최", "정", "강", "조", "윤",
    "장", "임", "한", "오", "서", "신", "권", "황", "안", "송", "류", "홍"};
constexpr std::array<const char*, 40> kGivenNames{
    "민준", "서연", "도윤", "지우", "하준", "서윤", "시우", "하은", "주원", "지민",
    "예준", "수아", "지호", "지유", "현우", "채원", "준서", "다은", "건우", "윤서",
    "우진", "민서", "선우", "예린", "연우", "수빈", "유준", "지아", "정우", "소율",
    "승현", "예은", "지훈", "가윤", "동현", "은서", "성민", "하린", "영호", "미경"};

// splitmix64: a fixed, well-mixed sequence, so the demo store is the same on every machine.
std::uint64_t mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

Ticket demoTicket(std::size_t index) {
  Ticket t;
  t.bizCode = kDemoBizCode;
  t.ticketNo = demoTicketNumber(index);
  const std::uint64_t r = mix(index);
  t.custName = std::string(kSurnames[r % kSurnames.size()]) +
               kGivenNames[(r >> 16) % kGivenNames.size()];
  t.goodsName = kDemoGoodsName;
  t.playDate = kDemoPlayDate;
  t.placeName = kDemoTheaterName;
  t.block = demoTicketBlock(index);

  const std::size_t k = index / kBlocks.size();
  const std::size_t seat = k % kSeatsPerRow + 1;
  const std::size_t row = (k / kSeatsPerRow) % kRowsPerFloor + 1;
  const std::size_t floor = (k / (kSeatsPerRow * kRowsPerFloor)) % kFloors + 1;
  t.seatGradeName = floor == 1 ? (row <= 5 ? "VIP석" : "R석") : floor == 2 ? "S석" : "A석";
  t.seatInfo = t.block + " " + std::to_string(floor) + "층 " + std::to_string(row) + "열 " +
               std::to_string(seat) + "번";
  t.cancelled = demoTicketCancelled(index);
  return t;
}

}  // namespace

std::string demoTicketNumber(std::size_t index) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "T%011zu", index + 1);
  return buf;
}

const std::string& demoTicketBlock(std::size_t index) { return kBlocks[index % kBlocks.size()]; }

bool demoTicketCancelled(std::size_t index) { return index % kCancelledEvery == kCancelledEvery / 2; }

DemoInfo loadDemo(Store& store, std::size_t tickets) {
  DemoInfo info;
  info.placeCode = kDemoPlaceCode;
  info.theaterName = kDemoTheaterName;
  info.bizCode = kDemoBizCode;
  info.goodsName = kDemoGoodsName;
  info.operators = {{"admin", "tav1234!"}, {"gate01", "gate5678!"}};

  std::vector<Operator> operators;
  // "admin" may also open the live dashboard; "gate01" only checks tickets.
  for (const auto& [id, password] : info.operators)
    operators.push_back(Operator{id, hashPassword(password), kDemoPlaceCode, true,
                                 id == "admin" ? OperatorRole::Admin : OperatorRole::Gate});

  store.write([&](Transaction& tx) {
    if (tx.findVenue(kDemoPlaceCode))
      throw SetupError(std::string("The venue ") + kDemoPlaceCode + " already exists.");
    if (tx.findEvent(kDemoBizCode))
      throw SetupError(std::string("The event ") + kDemoBizCode + " already exists.");
    for (const auto& op : operators)
      if (tx.findOperator(op.id)) throw SetupError("The operator " + op.id + " already exists.");
    tx.insertVenue(Venue{kDemoPlaceCode, kDemoTheaterName});
    // The demo shows offline checking too: its registered stations may fetch the list.
    Event event;
    event.bizCode = kDemoBizCode;
    event.placeCode = kDemoPlaceCode;
    event.goodsName = kDemoGoodsName;
    event.playDate = kDemoPlayDate;
    event.active = true;
    event.offline = true;
    tx.insertEvent(event);
    for (const auto& op : operators) tx.insertOperator(op);
    for (std::size_t i = 0; i < tickets; ++i) tx.insertTicket(demoTicket(i));
  });

  for (std::size_t i = 0; i < tickets; ++i) {
    if (demoTicketCancelled(i)) {
      if (info.cancelled.size() < kShownPerKind) info.cancelled.push_back(demoTicketNumber(i));
    } else {
      auto& shown = info.validByBlock[demoTicketBlock(i)];
      if (shown.size() < kShownPerKind) shown.push_back(demoTicketNumber(i));
    }
    bool complete = info.cancelled.size() >= kShownPerKind;
    for (const auto& b : kBlocks) complete = complete && info.validByBlock[b].size() >= kShownPerKind;
    if (complete) break;
  }
  return info;
}

}  // namespace tav::server
