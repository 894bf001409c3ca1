// Every ErrMsg the back-end sends, in one place, so that each can be measured against the
// station's result line (900 pixels in its 60-point bold font).
#pragma once

#include <string>
#include <vector>

namespace tav::server::messages {

// Sign-ins. A locked-out ID gets the same refusal as a wrong password.
inline const std::string kSignedIn = "로그인 확인";
inline const std::string kSignInRefused = "로그인 실패";
inline const std::string kUnknownPlace = "미등록 장소";

// A request without a live session (none, ended or revoked): the station must sign in again.
inline const std::string kSignInAgain = "다시 로그인하세요";

// Ticket checks (and sign-ins to a venue without an active event).
inline const std::string kBadRequest = "잘못된 요청입니다";
inline const std::string kUnknownOperator = "미등록 운영자";
inline const std::string kNoActiveEvent = "진행 중인 공연 아님";
inline const std::string kUnknownTicket = "등록되지 않은 티켓입니다";
inline const std::string kCancelled = "취소된 티켓입니다";
inline const std::string kAdmitted = "입장 확인";
inline const std::string kReadmitted = "재입장 확인";
inline const std::string kNotInside = "입장 기록 없음";
inline const std::string kLeft = "퇴장 확인";

// A ticket of another stand block than the station's filter; `block` is the ticket's.
inline std::string wrongBlock(const std::string& block) { return "입장 구역 아님 (" + block + ")"; }

// A ticket already inside; `hhmm` is the clock time of its last entry.
inline std::string alreadyInside(const std::string& hhmm) { return "이미 입장 (" + hhmm + ")"; }

// Every text the back-end may put in ErrMsg: the fixed ones, the wrong-block refusal for each
// stand block and the already-inside refusal for every minute of the day.
std::vector<std::string> everyMessage();

}  // namespace tav::server::messages
