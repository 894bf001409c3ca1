// The names the station and the back-end agree on: the business object, its procedures, the
// fields of their answers and the result codes. Written once here, used on both sides.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace tav::wire {

// The business object's ProgID and its one late-bound method: POST /objects/<ProgID>/<method>.
inline constexpr std::string_view kProgId = "Nuvrel.member";
inline constexpr std::string_view kQueryMethod = "Query";
// True for `length` characters of the base64url alphabet, as random bytes are written without
// padding.
inline constexpr bool isBase64Url(std::string_view text, std::size_t length) {
  if (text.size() != length) return false;
  for (char c : text)
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
      return false;
  return true;
}

// The HTTP header a registered gate PC sends its station key in, beside every command.
inline constexpr std::string_view kStationHeader = "Tav-Station";
// A station key as tav-server add-station writes it: 32 random bytes in base64url without
// padding, 43 characters.
inline constexpr std::size_t kStationKeyLength = 43;
inline constexpr bool isStationKey(std::string_view text) { return isBase64Url(text, kStationKeyLength); }

// The HTTP header a ticket check carries its idempotency key in: made once per scan, sent again
// with every retry of that scan, so that the back-end answers a retried check as the same check.
inline constexpr std::string_view kIdempotencyHeader = "Idempotency-Key";
// An idempotency key as the station makes it: 16 random bytes in base64url without padding,
// 22 characters.
inline constexpr std::size_t kIdempotencyKeyLength = 22;
inline constexpr bool isIdempotencyKey(std::string_view text) { return isBase64Url(text, kIdempotencyKeyLength); }

// The procedures a command text may name after "Exec".
inline constexpr std::string_view kLoginInfoProc = "Proc_WMRS_Admin_GetAdminTAV_LoginInfo";
inline constexpr std::string_view kBookingInfoProc = "Proc_WMRS_Admin_GetAdminTAV_BookingInfo";

// The modes of a booking-info command: entry, exit, statistics.
inline constexpr std::string_view kModeEntry = "I";
inline constexpr std::string_view kModeExit = "O";
inline constexpr std::string_view kModeStatistics = "S";

// The back-end's paths beside the Query: its health, and a station's offline list and hand-over
// (GET /api/v1/offline/list?bizcode=B&block=X, POST /api/v1/offline/checks).
inline constexpr std::string_view kHealthPath = "/health";
inline constexpr std::string_view kOfflineListPath = "/api/v1/offline/list";
inline constexpr std::string_view kOfflineChecksPath = "/api/v1/offline/checks";

// Fields of the answers.
inline constexpr std::string_view kFieldErrCode = "ErrCode";
inline constexpr std::string_view kFieldErrMsg = "ErrMsg";
inline constexpr std::string_view kFieldBizCode = "bizcode";
inline constexpr std::string_view kFieldTheaterName = "TheaterName";
inline constexpr std::string_view kFieldGoodsName = "GoodsName";
inline constexpr std::string_view kFieldCustName = "CustName";
inline constexpr std::string_view kFieldTicketNo = "TicketNo";
inline constexpr std::string_view kFieldPlayDate = "PlayDate";
inline constexpr std::string_view kFieldPlaceName = "PlaceName";
inline constexpr std::string_view kFieldSeatGradeName = "SeatGradeName";
inline constexpr std::string_view kFieldSeatInfo = "SeatInfo";
inline constexpr std::string_view kFieldTotal = "Total";

// The fields of a ticket check's answer, in their order: the code and message, then the holder's
// details, empty when the answer carries none.
inline constexpr std::array<std::string_view, 9> kBookingFields{
    kFieldErrCode, kFieldErrMsg,  kFieldCustName,      kFieldTicketNo, kFieldGoodsName,
    kFieldPlayDate, kFieldPlaceName, kFieldSeatGradeName, kFieldSeatInfo};

// ErrCode values: done, refused, already (inside, or not inside on exit), admitted again.
inline constexpr std::string_view kCodeOk = "0";
inline constexpr std::string_view kCodeRefused = "-1";
inline constexpr std::string_view kCodeAlready = "-2";
inline constexpr std::string_view kCodeReentry = "-3";

}  // namespace tav::wire
