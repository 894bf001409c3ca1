// How a failing handler is kept from ending the event loop.
#pragma once

#include <exception>

namespace tav {

// Runs a handler started by a click or a key. A failure ends the handler at the failing step, as
// on the station's home platform, and is dropped there: Qt cannot carry an exception through its
// event loop. Returns false when the handler failed.
template <class Handler>
bool runClick(Handler&& handler) {
  try {
    handler();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace tav
