// The command texts the station sends and the rules it applies to the answers.
#include "backend/commands.h"

#include <QStringList>

namespace tav::backend {

namespace {

const QString kLoginProc = QStringLiteral("Exec ") + wireName(wire::kLoginInfoProc) + u' ';
const QString kBookingProc = QStringLiteral("Exec ") + wireName(wire::kBookingInfoProc) + u' ';

// A two-character piece of a play date as a whole number without leading zero ("05" -> "5");
// a piece that is not a number is shown as it stands.
QString numberPiece(const QString& piece) {
  if (piece.isEmpty()) return piece;
  for (const QChar c : piece)
    if (c < u'0' || c > u'9') return piece;
  return QString::number(piece.toInt());
}

}  // namespace

QString quoted(const QString& value) {
  QString out = value;
  out.replace(u'\'', QStringLiteral("''"));
  return out;
}

QString operatorSignInCommand(const QString& id, const QString& password) {
  return kLoginProc + u'\'' + quoted(id) + QStringLiteral("','") + quoted(password) + u'\'';
}

QString venueSignInCommand(const QString& placeCode) {
  return kLoginProc + u'\'' + quoted(placeCode) + u'\'';
}

QString ticketCheckCommand(const QString& mode, const QString& bizCode, const QString& block,
                           const QString& ticketNo, const QString& adminId) {
  // The last separator carries a blank: "', '".
  return kBookingProc + u'\'' + quoted(mode) + QStringLiteral("','") + quoted(bizCode) +
         QStringLiteral("','") + quoted(block) + QStringLiteral("','") + quoted(ticketNo) +
         QStringLiteral("', '") + quoted(adminId) + u'\'';
}

QString statisticsCommand(const QString& bizCode) {
  return kBookingProc + u'\'' + wireName(wire::kModeStatistics) + QStringLiteral("','") + quoted(bizCode) + QStringLiteral("','','',''");
}

std::optional<TicketCheck> ticketCheckOf(const QString& commandText) {
  if (!commandText.startsWith(kBookingProc + u'\'')) return std::nullopt;
  // Five quoted values as ticketCheckCommand writes them: a doubled apostrophe stands for one.
  QStringList values;
  QString value;
  qsizetype i = kBookingProc.size() + 1;
  while (i < commandText.size()) {
    const QChar c = commandText[i++];
    if (c != u'\'') {
      value += c;
    } else if (i < commandText.size() && commandText[i] == u'\'') {
      value += c;
      ++i;
    } else {
      values << value;
      value.clear();
      // Between values: "','" or, before the last, "', '".
      if (i == commandText.size()) break;
      if (commandText.mid(i, 2) == QStringLiteral(",'")) i += 2;
      else if (commandText.mid(i, 3) == QStringLiteral(", '")) i += 3;
      else return std::nullopt;
    }
  }
  if (values.size() != 5 || i != commandText.size() || (values[0] != kEntryMode && values[0] != kExitMode))
    return std::nullopt;
  return TicketCheck{values[0], values[1], values[2], values[3], values[4]};
}

QString blockFilter(const QString& shownBlock) { return shownBlock == kAllBlocks ? QString() : shownBlock; }

QString ticketNumber(const QString& input) { return input.right(15); }

bool signInRefused(const QString& trimmedCode) { return trimmedCode == wireName(wire::kCodeRefused); }

bool ticketRefused(const QString& trimmedCode) {
  return trimmedCode == wireName(wire::kCodeRefused) || trimmedCode == wireName(wire::kCodeAlready);
}

QString formatPlayDate(const QString& trimmedPlayDate) {
  if (trimmedPlayDate.isEmpty()) return {};
  const QString& p = trimmedPlayDate;
  return p.mid(0, 4) + QStringLiteral("년 ") + numberPiece(p.mid(4, 2)) + QStringLiteral("월") +
         numberPiece(p.mid(6, 2)) + QStringLiteral("일 ") + numberPiece(p.mid(8, 2)) +
         QStringLiteral("시 ") + numberPiece(p.mid(10, 2)) + QStringLiteral("분 ");
}

}  // namespace tav::backend
