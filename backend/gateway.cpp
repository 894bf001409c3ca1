// One back-end call: the business object's Query as an HTTP POST, the answer as a recordset.
#include "backend/gateway.h"

#include <httplib.h>

#include <QUrl>
#include <utility>

namespace tav::backend {

namespace {

constexpr time_t kConnectTimeoutSeconds = 3;
constexpr time_t kReadTimeoutSeconds = 10;

std::string quotedName(const QString& name) { return "\"" + name.toStdString() + "\""; }

}  // namespace

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
  const QUrl url(url_, QUrl::StrictMode);
  const QString scheme = url.scheme().toLower();
  if (!url.isValid() || (scheme != u"http" && scheme != u"https") || url.host().isEmpty())
    throw BackendError("The back-end address " + url_.toStdString() +
                       " is not an http or https URL.");

  QString host = url.host(QUrl::FullyEncoded);
  if (host.contains(u':')) host = u'[' + host + u']';  // IPv6 literal
  const int port = url.port(scheme == u"https" ? 443 : 80);
  httplib::Client client(
      (scheme + QStringLiteral("://") + host + u':' + QString::number(port)).toStdString());
  if (!client.is_valid())
    throw BackendError("The back-end address " + url_.toStdString() + " cannot be used.");
  client.set_connection_timeout(kConnectTimeoutSeconds, 0);
  client.set_read_timeout(kReadTimeoutSeconds, 0);
  client.set_write_timeout(kReadTimeoutSeconds, 0);
  client.set_tcp_nodelay(true);
  client.set_keep_alive(false);

  QString base = url.path(QUrl::FullyEncoded);
  while (base.endsWith(u'/')) base.chop(1);
  const QString path = base + QStringLiteral("/objects/") +
                       QString::fromUtf8(QUrl::toPercentEncoding(progId_, ".")) +
                       QStringLiteral("/Query");
  const std::string body = commandText.toStdString();

  const httplib::Result res = client.Post(path.toStdString(), body, "text/plain; charset=utf-8");
  if (!res)
    throw BackendError("The back-end at " + url_.toStdString() + " did not answer (" +
                       httplib::to_string(res.error()) + ").");
  if (res->status != 200) {
    std::string why = wire::decodeError(res->body);
    if (why.empty()) why = "no reason given";
    throw BackendError("The back-end refused the call with status " + std::to_string(res->status) +
                       ": " + why);
  }
  try {
    return std::make_unique<Recordset>(wire::decode(res->body));
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
