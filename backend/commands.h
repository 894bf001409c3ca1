// The four command texts the station sends, and the rules it applies to the answers.
#pragma once

#include <QString>

#include <optional>
#include <string_view>

#include "wire/protocol.h"

namespace tav::backend {

// One of the protocol's names (wire/protocol.h) as the station's strings hold it.
inline QString wireName(std::string_view name) {
  return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}

inline const QString kProgId = wireName(wire::kProgId);

// The gate modes a ticket check sends: entry and exit.
inline const QString kEntryMode = wireName(wire::kModeEntry);
inline const QString kExitMode = wireName(wire::kModeExit);
// The block caption that stands for every block.
inline const QString kAllBlocks = QStringLiteral("전체");

// A value ready to stand between apostrophes: each apostrophe doubled, everything else unchanged.
QString quoted(const QString& value);

QString operatorSignInCommand(const QString& id, const QString& password);
QString venueSignInCommand(const QString& placeCode);
QString ticketCheckCommand(const QString& mode, const QString& bizCode, const QString& block,
                           const QString& ticketNo, const QString& adminId);
QString statisticsCommand(const QString& bizCode);

// What a ticket check's command text asks, unquoted.
struct TicketCheck {
  QString mode, bizCode, block, ticketNo, adminId;
};

// The ticket check (entry or exit) a command text is, the one call that admits a fan and so the
// one the gateway sends with an idempotency key, retries, and may decide offline; none for any
// other text.
std::optional<TicketCheck> ticketCheckOf(const QString& commandText);
inline bool isTicketCheck(const QString& commandText) { return ticketCheckOf(commandText).has_value(); }

// The block filter a ticket check sends for the block shown: "" for kAllBlocks, any other caption
// as it stands.
QString blockFilter(const QString& shownBlock);
// The ticket number a ticket check sends for what the ticket box holds: its rightmost 15
// characters, the whole input when it is shorter.
QString ticketNumber(const QString& input);

// Sign-in: refused only on "-1" (the trimmed code). Ticket check: refused on "-1" or "-2".
bool signInRefused(const QString& trimmedCode);
bool ticketRefused(const QString& trimmedCode);

// "YYYYMMDDHHMM" shown as "YYYY년 M월D일 H시 M분 ".
QString formatPlayDate(const QString& trimmedPlayDate);

}  // namespace tav::backend
