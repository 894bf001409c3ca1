// Sign-in, ticket check and statistics: the decisions of the business object.
#include "server/core/procedures.h"

#include <functional>
#include <memory>

#include "rule/decision.h"
#include "server/core/errors.h"
#include "server/core/local_time.h"
#include "server/core/messages.h"
#include "server/core/password.h"
#include "server/core/sessionless_tally.h"
#include "server/core/sessions.h"
#include "server/core/stations.h"
#include "wire/protocol.h"

namespace tav::server {
namespace {

using wire::Recordset;
using wire::Value;

using namespace wire;  // the protocol's names
namespace msg = messages;

const std::vector<std::string> kLoginFields{std::string(kFieldErrCode), std::string(kFieldErrMsg),
                                            std::string(kFieldBizCode), std::string(kFieldTheaterName),
                                            std::string(kFieldGoodsName)};
const std::vector<std::string> kBookingFieldNames(wire::kBookingFields.begin(), wire::kBookingFields.end());

const std::string kOk(kCodeOk);
const std::string kRefused(kCodeRefused);
const std::string kReentry(kCodeReentry);

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
  rs.fields = kBookingFieldNames;
  if (details) {
    rs.rows.push_back({code, message, details->custName, details->ticketNo, details->goodsName,
                       details->playDate, details->placeName, details->seatGradeName,
                       details->seatInfo});
  } else {
    std::vector<Value> row{code, message};
    row.resize(kBookingFieldNames.size(), std::string());
    rs.rows.push_back(std::move(row));
  }
  return rs;
}

}  // namespace

std::string clockTime(TimeMs at) { return formatLocalTime(at, "%H:%M"); }

namespace {

// The attempts of one ID that the lockouts look at now.
LoginQuery lockoutQuery(const std::string& operatorId, const std::string& source, TimeMs now) {
  LoginQuery q;
  q.operatorId = operatorId;
  q.source = source;
  q.sourceLockoutsAfter = now - kLockoutMs;
  q.sourceFailuresAfter = now - kLoginWindowMs;
  q.globalLockoutsAfter = now - kLockoutEverywhereMs;
  q.globalFailuresAfter = now - kLoginWindowEverywhereMs;
  return q;
}

bool isFailure(const std::string& outcome) { return outcome.rfind(kOutcomeFailedPrefix, 0) == 0; }

// The address the caller's requests are counted under.
const std::string& addressOf(const Caller& caller) {
  return caller.sourceGroup.empty() ? caller.source : caller.sourceGroup;
}

// Whether a request without a live session writes its own scan-log line: always without a tally;
// with one, as the tally decides, asked once per request however often the store runs the work.
bool ownLine(const Caller& caller, SessionlessKind kind, TimeMs now, std::optional<bool>& decided) {
  if (!caller.sessionless) return true;
  if (!decided) decided = caller.sessionless->note(addressOf(caller), kind, now);
  return *decided;
}

// True when the request is refused without asking the store: its token can be no session's and
// the tally only counts it. A flood without cookies then costs no turn of the store's writer.
bool countedOnly(const Caller& caller, SessionlessKind kind, TimeMs now, std::optional<bool>& decided) {
  return caller.sessionless && !wellFormedToken(caller.sessionToken) && !ownLine(caller, kind, now, decided);
}

// What a sign-in comes to, decided in the write that logs it, with the ID's attempts held back:
// a removed station's key first, then a lockout in force, the password, the operator, the station
// key and the event; a failure that fills a count becomes the lockout it starts.
std::string signInOutcome(Transaction& tx, const std::string& operatorId, const Operator* op, bool hasEvent,
                          bool verified, const Caller& caller, const std::string& source, TimeMs now) {
  // The directory may not know yet of a removal on any server: the store has the last word, and
  // holds the station until the session is written. Not a guess, so not counted.
  if (caller.station != 0 && !holdLiveStation(tx, caller.station, now)) return "removed-station";
  // Nothing to lock: the ID is logged as "?", so its attempts cannot be counted.
  if (!op) return "failed:unknown-operator";
  // A station of the operator's own venue is known by its key, not by an address a stranger can
  // share or a count a stranger can fill: only its own failures lock it.
  const bool ownStation = caller.station != 0 && caller.stationPlace == op->placeCode;
  const LoginHistory history = tx.loginHistory(lockoutQuery(operatorId, source, now));
  // Any lockout the query finds is recent enough to hold.
  if (history.sourceLockout || (history.globalLockout && !ownStation)) return "locked";
  std::string outcome;
  if (!verified) {
    outcome = "failed:bad-password";
  } else if (!op->active) {
    outcome = "failed:inactive-operator";
  } else if (caller.stationRequired && caller.station == 0 && op->role != OperatorRole::Admin) {
    // Not a guess (the password was right), so not counted; answered as one all the same.
    outcome = "no-station-key";
  } else if (!hasEvent) {
    outcome = "no-event";
  } else {
    outcome = "ok";
  }
  if (isFailure(outcome)) {
    if (!ownStation && history.globalFailures + 1 >= kMaxFailedLoginsEverywhere)
      outcome = std::string(kOutcomeLockoutAll);
    else if (history.sourceFailures + 1 >= kMaxFailedLogins)
      outcome = std::string(kOutcomeLockout);
  }
  return outcome;
}

}  // namespace

std::string loggedSource(const Caller& caller) {
  return caller.station != 0 ? stationSource(caller.station) : caller.source;
}

Recordset loginOperator(Store& store, const std::string& operatorId, const std::string& password,
                        const Caller& caller, std::string* sessionToken) {
  // Attempts of one ID are verified side by side: since every attempt is verified, a burst of them
  // against one ID must not queue the sign-in pool behind one lock. They take turns only where the
  // lockout is decided and logged, in the store's write.
  const TimeMs now = store.now();
  const std::string source = loggedSource(caller);

  std::optional<Operator> op;
  std::optional<Event> event;
  std::optional<Venue> venue;
  store.read([&](Reader& r) {
    op = r.findOperator(operatorId);
    if (op) {
      event = r.findActiveEvent(op->placeCode);
      venue = r.findVenue(op->placeCode);
    }
  });
  // Verified for an unknown ID and for a locked one too, so the answer time tells neither; outside
  // any transaction, since it takes a while.
  const bool verified = verifyPassword(op ? op->passwordHash : decoyHash(), password);

  Recordset answer;
  std::string token;
  store.write([&](Transaction& tx) {
    token.clear();
    // Another server of the same store may have logged attempts of this ID since the read above:
    // decide on the history as it stands with those attempts held back, and log in the same step.
    tx.holdSignIns(operatorId);
    const std::string outcome =
        signInOutcome(tx, operatorId, op ? &*op : nullptr, event.has_value(), verified, caller, source, now);

    if (outcome == "ok") {
      answer = loginRow(kOk, msg::kSignedIn, &*event, venue ? &*venue : nullptr);
    } else if (outcome == "no-event") {
      answer = loginRow(kRefused, msg::kNoActiveEvent, nullptr, nullptr);
    } else {
      // A lockout looks like a wrong password: a stranger learns nothing from it.
      answer = loginRow(kRefused, msg::kSignInRefused, nullptr, nullptr);
    }

    ScanRecord line;
    line.at = now;
    line.kind = "login";
    line.operatorId = op ? operatorId : std::string(kUnknownIdInLog);
    line.placeCode = op ? op->placeCode : std::string();
    line.bizCode = outcome == "ok" ? event->bizCode : std::string();
    line.code = std::get<std::string>(answer.rows[0][0]);
    line.message = std::get<std::string>(answer.rows[0][1]);
    line.outcome = outcome;
    line.source = source;
    if (outcome == "ok") token = openSession(tx, *op, source, now, line.session, caller.station);
    tx.appendScanLog(line);
  });
  if (sessionToken) *sessionToken = std::move(token);
  return answer;
}

Recordset loginPlace(Store& store, const std::string& placeCode, const Caller& caller) {
  std::optional<bool> ownLineDecided;
  if (countedOnly(caller, SessionlessKind::PlaceSignIn, store.now(), ownLineDecided))
    return loginRow(kRefused, msg::kSignInAgain, nullptr, nullptr);
  Recordset answer;
  ScanRecord line;
  line.kind = "place";
  line.placeCode = placeCode;
  line.source = loggedSource(caller);
  store.write([&](Transaction& tx) {
    const TimeMs now = store.now();
    line.operatorId.clear();
    line.session = 0;
    const std::optional<SessionInfo> session = callerSession(tx, caller, now);
    std::optional<Venue> venue;
    std::optional<Event> event;
    if (session) {
      noteSessionUse(tx, *session, now);
      line.operatorId = session->operatorId;
      line.session = session->id;
      venue = tx.findVenue(placeCode);
      event = venue ? tx.findActiveEvent(placeCode) : std::nullopt;
    }
    if (!session) {
      answer = loginRow(kRefused, msg::kSignInAgain, nullptr, nullptr);
      line.outcome = std::string(kOutcomeNoSession);
    } else if (!venue) {
      answer = loginRow(kRefused, msg::kUnknownPlace, nullptr, nullptr);
      line.outcome = "unknown-place";
    } else if (session->placeCode != placeCode) {
      answer = loginRow(kRefused, msg::kUnknownOperator, nullptr, nullptr);
      line.outcome = "other-venue";
    } else if (!event) {
      answer = loginRow(kRefused, msg::kNoActiveEvent, nullptr, nullptr);
      line.outcome = "no-event";
    } else {
      answer = loginRow(kOk, msg::kSignedIn, &*event, &*venue);
      line.outcome = "ok";
      line.bizCode = event->bizCode;
    }
    line.at = now;
    line.code = std::get<std::string>(answer.rows[0][0]);
    line.message = std::get<std::string>(answer.rows[0][1]);
    if (session || ownLine(caller, SessionlessKind::PlaceSignIn, now, ownLineDecided)) tx.appendScanLog(line);
  });
  return answer;
}

namespace {

// What one ticket check decided, kept from its transaction to its answer.
struct CheckDecision {
  std::string code, message;
  std::optional<Ticket> ticket;
  bool withDetails = false;  // the holder's details go with the answer: an entry or an exit

  Recordset answer() const { return bookingRow(code, message, withDetails ? &*ticket : nullptr); }
};

// The answers that carry the holder's details: those of an entry, a re-entry or an exit.
bool answerWithDetails(const std::string& code) { return code == kOk || code == kReentry; }

// What the rule reads of a locked ticket; none when there is no such ticket.
std::optional<rule::TicketState> ruleState(const std::optional<Ticket>& ticket) {
  if (!ticket) return std::nullopt;
  return rule::TicketState{ticket->block, ticket->cancelled, ticket->inside, ticket->entryCount, ticket->lastEntry,
                           ticket->lastExit};
}

// What an earlier check kept under the caller's key, when it still stands for this check: made
// within the keys' lifetime for the same command and operator (else KeyMismatch), with the
// ticket as that check left it. The ticket is locked here, along with the claim.
std::optional<CheckKeyRecord> keptAnswer(Transaction& tx, const CheckRequest& request, const std::string& key,
                                         TimeMs now, std::optional<Ticket>& ticket) {
  tx.claimCheckKey(key);
  ticket = tx.lockTicket(request.bizCode, request.ticketNo);
  std::optional<CheckKeyRecord> kept = tx.claimedCheckKey();
  // A key stamped further ahead than its lifetime was kept by a clock that has been stepped back
  // since: how long ago its check was is not known, so it is as stale as an old one.
  if (!kept || kept->at < now - kCheckKeyLifetimeMs || kept->at > now + kCheckKeyLifetimeMs) return std::nullopt;
  if (kept->operatorId != request.operatorId || kept->mode != request.mode || kept->bizCode != request.bizCode ||
      kept->block != request.block || kept->ticketNo != request.ticketNo)
    throw KeyMismatch();
  // A ticket changed since (annulled, cancelled, gone out and in) is decided afresh.
  if (!kept->ticketVersion || !ticket || ticket->version != *kept->ticketVersion) return std::nullopt;
  return kept;
}

// Decides the check and writes it with its scan-log line, in the caller's transaction. Starts from
// nothing each time, since a store may run it twice; only `ownLineDecided` carries over, so that
// the tally counts a request once.
void decideCheck(Store& store, const CheckRequest& request, const Caller& caller, Transaction& tx,
                 CheckDecision& d, std::optional<bool>& ownLineDecided) {
  const TimeMs now = store.now();
  std::string_view outcome;
  d = CheckDecision{};
  auto refuse = [&](const std::string& refusal, std::string why, std::string_view what) {
    d.code = refusal;
    d.message = std::move(why);
    outcome = what;
  };
  // The rule's decision on the ticket's state taken as the check's; who asks and which event are
  // settled here before it.
  auto follow = [&](rule::Decision decided) {
    d.code = std::string(decided.code);
    d.message = std::move(decided.message);
    d.withDetails = decided.withDetails;
    outcome = decided.outcome;
    return std::move(decided.after);
  };

  std::optional<Event> event;
  std::optional<Operator> op;
  bool opLookedUp = false;
  // The ticket, once locked: a keyed check locks it with its key's claim.
  bool ticketLocked = false;
  auto lockedTicket = [&]() -> std::optional<Ticket>& {
    if (!ticketLocked) d.ticket = tx.lockTicket(request.bizCode, request.ticketNo);
    ticketLocked = true;
    return d.ticket;
  };
  // Set when the answer rests on the ticket's state: a retry with the key gets it again while the
  // ticket stays as this check left it.
  std::optional<std::int64_t> versionLeft;

  // Who asks is settled first, so that a caller without a session learns nothing of the event or
  // the ticket. The key is claimed next: a retry waits for its first attempt, then gets its answer.
  const std::optional<SessionInfo> session = callerSession(tx, caller, now);
  if (session) noteSessionUse(tx, *session, now);
  const bool ownSession = session && session->operatorId == request.operatorId;
  // Read before the ticket is locked: a store that confirms cached rows then sends the
  // confirmations along with the lock.
  if (ownSession) {
    event = tx.findEvent(request.bizCode);
    op = tx.findOperator(request.operatorId);
    opLookedUp = true;
  }
  const bool keyed = ownSession && !caller.idempotencyKey.empty();
  std::optional<CheckKeyRecord> kept;
  if (keyed) {
    kept = keptAnswer(tx, request, caller.idempotencyKey, now, d.ticket);
    ticketLocked = true;
  }
  if (kept) {
    d.code = kept->code;
    d.message = kept->message;
    d.withDetails = answerWithDetails(kept->code);
    outcome = kOutcomeRepeat;
  } else if (!session) {
    refuse(kRefused, msg::kSignInAgain, kOutcomeNoSession);
  } else if (!ownSession) {
    refuse(kRefused, msg::kUnknownOperator, kOutcomeNotSessionOperator);
  } else if (!rule::isCheckMode(request.mode)) {
    // Refused before the event is looked at: the rule refuses such a mode whatever the ticket.
    follow(rule::decide({request.mode, request.block, std::nullopt, now}, clockTime));
  } else if (!event) {
    refuse(kRefused, msg::kBadRequest, "unknown-event");
  } else if (event->placeCode != session->placeCode || !op || !op->active || op->placeCode != event->placeCode) {
    refuse(kRefused, msg::kUnknownOperator, "unknown-operator");
  } else if (!event->active) {
    refuse(kRefused, msg::kNoActiveEvent, "inactive-event");
  } else {
    const std::optional<rule::TicketState> after =
        follow(rule::decide({request.mode, request.block, ruleState(lockedTicket()), now}, clockTime));
    if (d.ticket) versionLeft = d.ticket->version;
    if (after) {
      // The store keeps what the rule changed: an entry leaves the ticket inside, an exit outside.
      if (after->inside)
        tx.recordEntry(d.ticket->id, *after->lastEntry);
      else
        tx.recordExit(d.ticket->id, *after->lastExit);
      versionLeft = d.ticket->version + 1;
    }
  }
  if (keyed && !kept) {
    CheckKeyRecord record{caller.idempotencyKey, request.operatorId, request.mode, request.bizCode, request.block,
                          request.ticketNo, d.code, d.message, versionLeft, now};
    tx.keepCheckKey(record);
  }
  if (!session && !ownLine(caller, SessionlessKind::Check, now, ownLineDecided)) return;

  ScanRecord line;
  line.at = now;
  line.kind = "check";
  line.bizCode = request.bizCode;
  line.mode = request.mode;
  line.block = request.block;
  line.ticketNo = request.ticketNo;
  // Whoever sent a refused request is named only when the ID is an operator's.
  if (!opLookedUp) op = tx.findOperator(request.operatorId);
  line.operatorId = op ? request.operatorId : std::string(kUnknownIdInLog);
  // Every check is its event's venue's, signed in or not, so that the venue's export lists it.
  if (!event && !ownSession) event = tx.findEvent(request.bizCode);
  line.placeCode = event ? event->placeCode : std::string();
  line.code = d.code;
  line.message = d.message;
  line.outcome = outcome;
  line.source = loggedSource(caller);
  line.session = session ? session->id : 0;
  line.idempotencyKey = keyed ? caller.idempotencyKey : std::string();
  tx.appendScanLog(line);
}

}  // namespace

// Decided in the store's transaction; the answer is built after it, on the caller's thread, so that
// the one thread all checks queue for does only what must be decided there.
Recordset checkTicket(Store& store, const CheckRequest& request, const Caller& caller) {
  std::optional<bool> ownLineDecided;
  if (countedOnly(caller, SessionlessKind::Check, store.now(), ownLineDecided))
    return bookingRow(kRefused, msg::kSignInAgain, nullptr);
  CheckDecision decision;
  store.write([&](Transaction& tx) { decideCheck(store, request, caller, tx, decision, ownLineDecided); });
  return decision.answer();
}

void checkTicketAsync(Store& store, CheckRequest request, Caller caller,
                      std::function<void(Recordset, std::exception_ptr)> done) {
  struct State {
    CheckRequest request;
    Caller caller;
    CheckDecision decision;
    std::optional<bool> ownLineDecided;
  };
  auto state = std::make_shared<State>();
  if (countedOnly(caller, SessionlessKind::Check, store.now(), state->ownLineDecided))
    return done(bookingRow(kRefused, msg::kSignInAgain, nullptr), nullptr);
  state->request = std::move(request);
  state->caller = std::move(caller);
  store.writeAsync(
      [&store, state](Transaction& tx) {
        decideCheck(store, state->request, state->caller, tx, state->decision, state->ownLineDecided);
      },
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

std::size_t forgetOldCheckKeys(Store& store) {
  // In short writes, so that the checks queued behind one never wait long. Each write forgets
  // only keys that are due, so a short one means none is left; keys that keptAnswer would no
  // longer use go in either direction, so that a clock stepped back cannot keep them.
  constexpr std::size_t kKeysPerWrite = 2000;
  const TimeMs now = store.now();
  std::size_t forgotten = 0, batch = 0;
  do {
    store.write([&](Transaction& tx) {
      batch = tx.forgetCheckKeys(now - kCheckKeyLifetimeMs, now + kCheckKeyLifetimeMs, kKeysPerWrite);
    });
    forgotten += batch;
  } while (batch == kKeysPerWrite);
  return forgotten;
}

Recordset statistics(Store& store, const std::string& bizCode, const Caller& caller) {
  std::optional<SessionInfo> session;
  std::optional<Event> event;
  AdmittedCounts counts;
  const TimeMs now = store.now();
  // Statistics write nothing: one without a session is only counted.
  auto sessionless = [&] {
    if (caller.sessionless) caller.sessionless->note(addressOf(caller), SessionlessKind::Statistics, now);
    return NotSignedIn();
  };
  if (caller.sessionless && !wellFormedToken(caller.sessionToken)) throw sessionless();
  store.read([&](Reader& r) {
    event.reset();
    session = callerSession(r, caller, now);
    if (!session) return;
    event = r.findEvent(bizCode);
    if (event && event->placeCode == session->placeCode) counts = r.countAdmitted(bizCode);
  });
  if (!session) throw sessionless();
  if (event && event->placeCode != session->placeCode) throw NotSignedIn();
  if (!event) return bookingRow(kRefused, msg::kBadRequest, nullptr);
  Recordset rs;
  rs.fields = {std::string(kFieldTotal)};
  rs.fields.insert(rs.fields.end(), kBlocks.begin(), kBlocks.end());
  std::vector<Value>& row = rs.rows.emplace_back();
  row.emplace_back(counts.total);
  row.insert(row.end(), counts.byBlock.begin(), counts.byBlock.end());
  return rs;
}

}  // namespace tav::server
