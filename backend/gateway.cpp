// One back-end call: the business object's Query as an HTTP POST, the answer as a recordset.
#include "backend/gateway.h"

#include <httplib.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <QFile>
#include <QFileInfo>
#include <QUrl>
#include <algorithm>
#include <cctype>
#include <thread>
#include <utility>

#include "backend/commands.h"
#include "backend/idempotency.h"
#include "backend/offline_station.h"
#include "platform/pathmap.h"
#include "wire/protocol.h"

namespace tav::backend {

namespace {

using namespace std::chrono_literals;

constexpr std::chrono::milliseconds kConnectTimeout = 3s;
constexpr std::chrono::milliseconds kReadTimeout = 10s;
// A ticket check and its retry share the one call's 10 s: the first attempt stops waiting early
// enough to leave the retry time of its own, and a retry with less than a second left is not made.
constexpr std::chrono::milliseconds kCallBudget = kReadTimeout;
constexpr std::chrono::milliseconds kFirstAttemptReadTimeout = 7s;
constexpr std::chrono::milliseconds kRetryPause = 300ms;
constexpr std::chrono::milliseconds kShortestRetry = 1s;

// A site's own CA, put into the install folder by `tav-assets FOLDER --ca FILE`.
const QString kSiteCaPath = QStringLiteral("C:\\ORLTAV\\ca.pem");

// This gate PC's key, put into the install folder by `tav-assets FOLDER --station-key FILE`.
const QString kStationKeyPath = QStringLiteral("C:\\ORLTAV\\station.key");

std::string quotedName(const QString& name) { return "\"" + name.toStdString() + "\""; }

// The install folder's station key, read at every call as ca.pem is, so that a key installed
// while the station runs counts from its next call; empty when there is no station.key. Throws
// BackendError when the file is there but holds no key: a damaged file is a clear failure, not
// a silent fall-back to an unregistered station.
std::string stationKey() {
  const QString path = mapPath(kStationKeyPath);
  if (!QFileInfo::exists(path)) return {};
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly))
    throw BackendError("The station key " + path.toStdString() + " cannot be read.");
  const QByteArray key = f.read(256).trimmed();
  const std::string text = key.toStdString();
  if (!wire::isStationKey(text))
    throw BackendError("The file " + path.toStdString() +
                       " holds no station key; install it again with tav-assets --station-key.");
  return text;
}

struct StoreFree {
  void operator()(X509_STORE* s) const { X509_STORE_free(s); }
};

// The certificates a back-end's certificate may chain to: the system's trust store (OpenSSL's
// default paths, SSL_CERT_FILE and SSL_CERT_DIR included) and every certificate in the install
// folder's ca.pem when there is one. Throws BackendError when ca.pem is there but holds no
// certificate, so that a damaged file is a clear failure and not a silent fall-back.
X509_STORE* trustedCertificates() {
  std::unique_ptr<X509_STORE, StoreFree> store(X509_STORE_new());
  if (!store || X509_STORE_set_default_paths(store.get()) != 1)
    throw BackendError("The system's trusted certificates cannot be loaded.", BackendError::Kind::Untrusted);
  ERR_clear_error();
  const QString path = mapPath(kSiteCaPath);
  if (!QFileInfo::exists(path)) return store.release();

  const std::string where = path.toStdString();
  BIO* bio = BIO_new_file(QFile::encodeName(path).constData(), "r");
  if (!bio)
    throw BackendError("The CA certificate " + where + " cannot be read.", BackendError::Kind::Untrusted);
  int added = 0;
  while (X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
    added += X509_STORE_add_cert(store.get(), cert) == 1;
    X509_free(cert);
  }
  BIO_free(bio);
  // Reading stops at the end of the file with an error on the queue; it says nothing here.
  ERR_clear_error();
  if (added == 0)
    throw BackendError("The file " + where + " holds no PEM certificate; put the site's ca.pem there again.",
                       BackendError::Kind::Untrusted);
  return store.release();
}

std::string trimmed(const std::string& text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && blank(text[first])) ++first;
  while (last > first && blank(text[last - 1])) --last;
  return text.substr(first, last - first);
}

bool sameLetters(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return i == a.size() && b[i] == '\0';
}

// Max-Age of 0 or less is how a server ends a cookie at once; a value that is not a number is
// ignored, as browsers ignore it.
bool endsAtOnce(const std::string& attribute) {
  const std::size_t eq = attribute.find('=');
  if (eq == std::string::npos || !sameLetters(trimmed(attribute.substr(0, eq)), "max-age")) return false;
  const std::string value = trimmed(attribute.substr(eq + 1));
  const std::size_t firstDigit = !value.empty() && value[0] == '-' ? 1 : 0;
  if (firstDigit == value.size()) return false;
  for (std::size_t i = firstDigit; i < value.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(value[i]))) return false;
  return value[0] == '-' || value.find_first_not_of('0') == std::string::npos;
}

}  // namespace

bool stationRegistered() { return QFileInfo::exists(mapPath(kStationKeyPath)); }

// ---- SessionCookie ----

std::string SessionCookie::header() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return value_.empty() ? std::string() : std::string(kName) + '=' + value_;
}

void SessionCookie::take(const std::vector<std::string>& setCookies) {
  for (const std::string& setCookie : setCookies) {
    const std::size_t semicolon = setCookie.find(';');
    const std::string pair = setCookie.substr(0, semicolon);
    const std::size_t eq = pair.find('=');
    // Cookie names are matched exactly; a nameless or foreign cookie is not the session.
    if (eq == std::string::npos || trimmed(pair.substr(0, eq)) != kName) continue;
    std::string value = trimmed(pair.substr(eq + 1));
    // The attributes are the server's business; only one that ends the cookie matters here.
    for (std::size_t at = semicolon; at != std::string::npos;) {
      const std::size_t next = setCookie.find(';', at + 1);
      const std::size_t length = next == std::string::npos ? next : next - at - 1;
      if (endsAtOnce(setCookie.substr(at + 1, length))) value.clear();
      at = next;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    value_ = std::move(value);
  }
}

void SessionCookie::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  value_.clear();
}

SessionCookie& sessionCookie() {
  static SessionCookie jar;
  return jar;
}

// ---- Field ----

Field::Field(wire::Value value, QString name) : value_(std::move(value)), name_(std::move(name)) {}

QString Field::text() const {
  if (const auto* s = std::get_if<std::string>(&value_)) return QString::fromStdString(*s);
  if (const auto* n = std::get_if<std::int64_t>(&value_)) return QString::number(*n);
  throw BackendError("The field " + quotedName(name_) +
                     " has no value and cannot be read as text.");
}

bool Field::isNull() const { return std::holds_alternative<std::monostate>(value_); }

// ---- Fields ----

Field Fields::Item(const QString& name) const {
  if (rs_->isEOF())
    throw BackendError("The answer has no current row to read " + quotedName(name) + " from.");
  const wire::Recordset& data = rs_->data();
  for (std::size_t i = 0; i < data.fields.size(); ++i) {
    if (QString::fromStdString(data.fields[i]).compare(name, Qt::CaseInsensitive) == 0)
      return Field(data.rows.front()[i], name);
  }
  throw BackendError("The answer has no field " + quotedName(name) + ".");
}

// ---- Recordset ----

Recordset::Recordset(wire::Recordset data) : data_(std::move(data)) {}

bool Recordset::isEOF() const {
  if (closed_) throw BackendError("The recordset is closed.");
  return data_.rows.empty();
}

void Recordset::Close() { closed_ = true; }

// ---- BusinessObject ----

BusinessObject::BusinessObject(QString progId, QString url)
    : progId_(std::move(progId)), url_(std::move(url)) {}

std::unique_ptr<Recordset> BusinessObject::Query(const QString& commandText) {
  const std::string body = commandText.toStdString();
  const std::optional<TicketCheck> check = ticketCheckOf(commandText);
  if (!check) return recordsetOf(send(body, {}, kConnectTimeout, kReadTimeout));

  // One key for every attempt of this call: the back-end answers a check it already decided with
  // that decision, so a fan whose answer was lost is not turned away as already inside.
  const auto start = std::chrono::steady_clock::now();
  UnansweredChecks& unanswered = unansweredChecks();
  const std::string key = unanswered.keyFor(body, start);
  OfflineStation& offline = offlineStation();
  if (std::optional<wire::Recordset> local = offline.decideLocally(*check, key)) {
    unanswered.forget(body);
    return std::make_unique<Recordset>(std::move(*local));
  }

  HttpReply reply = send(body, key, kConnectTimeout, kFirstAttemptReadTimeout);
  // Only a back-end out of reach on every attempt sends the station offline: any answer of a live
  // server, a 503 included, is the failure line.
  bool unreachable = reply.status == 0;
  const auto left = [start] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(start + kCallBudget -
                                                                 std::chrono::steady_clock::now());
  };
  if (!reply.answered() && left() - kRetryPause >= kShortestRetry) {
    // A moment for a proxy to move the call to another server, or for a server to come back.
    std::this_thread::sleep_for(kRetryPause);
    // Its connect and read time-outs together fit in what is left of the call; a connection on a
    // gate's network takes milliseconds, so a third of the rest is ample for it.
    const std::chrono::milliseconds rest = left();
    const std::chrono::milliseconds connect = std::min(kConnectTimeout, rest / 3);
    reply = send(body, key, connect, rest - connect);
    unreachable = unreachable && reply.status == 0;
  }
  if (!reply.answered()) {
    if (unreachable) {
      // The check that found the outage is decided with the key of its attempts: should one of
      // them have reached the back-end after all, the hand-over finds it as the same check.
      if (std::optional<wire::Recordset> decided = offline.connectionFailed(*check, key)) {
        unanswered.forget(body);
        return std::make_unique<Recordset>(std::move(*decided));
      }
    }
    unanswered.remember(body, key);
    return recordsetOf(reply);
  }
  unanswered.forget(body);
  std::unique_ptr<Recordset> answer = recordsetOf(reply);
  if (!answer->data().rows.empty()) {
    const wire::Value& code = answer->data().rows.front().front();
    if (const auto* text = std::get_if<std::string>(&code)) offline.checkAnswered(*check, trimmed(*text));
  }
  return answer;
}

HttpReply backendRequest(const QString& urlText, std::string_view method, const std::string& path,
                         const std::string& body, const std::string& key, std::chrono::milliseconds connectTimeout,
                         std::chrono::milliseconds readTimeout) {
  const QUrl url(urlText, QUrl::StrictMode);
  const QString scheme = url.scheme().toLower();
  if (!url.isValid() || (scheme != u"http" && scheme != u"https") || url.host().isEmpty())
    throw BackendError("The back-end address " + urlText.toStdString() + " is not an http or https URL.");

  QString host = url.host(QUrl::FullyEncoded);
  if (host.contains(u':')) host = u'[' + host + u']';  // IPv6 literal
  const int port = url.port(scheme == u"https" ? 443 : 80);
  httplib::Client client(
      (scheme + QStringLiteral("://") + host + u':' + QString::number(port)).toStdString());
  if (!client.is_valid())
    throw BackendError("The back-end address " + urlText.toStdString() + " cannot be used.");
  client.set_connection_timeout(connectTimeout);
  client.set_read_timeout(readTimeout);
  client.set_write_timeout(readTimeout);
  client.set_tcp_nodelay(true);
  client.set_keep_alive(false);
  // The client takes the store and frees it with its TLS context.
  if (scheme == u"https") client.set_ca_cert_store(trustedCertificates());

  QString base = url.path(QUrl::FullyEncoded);
  while (base.endsWith(u'/')) base.chop(1);
  const std::string target = base.toStdString() + path;

  httplib::Headers headers;
  const std::string cookie = sessionCookie().header();
  if (!cookie.empty()) headers.emplace("Cookie", cookie);
  const std::string station = stationKey();
  if (!station.empty()) headers.emplace(std::string(wire::kStationHeader), station);
  if (!key.empty()) headers.emplace(std::string(wire::kIdempotencyHeader), key);

  const httplib::Result res = method == "GET"
                                  ? client.Get(target, headers)
                                  : client.Post(target, headers, body, "text/plain; charset=utf-8");
  if (res) {
    std::vector<std::string> setCookies;
    const auto range = res->headers.equal_range("Set-Cookie");
    for (auto it = range.first; it != range.second; ++it) setCookies.push_back(it->second);
    sessionCookie().take(setCookies);
    return HttpReply{res->status, res->body, {}, res->get_header_value("Retry-After")};
  }
  if (res.error() == httplib::Error::SSLServerVerification) {
    // The chain checked out and only the name failed when OpenSSL has no complaint.
    const long verify = client.get_openssl_verify_result();
    const std::string why = verify != X509_V_OK ? X509_verify_cert_error_string(verify)
                                                : "it is not made out to " + url.host().toStdString();
    throw BackendError("The back-end at " + urlText.toStdString() +
                           " showed a certificate this station does not trust (" + why +
                           "); a site's own CA belongs in the install folder as ca.pem.",
                       BackendError::Kind::Untrusted);
  }
  return HttpReply{0, {}, httplib::to_string(res.error()), {}};
}

HttpReply BusinessObject::send(const std::string& body, const std::string& key,
                               std::chrono::milliseconds connectTimeout,
                               std::chrono::milliseconds readTimeout) const {
  const std::string path = "/objects/" + QUrl::toPercentEncoding(progId_, ".").toStdString() + "/Query";
  return backendRequest(url_, "POST", path, body, key, connectTimeout, readTimeout);
}

std::unique_ptr<Recordset> BusinessObject::recordsetOf(const HttpReply& reply) const {
  if (reply.status == 0)
    throw BackendError("The back-end at " + url_.toStdString() + " did not answer (" + reply.why + ").",
                       BackendError::Kind::NoAnswer);
  if (reply.status != 200) {
    std::string why = wire::decodeError(reply.body);
    if (why.empty()) why = "no reason given";
    throw BackendError("The back-end refused the call with status " + std::to_string(reply.status) +
                           ": " + why,
                       reply.answered() ? BackendError::Kind::Other : BackendError::Kind::NoAnswer);
  }
  try {
    return std::make_unique<Recordset>(wire::decode(reply.body));
  } catch (const wire::WireError& e) {
    throw BackendError(std::string("The back-end's answer is not a recordset: ") + e.what());
  }
}

// ---- DataSpace ----

std::unique_ptr<BusinessObject> DataSpace::CreateObject(const QString& progId, const QString& url) {
  return std::make_unique<BusinessObject>(progId, url);
}

std::unique_ptr<Recordset> BackendQuery(BusinessObject& object, const QString& commandText) {
  return object.Query(commandText);
}

QString trimSpaces(const QString& text) {
  qsizetype first = 0;
  qsizetype last = text.size();
  while (first < last && text[first] == u' ') ++first;
  while (last > first && text[last - 1] == u' ') --last;
  return text.mid(first, last - first);
}

}  // namespace tav::backend
