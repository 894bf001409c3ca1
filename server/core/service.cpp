// execute(): one command text, parsed strictly, run as its procedure.
#include "server/core/service.h"

#include "server/core/command_parser.h"
#include "server/core/procedures.h"
#include "wire/protocol.h"

namespace tav::server {

Answer execute(Store& store, std::string_view commandText) {
  ParsedCommand cmd = parseCommand(commandText);
  Answer answer;
  answer.procedure = std::string(cmd.name);
  try {
    const auto& a = cmd.args;
    if (cmd.procedure == ProcedureId::LoginInfo) {
      answer.recordset = a.size() == 2 ? loginOperator(store, a[0], a[1]) : loginPlace(store, a[0]);
    } else if (a[0] == wire::kModeStatistics) {
      answer.recordset = statistics(store, a[1]);
    } else {
      answer.recordset = checkTicket(store, CheckRequest{a[0], a[1], a[2], a[3], a[4]});
    }
  } catch (const StoreUnavailable&) {
    throw;
  } catch (const OutcomeUnknown&) {
    throw;
  } catch (const std::exception& e) {
    // Whatever else failed (memory, the password library) failed before anything was written.
    throw StoreUnavailable(std::string("The back-end could not answer: ") + e.what());
  }
  const auto& rs = answer.recordset;
  if (!rs.fields.empty() && rs.fields[0] == wire::kFieldErrCode && !rs.rows.empty())
    if (const auto* code = std::get_if<std::string>(&rs.rows[0][0])) answer.code = *code;
  return answer;
}

}  // namespace tav::server
