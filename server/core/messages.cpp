// The back-end's list of every message it may send.
#include "server/core/messages.h"

#include <cstdio>

#include "server/core/store.h"

namespace tav::server::messages {

std::vector<std::string> everyMessage() {
  std::vector<std::string> all{kSignedIn,      kSignInRefused, kUnknownPlace, kSignInAgain, kBadRequest,
                               kUnknownOperator, kNoActiveEvent, kUnknownTicket, kCancelled,
                               kAdmitted,      kReadmitted,    kNotInside,    kLeft,       rule::kNotInList};
  for (const std::string& block : kBlocks) all.push_back(wrongBlock(block));
  // Every minute, since the widest digits depend on the font.
  for (int hour = 0; hour < 24; ++hour)
    for (int minute = 0; minute < 60; ++minute) {
      char hhmm[8];
      std::snprintf(hhmm, sizeof hhmm, "%02d:%02d", hour, minute);
      all.push_back(alreadyInside(hhmm));
    }
  return all;
}

}  // namespace tav::server::messages
