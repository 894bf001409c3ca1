// The one mapping from the back-end's error types to an HTTP status and sentence.
#include "server/http/responses.h"

#include <boost/beast/http/field.hpp>
#include <boost/beast/http/rfc7230.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/core/string.hpp>

#include <zlib.h>

#include <map>
#include <mutex>
#include <stdexcept>

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

bool acceptsGzip(const HttpRequest& request) {
  for (const auto& [coding, params] : http::ext_list(request[http::field::accept_encoding])) {
    if (!boost::beast::iequals(coding, "gzip") && coding != "*") continue;
    bool refused = false;
    for (const auto& [name, value] : params)
      if (boost::beast::iequals(name, "q")) refused = value.find_first_not_of("0.") == std::string_view::npos;
    if (!refused) return true;
  }
  return false;
}

std::string gzipped(std::string_view bytes) {
  z_stream z{};
  // 15 bits of window, +16 for the gzip wrapper; the best compression, since it is made once.
  if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("zlib could not start a compression.");
  std::string out(deflateBound(&z, bytes.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  z.avail_in = static_cast<uInt>(bytes.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int result = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (result != Z_STREAM_END) throw std::runtime_error("zlib could not compress a page file.");
  return out;
}

std::string_view gzippedFile(std::string_view bytes) {
  static std::mutex mutex;
  // By where the bytes lie: two pages may name a file alike (index.html), never place it alike.
  static std::map<const char*, std::string> made;
  std::lock_guard<std::mutex> lock(mutex);
  auto it = made.find(bytes.data());
  if (it == made.end()) it = made.emplace(bytes.data(), gzipped(bytes)).first;
  return it->second;
}

std::string contentTypeOf(std::string_view name) {
  auto ends = [&](std::string_view ext) {
    return name.size() >= ext.size() && name.substr(name.size() - ext.size()) == ext;
  };
  if (ends(".html")) return "text/html; charset=utf-8";
  if (ends(".css")) return "text/css; charset=utf-8";
  if (ends(".js")) return "text/javascript; charset=utf-8";
  if (ends(".wav")) return "audio/wav";
  if (ends(".wasm")) return "application/wasm";
  return "application/octet-stream";
}

}  // namespace tav::server
