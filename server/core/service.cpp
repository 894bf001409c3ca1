// execute(): one command text, parsed strictly, run as its procedure.
#include "server/core/service.h"

#include "server/core/messages.h"
#include "server/core/procedures.h"
#include "wire/protocol.h"

namespace tav::server {

namespace {

// The ErrCode of the answer's first row, for the metrics ("" for statistics), and whether the
// request was signed in: every procedure that needs a session answers one without it "sign in
// again" (statistics throw instead), and a sign-in that succeeds hands a session out.
void noteCode(Answer& answer, CommandKind kind) {
  const auto& rs = answer.recordset;
  if (!rs.fields.empty() && rs.fields[0] == wire::kFieldErrCode && !rs.rows.empty())
    if (const auto* code = std::get_if<std::string>(&rs.rows[0][0])) answer.code = *code;
  switch (kind) {
    case CommandKind::OperatorSignIn:
      answer.signedIn = !answer.sessionToken.empty();
      break;
    case CommandKind::Statistics:
      answer.signedIn = true;
      break;
    case CommandKind::PlaceSignIn:
    case CommandKind::TicketCheck: {
      const std::string* message = rs.rows.empty() || rs.rows[0].size() < 2 ? nullptr
                                                                           : std::get_if<std::string>(&rs.rows[0][1]);
      answer.signedIn = message && *message != messages::kSignInAgain;
      break;
    }
  }
}

CheckRequest checkRequest(ParsedCommand& cmd) {
  auto& a = cmd.args;
  return CheckRequest{std::move(a[0]), std::move(a[1]), std::move(a[2]), std::move(a[3]), std::move(a[4])};
}

// Whatever else failed (memory, the password library) failed before anything was written.
std::exception_ptr asStoreFailure(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const StoreUnavailable&) {
    return error;
  } catch (const OutcomeUnknown&) {
    return error;
  } catch (const NotSignedIn&) {
    return error;
  } catch (const KeyMismatch&) {
    return error;
  } catch (const std::exception& e) {
    return std::make_exception_ptr(StoreUnavailable(std::string("The back-end could not answer: ") + e.what()));
  } catch (...) {
    return std::make_exception_ptr(StoreUnavailable("The back-end could not answer."));
  }
}

Answer run(Store& store, ParsedCommand cmd, const Caller& caller) {
  Answer answer;
  answer.procedure = std::string(cmd.name);
  const CommandKind kind = commandKind(cmd);
  try {
    const auto& a = cmd.args;
    switch (kind) {
      case CommandKind::OperatorSignIn:
        answer.recordset = loginOperator(store, a[0], a[1], caller, &answer.sessionToken);
        break;
      case CommandKind::PlaceSignIn:
        answer.recordset = loginPlace(store, a[0], caller);
        break;
      case CommandKind::Statistics:
        answer.recordset = statistics(store, a[1], caller);
        break;
      case CommandKind::TicketCheck:
        answer.recordset = checkTicket(store, checkRequest(cmd), caller);
        break;
    }
  } catch (...) {
    std::rethrow_exception(asStoreFailure(std::current_exception()));
  }
  noteCode(answer, kind);
  return answer;
}

}  // namespace

Answer execute(Store& store, std::string_view commandText, const Caller& caller) {
  return run(store, parseCommand(commandText), caller);
}

void executeAsync(Store& store, ParsedCommand command, Caller caller, const SlowRunner& runSlow,
                  AnswerDone done) {
  if (commandKind(command) != CommandKind::TicketCheck) {
    runSlow([&store, command = std::move(command), caller = std::move(caller), done = std::move(done)]() mutable {
      Answer answer;
      std::exception_ptr error;
      try {
        answer = run(store, std::move(command), caller);
      } catch (...) {
        error = std::current_exception();
      }
      done(std::move(answer), error);
    });
    return;
  }
  std::string procedure(command.name);
  checkTicketAsync(store, checkRequest(command), std::move(caller),
                   [procedure = std::move(procedure), done = std::move(done)](wire::Recordset rs,
                                                                               std::exception_ptr error) {
                     Answer answer;
                     if (error) {
                       done(std::move(answer), asStoreFailure(error));
                       return;
                     }
                     answer.procedure = procedure;
                     answer.recordset = std::move(rs);
                     noteCode(answer, CommandKind::TicketCheck);
                     done(std::move(answer), nullptr);
                   });
}

}  // namespace tav::server
