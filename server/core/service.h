// What the HTTP layer calls on the back-end: run one command text against a store.
#pragma once

#include <exception>
#include <functional>
#include <string>
#include <string_view>

#include "server/core/command_parser.h"
#include "server/core/errors.h"
#include "server/core/procedures.h"
#include "wire/recordset.h"

namespace tav::server {

class Store;

// The answer to one command, with what the metrics need to know about it.
struct Answer {
  wire::Recordset recordset;
  std::string procedure;  // canonical procedure name, e.g. "Proc_WMRS_Admin_GetAdminTAV_BookingInfo"
  std::string code;       // ErrCode of the row ("" for statistics)
  std::string sessionToken;  // a session the operator sign-in opened, for the client's cookie
  // The request came with a live session, or opened one: what lets the server spare its connection.
  bool signedIn = false;
};

// Parses the command text strictly and runs its procedure on the store. Returns only once every
// change the answer reports is durable. Throws BadCommand, NotSignedIn, KeyMismatch or
// StoreUnavailable, and on any of them nothing was written; or OutcomeUnknown when the store cannot tell whether the change was kept.
// The caller's address goes to the scan log and the sign-in lockout.
Answer execute(Store& store, std::string_view commandText, const Caller& caller = {});

using AnswerDone = std::function<void(Answer, std::exception_ptr)>;
// Runs a task on threads that may block (sign-ins verify a password, which takes a while).
using SlowRunner = std::function<void(std::function<void()>)>;

// Runs a parsed command without holding the caller's thread: a ticket check is handed to the
// store, and `done` runs on a thread of the store once its batch is durable; every other command
// runs whole as one task given to `runSlow`. `done` runs exactly once, with the answer or with what
// execute() would have thrown (never BadCommand: parsing is the caller's, before this, so that a
// command text is parsed once).
void executeAsync(Store& store, ParsedCommand command, Caller caller, const SlowRunner& runSlow,
                  AnswerDone done);

}  // namespace tav::server
