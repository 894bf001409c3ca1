// The one mapping from the back-end's error types to an HTTP status and sentence.
#include "server/http/responses.h"

#include <boost/beast/http/field.hpp>
#include <boost/beast/http/status.hpp>

#include "server/core/errors.h"
#include "server/http/log.h"
#include "wire/recordset.h"

namespace tav::server {

namespace http = boost::beast::http;

HttpResponse errorResponse(unsigned status, const std::string& sentence) {
  HttpResponse response{static_cast<http::status>(status), 11};
  response.set(http::field::content_type, "application/json");
  response.body() = wire::encodeError(sentence);
  return response;
}

HttpResponse notFoundResponse() { return errorResponse(404, "There is no such object or route on this server."); }

HttpResponse failureResponse(const std::exception_ptr& error, const std::string& notSignedIn) {
  try {
    std::rethrow_exception(error);
  } catch (const BadCommand& e) {
    return errorResponse(400, e.what());
  } catch (const NotSignedIn& e) {
    return errorResponse(401, notSignedIn.empty() ? std::string(e.what()) : notSignedIn);
  } catch (const SetupError& e) {
    return errorResponse(404, e.what());
  } catch (const ActionRefused& e) {
    return errorResponse(409, e.what());
  } catch (const KeyMismatch& e) {
    return errorResponse(422, e.what());
  } catch (const StoreUnavailable& e) {
    return errorResponse(503, e.what());
  } catch (const OutcomeUnknown& e) {
    return errorResponse(503, e.what());
  } catch (const std::exception& e) {
    logLine(std::string("internal failure: ") + e.what());
  } catch (...) {
    logLine("internal failure: an unknown exception");
  }
  return errorResponse(500, "The server could not answer the request.");
}

}  // namespace tav::server
