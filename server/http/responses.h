// The HTTP messages the server reads and writes, and how every route answers an error.
#pragma once

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include <exception>
#include <string>

namespace tav::server {

using HttpRequest = boost::beast::http::request<boost::beast::http::string_body>;
using HttpResponse = boost::beast::http::response<boost::beast::http::string_body>;

// {"error":"<sentence>"} with `status`, as every error answer is.
HttpResponse errorResponse(unsigned status, const std::string& sentence);

// The 404 of a path that no route serves, and of a page file that does not exist.
HttpResponse notFoundResponse();

// What a request that failed with `error` answers: each of the back-end's error types its status
// and its own sentence (BadCommand 400, NotSignedIn 401, SetupError 404, ActionRefused 409,
// KeyMismatch 422, StoreUnavailable and OutcomeUnknown 503); anything else is logged and answered
// 500. `notSignedIn`, when given, replaces NotSignedIn's sentence on routes that need more than a
// signed-in operator.
HttpResponse failureResponse(const std::exception_ptr& error, const std::string& notSignedIn = {});

}  // namespace tav::server
