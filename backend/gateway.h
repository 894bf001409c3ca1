// The remote data service as the station uses it: a data space, the business object it creates,
// the Query method and the recordset it answers, over HTTP with the shared JSON codec.
#pragma once

#include <QString>
#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "backend/errors.h"
#include "wire/recordset.h"

namespace tav::backend {

// A field of the current row.
class Field {
 public:
  Field(wire::Value value, QString name);
  // The value's text form (a number in decimal); throws BackendError for null. Not trimmed.
  QString text() const;
  bool isNull() const;

 private:
  wire::Value value_;
  QString name_;
};

class Fields {
 public:
  explicit Fields(const class Recordset* rs) : rs_(rs) {}
  // The field of the current row whose name matches without regard to letter case; throws
  // BackendError when there is no such field or no current row.
  Field Item(const QString& name) const;

 private:
  const class Recordset* rs_;
};

class Recordset {
 public:
  explicit Recordset(wire::Recordset data);
  bool isEOF() const;  // no current row
  Fields fields() const { return Fields(this); }
  void Close();
  const wire::Recordset& data() const { return data_; }

 private:
  wire::Recordset data_;
  bool closed_ = false;
};

// The back-end's session: the last `tav_session` cookie it set, kept in memory only, so that the
// operator who signed in is the one asking on every later call. One jar for the whole program,
// since the windows make a new proxy for every call.
class SessionCookie {
 public:
  static constexpr const char* kName = "tav_session";

  // The Cookie header's value to send ("tav_session=<token>"), or empty when there is no session.
  std::string header() const;
  // Takes the Set-Cookie values of one answer: a `tav_session` with a value replaces the kept one,
  // one with an empty value or Max-Age of 0 or less ends it; other cookies and their attributes
  // are ignored. No `tav_session` among them leaves the kept one as it is.
  void take(const std::vector<std::string>& setCookies);
  void clear();

 private:
  mutable std::mutex mutex_;
  std::string value_;
};

// The jar every proxy of this program shares.
SessionCookie& sessionCookie();

// Whether the install folder holds a station key (station.key), read afresh: a registered gate PC.
bool stationRegistered();

// What one HTTP request to the back-end brought back: a status and body, or no answer (status 0)
// and why.
struct HttpReply {
  int status = 0;
  std::string body;
  std::string why;
  std::string retryAfter;  // the Retry-After header's value, when there is one
  // 502 and 503 say that the call was not taken, so they count as no answer for a retry.
  bool answered() const { return status != 0 && status != 502 && status != 503; }
};

// One request to the back-end at `url` (the station's back-end address; `path` goes below its
// path, with its query when it has one): the session cookie and the install folder's station key
// go with it, `key` as its idempotency key unless empty, and any cookie the answer sets is kept.
// Blocks for at most the two time-outs. Throws BackendError for what no retry mends: an unusable
// address, a certificate not trusted, a damaged station key.
HttpReply backendRequest(const QString& url, std::string_view method, const std::string& path,
                         const std::string& body, const std::string& key, std::chrono::milliseconds connectTimeout,
                         std::chrono::milliseconds readTimeout);

// The proxy of the server-side business object: remembers ProgID and URL, touches no network.
class BusinessObject {
 public:
  BusinessObject(QString progId, QString url);
  // POST <url>/objects/<progId>/Query with the command text (UTF-8). Blocks; connect time-out 3 s,
  // read time-out 10 s. Sends the session cookie when there is one and keeps the one any HTTP
  // answer sets, even an answer that is then a failure. Throws BackendError on any failure.
  //
  // A ticket check goes with an idempotency key, and when it gets no answer it is sent once more
  // with the same key, both attempts within the same 10 s. A check that stays unanswered keeps its
  // key for a later call with the same command text (UnansweredChecks).
  //
  // With offline checking on, a check the station decides itself (the back-end out of reach at
  // the connection level on both attempts, or a ticket with offline decisions not yet handed
  // over) is answered by the station's offline engine (offlineStation()) instead.
  std::unique_ptr<Recordset> Query(const QString& commandText);

 private:
  // One POST of `body` to the Query path, with `key` as its idempotency key unless empty.
  HttpReply send(const std::string& body, const std::string& key, std::chrono::milliseconds connectTimeout,
                 std::chrono::milliseconds readTimeout) const;
  // The reply's recordset; throws BackendError of the reply's kind for anything else.
  std::unique_ptr<Recordset> recordsetOf(const HttpReply& reply) const;

  QString progId_;
  QString url_;
};

class DataSpace {
 public:
  std::unique_ptr<BusinessObject> CreateObject(const QString& progId, const QString& url);
};

// Runs `commandText` through the business object's Query and returns the recordset.
std::unique_ptr<Recordset> BackendQuery(BusinessObject& object, const QString& commandText);

// Leading and trailing space characters removed (only U+0020, as the station's Trim does).
QString trimSpaces(const QString& text);

}  // namespace tav::backend
