// Every ErrMsg the back-end sends, named in one place (those of the decision on a ticket's state
// are the rule's, rule/texts.h), so that each can be measured against the station's result line
// (900 pixels in its 60-point bold font).
#pragma once

#include <string>
#include <vector>

#include "rule/texts.h"

namespace tav::server::messages {

// Sign-ins. A locked-out ID gets the same refusal as a wrong password.
inline const std::string kSignedIn = "로그인 확인";
inline const std::string kSignInRefused = "로그인 실패";
inline const std::string kUnknownPlace = "미등록 장소";

// A request without a live session (none, ended or revoked): the station must sign in again.
inline const std::string kSignInAgain = "다시 로그인하세요";

// Ticket checks (and sign-ins to a venue without an active event).
using rule::kBadRequest;
inline const std::string kUnknownOperator = "미등록 운영자";
inline const std::string kNoActiveEvent = "진행 중인 공연 아님";

// The decision on the ticket's state: the rule's texts, which a station deciding offline shows too.
using rule::alreadyInside;
using rule::kAdmitted;
using rule::kCancelled;
using rule::kLeft;
using rule::kNotInside;
using rule::kReadmitted;
using rule::kUnknownTicket;
using rule::wrongBlock;

// Every text the back-end may put in ErrMsg: the fixed ones, the wrong-block refusal for each
// stand block and the already-inside refusal for every minute of the day; and the rule's
// not-in-list text, which a station deciding offline shows in the same line.
std::vector<std::string> everyMessage();

}  // namespace tav::server::messages
