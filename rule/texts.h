// The texts a ticket check's decision answers with, written once for the back-end and for a
// station deciding offline, so that a gate shows the same words whichever side decided.
#pragma once

#include <string>

namespace tav::rule {

// A mode that is no check's (also the back-end's answer to an unknown business code).
inline const std::string kBadRequest = "잘못된 요청입니다";
inline const std::string kUnknownTicket = "등록되지 않은 티켓입니다";
inline const std::string kCancelled = "취소된 티켓입니다";
inline const std::string kAdmitted = "입장 확인";
inline const std::string kReadmitted = "재입장 확인";
inline const std::string kNotInside = "입장 기록 없음";
inline const std::string kLeft = "퇴장 확인";

// A ticket the station's offline list does not hold: the list may be older than the ticket, so
// it is not called unknown.
inline const std::string kNotInList = "목록에 없음";

// A ticket of another stand block than the station's filter; `block` is the ticket's.
inline std::string wrongBlock(const std::string& block) { return "입장 구역 아님 (" + block + ")"; }

// A ticket already inside; `hhmm` is the clock time of its last entry.
inline std::string alreadyInside(const std::string& hhmm) { return "이미 입장 (" + hhmm + ")"; }

}  // namespace tav::rule
