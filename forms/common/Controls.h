// How one window's handlers reach a control of another window by its name (frm01's txtBlock
// from the block dialog), and how a failing handler is kept from ending the event loop.
#pragma once

#include <QWidget>
#include <exception>
#include <stdexcept>
#include <string>

namespace tav {

// The control named `name` on `form`. Throws std::logic_error when the layout has no such
// control of that kind: a window and its layout disagree.
template <class T>
T& control(QWidget& form, const char* name) {
  T* c = form.findChild<T*>(QLatin1String(name));
  if (!c) throw std::logic_error(std::string("The window ") + form.objectName().toStdString() +
                                 " has no control " + name + ".");
  return *c;
}

// Runs a handler started by a click or a key. A failure ends the handler at the failing step, as
// on the station's home platform, and is dropped there: Qt cannot carry an exception through its
// event loop.
template <class Handler>
void runClick(Handler&& handler) {
  try {
    handler();
  } catch (const std::exception&) {
  }
}

}  // namespace tav
