// The four command texts the station sends, and the rules it applies to the answers.
#pragma once

#include <QString>

namespace tav::backend {

inline const QString kProgId = QStringLiteral("Nuvrel.member");

// A value ready to stand between apostrophes: each apostrophe doubled, everything else unchanged.
QString quoted(const QString& value);

QString operatorSignInCommand(const QString& id, const QString& password);
QString venueSignInCommand(const QString& placeCode);
QString ticketCheckCommand(const QString& mode, const QString& bizCode, const QString& block,
                           const QString& ticketNo, const QString& adminId);
QString statisticsCommand(const QString& bizCode);

// Sign-in: refused only on "-1" (the trimmed code). Ticket check: refused on "-1" or "-2".
bool signInRefused(const QString& trimmedCode);
bool ticketRefused(const QString& trimmedCode);

// "YYYYMMDDHHMM" shown as "YYYY년 M월D일 H시 M분 ".
QString formatPlayDate(const QString& trimmedPlayDate);

}  // namespace tav::backend
