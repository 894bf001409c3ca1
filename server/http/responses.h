// The HTTP messages the server reads and writes, and how every route answers an error.
#pragma once

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/span_body.hpp>
#include <boost/beast/http/string_body.hpp>

#include <exception>
#include <string>
#include <string_view>

namespace tav::server {

using HttpRequest = boost::beast::http::request<boost::beast::http::string_body>;
using HttpResponse = boost::beast::http::response<boost::beast::http::string_body>;
// An answer whose body lies in memory that lives as long as the program (a page file compiled in,
// or its compressed form made once): every answer sends it from there, none holds a copy.
using FileResponse = boost::beast::http::response<boost::beast::http::span_body<const char>>;

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

// True when the request's Accept-Encoding takes gzip (named, or "*", with a q above 0).
bool acceptsGzip(const HttpRequest& request);

// `bytes` in gzip form, as a browser takes it with Content-Encoding: gzip.
std::string gzipped(std::string_view bytes);

// The gzip form of a file compiled into the server (bytes that live as long as the program),
// made at its first request and kept: every answer of that file sends it from here.
std::string_view gzippedFile(std::string_view bytes);

// The Content-Type of a page file by its name's ending: html, css, js, wav, wasm; octet-stream else.
std::string contentTypeOf(std::string_view name);

}  // namespace tav::server
