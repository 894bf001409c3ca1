// Sign-in, ticket check and statistics: the decisions of the business object.
#include "server/core/procedures.h"

#include <array>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>

#include "server/core/password.h"
#include "wire/protocol.h"

namespace tav::server {
namespace {

using wire::Recordset;
using wire::Value;

using namespace wire;  // the protocol's names

const std::vector<std::string> kLoginFields{std::string(kFieldErrCode), std::string(kFieldErrMsg),
                                            std::string(kFieldBizCode), std::string(kFieldTheaterName),
                                            std::string(kFieldGoodsName)};
const std::vector<std::string> kBookingFields{
    std::string(kFieldErrCode),   std::string(kFieldErrMsg),        std::string(kFieldCustName),
    std::string(kFieldTicketNo),  std::string(kFieldGoodsName),     std::string(kFieldPlayDate),
    std::string(kFieldPlaceName), std::string(kFieldSeatGradeName), std::string(kFieldSeatInfo)};

const std::string kOk(kCodeOk);
const std::string kRefused(kCodeRefused);
const std::string kAlready(kCodeAlready);
const std::string kReentry(kCodeReentry);

const std::string kMsgLoginOk = "로그인 확인";
const std::string kMsgLoginRefused = "아이디 또는 비밀번호가 올바르지 않습니다";
const std::string kMsgLoginLocked = "로그인 실패가 많아 10분 동안 로그인할 수 없습니다";
const std::string kMsgNoEvent = "진행 중인 이벤트가 없습니다";
const std::string kMsgUnknownPlace = "등록되지 않은 장소입니다";

const std::string kMsgBadRequest = "잘못된 요청입니다";
const std::string kMsgUnknownOperator = "등록되지 않은 운영자입니다";
const std::string kMsgUnknownTicket = "등록되지 않은 티켓입니다";
const std::string kMsgCancelled = "취소된 티켓입니다";
const std::string kMsgWrongBlock = "입장 구역이 아닙니다";
const std::string kMsgAlreadyInside = "이미 입장한 티켓입니다";
const std::string kMsgAdmitted = "입장 확인";
const std::string kMsgReadmitted = "재입장 확인";
const std::string kMsgNotInside = "입장 기록이 없는 티켓입니다";
const std::string kMsgLeft = "퇴장 확인";

Recordset loginRow(const std::string& code, const std::string& message, const Event* event,
                   const Venue* venue) {
  Recordset rs;
  rs.fields = kLoginFields;
  rs.rows.push_back({code, message, event ? event->bizCode : std::string(),
                     venue ? venue->theaterName : std::string(),
                     event ? event->goodsName : std::string()});
  return rs;
}

Recordset bookingRow(const std::string& code, const std::string& message, const Ticket* details) {
  Recordset rs;
  rs.fields = kBookingFields;
  if (details) {
    rs.rows.push_back({code, message, details->custName, details->ticketNo, details->goodsName,
                       details->playDate, details->placeName, details->seatGradeName,
                       details->seatInfo});
  } else {
    std::vector<Value> row{code, message};
    row.resize(kBookingFields.size(), std::string());
    rs.rows.push_back(std::move(row));
  }
  return rs;
}

// Sign-ins of one ID run one after the other, so that the failure count each one reads is exact.
std::mutex& loginLock(const std::string& operatorId) {
  static std::array<std::mutex, 64> stripes;
  return stripes[std::hash<std::string>{}(operatorId) % stripes.size()];
}

}  // namespace

std::string clockTime(TimeMs at) {
  std::time_t seconds = static_cast<std::time_t>(at / 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  char buf[8];
  std::strftime(buf, sizeof buf, "%H:%M", &local);
  return buf;
}

Recordset loginOperator(Store& store, const std::string& operatorId, const std::string& password) {
  // In this process, sign-ins of one ID take turns, so that a burst of them is verified (the slow
  // part) one at a time and each reads the outcome of the one before.
  std::lock_guard<std::mutex> serial(loginLock(operatorId));
  const TimeMs now = store.now();

  std::optional<Operator> op;
  std::optional<Event> event;
  std::optional<Venue> venue;
  LoginHistory seen;
  store.read([&](Reader& r) {
    seen = r.loginHistory(operatorId, now - kLockoutMs, now - kLoginWindowMs);
    op = r.findOperator(operatorId);
    if (op) {
      event = r.findActiveEvent(op->placeCode);
      venue = r.findVenue(op->placeCode);
    }
  });
  const auto lockedBy = [&](const LoginHistory& h) { return h.lastLockout && now < *h.lastLockout + kLockoutMs; };
  // Verified even for an unknown ID, so the answer time does not tell which IDs exist; outside
  // any transaction, since it takes a while.
  const bool verified = !lockedBy(seen) && verifyPassword(op ? op->passwordHash : decoyHash(), password);

  Recordset answer;
  store.write([&](Transaction& tx) {
    // Another server of the same store may have logged attempts of this ID since the read above:
    // decide on the history as it stands with those attempts held back, and log in the same step.
    tx.holdSignIns(operatorId);
    const LoginHistory history = tx.loginHistory(operatorId, now - kLockoutMs, now - kLoginWindowMs);
    std::string outcome;
    if (lockedBy(history)) {
      outcome = "locked";
    } else {
      if (!op) {
        outcome = "failed:unknown-operator";
      } else if (!verified) {
        outcome = "failed:bad-password";
      } else if (!op->active) {
        outcome = "failed:inactive-operator";
      } else if (!event) {
        outcome = "no-event";
      } else {
        outcome = "ok";
      }
      if (outcome.rfind(kOutcomeFailedPrefix, 0) == 0 && history.failures + 1 >= kMaxFailedLogins)
        outcome = std::string(kOutcomeLockout);
    }

    if (outcome == "ok") {
      answer = loginRow(kOk, kMsgLoginOk, &*event, venue ? &*venue : nullptr);
    } else if (outcome == "no-event") {
      answer = loginRow(kRefused, kMsgNoEvent, nullptr, nullptr);
    } else if (outcome == "locked" || outcome == kOutcomeLockout) {
      answer = loginRow(kRefused, kMsgLoginLocked, nullptr, nullptr);
    } else {
      answer = loginRow(kRefused, kMsgLoginRefused, nullptr, nullptr);
    }

    ScanRecord line;
    line.at = now;
    line.kind = "login";
    line.operatorId = operatorId;
    line.placeCode = op ? op->placeCode : std::string();
    line.bizCode = outcome == "ok" ? event->bizCode : std::string();
    line.code = std::get<std::string>(answer.rows[0][0]);
    line.message = std::get<std::string>(answer.rows[0][1]);
    line.outcome = outcome;
    tx.appendScanLog(line);
  });
  return answer;
}

Recordset loginPlace(Store& store, const std::string& placeCode) {
  Recordset answer;
  ScanRecord line;
  line.kind = "place";
  line.placeCode = placeCode;
  store.write([&](Transaction& tx) {
    std::optional<Venue> venue = tx.findVenue(placeCode);
    std::optional<Event> event = venue ? tx.findActiveEvent(placeCode) : std::nullopt;
    if (!venue) {
      answer = loginRow(kRefused, kMsgUnknownPlace, nullptr, nullptr);
      line.outcome = "unknown-place";
    } else if (!event) {
      answer = loginRow(kRefused, kMsgNoEvent, nullptr, nullptr);
      line.outcome = "no-event";
    } else {
      answer = loginRow(kOk, kMsgLoginOk, &*event, &*venue);
      line.outcome = "ok";
      line.bizCode = event->bizCode;
    }
    line.at = store.now();
    line.code = std::get<std::string>(answer.rows[0][0]);
    line.message = std::get<std::string>(answer.rows[0][1]);
    tx.appendScanLog(line);
  });
  return answer;
}

namespace {

// What one ticket check decided, kept from its transaction to its answer.
struct CheckDecision {
  const std::string* code = nullptr;
  std::string message;
  std::optional<Ticket> ticket;
  bool admittedOrLeft = false;

  Recordset answer() const { return bookingRow(*code, message, admittedOrLeft ? &*ticket : nullptr); }
};

// Decides the check and writes it with its scan-log line, in the caller's transaction. Starts from
// nothing each time, since a store may run it twice.
void decideCheck(Store& store, const CheckRequest& request, Transaction& tx, CheckDecision& d) {
  const TimeMs now = store.now();
  const char* outcome = nullptr;
  d = CheckDecision{};
  auto refuse = [&](const std::string& refusal, std::string why, const char* what) {
    d.code = &refusal;
    d.message = std::move(why);
    outcome = what;
  };

  std::optional<Event> event;
  if (request.mode != kModeEntry && request.mode != kModeExit) {
    refuse(kRefused, kMsgBadRequest, "bad-mode");
  } else if (!(event = tx.findEvent(request.bizCode))) {
    refuse(kRefused, kMsgBadRequest, "unknown-event");
  } else if (std::optional<Operator> op = tx.findOperator(request.operatorId);
             !op || !op->active || op->placeCode != event->placeCode) {
    refuse(kRefused, kMsgUnknownOperator, "unknown-operator");
  } else if (!(d.ticket = tx.lockTicket(request.bizCode, request.ticketNo))) {
    refuse(kRefused, kMsgUnknownTicket, "unknown-ticket");
  } else if (d.ticket->cancelled) {
    refuse(kRefused, kMsgCancelled, "cancelled");
  } else if (!request.block.empty() && request.block != d.ticket->block) {
    refuse(kRefused, kMsgWrongBlock + " (" + d.ticket->block + ")", "wrong-block");
  } else if (request.mode == kModeEntry) {
    if (d.ticket->inside) {
      refuse(kAlready, kMsgAlreadyInside + " (" + clockTime(d.ticket->lastEntry.value_or(0)) + ")",
             "already-inside");
    } else {
      const bool reentry = d.ticket->entryCount > 0;
      tx.recordEntry(d.ticket->id, now);
      d.code = reentry ? &kReentry : &kOk;
      d.message = reentry ? kMsgReadmitted : kMsgAdmitted;
      outcome = reentry ? "reentry" : "entry";
      d.admittedOrLeft = true;
    }
  } else if (!d.ticket->inside) {
    refuse(kAlready, kMsgNotInside, "not-inside");
  } else {
    tx.recordExit(d.ticket->id, now);
    d.code = &kOk;
    d.message = kMsgLeft;
    outcome = "exit";
    d.admittedOrLeft = true;
  }

  ScanRecord line;
  line.at = now;
  line.kind = "check";
  line.bizCode = request.bizCode;
  line.mode = request.mode;
  line.block = request.block;
  line.ticketNo = request.ticketNo;
  line.operatorId = request.operatorId;
  line.placeCode = event ? event->placeCode : std::string();
  line.code = *d.code;
  line.message = d.message;
  line.outcome = outcome;
  tx.appendScanLog(line);
}

}  // namespace

// Decided in the store's transaction; the answer is built after it, on the caller's thread, so that
// the one thread all checks queue for does only what must be decided there.
Recordset checkTicket(Store& store, const CheckRequest& request) {
  CheckDecision decision;
  store.write([&](Transaction& tx) { decideCheck(store, request, tx, decision); });
  return decision.answer();
}

void checkTicketAsync(Store& store, CheckRequest request,
                      std::function<void(Recordset, std::exception_ptr)> done) {
  struct State {
    CheckRequest request;
    CheckDecision decision;
  };
  auto state = std::make_shared<State>();
  state->request = std::move(request);
  store.writeAsync(
      [&store, state](Transaction& tx) { decideCheck(store, state->request, tx, state->decision); },
      [state, done = std::move(done)](std::exception_ptr error) {
        if (error) {
          done(Recordset{}, error);
          return;
        }
        Recordset answer;
        try {
          answer = state->decision.answer();
        } catch (...) {
          done(Recordset{}, std::current_exception());
          return;
        }
        done(std::move(answer), nullptr);
      });
}

Recordset statistics(Store& store, const std::string& bizCode) {
  std::optional<Event> event;
  AdmittedCounts counts;
  store.read([&](Reader& r) {
    event = r.findEvent(bizCode);
    if (event) counts = r.countAdmitted(bizCode);
  });
  if (!event) return bookingRow(kRefused, kMsgBadRequest, nullptr);
  Recordset rs;
  rs.fields = {std::string(kFieldTotal), kBlocks[0], kBlocks[1], kBlocks[2], kBlocks[3]};
  rs.rows.push_back({counts.total, counts.byBlock[0], counts.byBlock[1], counts.byBlock[2],
                     counts.byBlock[3]});
  return rs;
}

}  // namespace tav::server
