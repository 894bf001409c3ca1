// Writing of the install-folder files: pictures, sounds and the venue's settings file.
#include "assets/install.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStringEncoder>
#include <stdexcept>

#include "assets/pictures.h"
#include "assets/sounds.h"
#include "wire/protocol.h"

namespace tav::assets {
namespace {

void writeFile(const QString& path, const QByteArray& bytes) {
  QSaveFile f(path);
  if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size() || !f.commit())
    throw std::runtime_error("Cannot write " + path.toStdString() + ": " + f.errorString().toStdString() + ".");
}

}  // namespace

QByteArray iniFile(const QString& placeCode) {
  if (placeCode.contains(u'\n') || placeCode.contains(u'\r'))
    throw std::invalid_argument("A place code cannot hold a line break.");
  QStringEncoder toAnsi("windows-949", QStringConverter::Flag::Stateless);
  const QByteArray code = toAnsi(placeCode);
  if (toAnsi.hasError())
    throw std::invalid_argument("The place code cannot be written in code page 949.");
  return "[Marovex]\r\nPlaceCode=" + code + "\r\n";
}

QByteArray caCertificateFile(const QString& caFile) {
  const std::string name = caFile.toStdString();
  QFile f(caFile);
  if (!f.open(QIODevice::ReadOnly))
    throw std::invalid_argument("The CA certificate " + name + " cannot be read: " + f.errorString().toStdString() + ".");
  const QByteArray bytes = f.readAll();
  // A station needs the CA's certificate only; a key copied onto it could sign a false server.
  if (bytes.contains("PRIVATE KEY-----"))
    throw std::invalid_argument(name + " holds a private key; give the CA certificate (ca.pem) alone, never a key.");
  BIO* bio = BIO_new_mem_buf(bytes.constData(), static_cast<int>(bytes.size()));
  if (!bio) throw std::invalid_argument("The CA certificate " + name + " cannot be read.");
  int certificates = 0;
  bool allCa = true;
  while (X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
    ++certificates;
    allCa = allCa && X509_check_ca(cert) >= 1;
    X509_free(cert);
  }
  BIO_free(bio);
  ERR_clear_error();
  if (certificates == 0) throw std::invalid_argument(name + " is not a PEM certificate.");
  if (!allCa)
    throw std::invalid_argument(name + " holds a certificate that is not a CA's; give the CA certificate (ca.pem).");
  return bytes;
}

QByteArray stationKeyFile(const QString& keyFile) {
  const std::string name = keyFile.toStdString();
  QFile f(keyFile);
  if (!f.open(QIODevice::ReadOnly))
    throw std::invalid_argument("The station key " + name + " cannot be read: " + f.errorString().toStdString() + ".");
  // A key file is a few dozen bytes; anything much larger is some other file.
  const QByteArray key = f.read(256).trimmed();
  if (!wire::isStationKey(std::string_view(key.constData(), static_cast<std::size_t>(key.size()))))
    throw std::invalid_argument(name + " is not a station key; give the file that \"tav-server add-station --key-file\" wrote.");
  return key + "\n";
}

void writeInstallFolder(const QString& folder, const QString& placeCode, const QByteArray& caPem,
                        const QByteArray& stationKey) {
  const QByteArray ini = iniFile(placeCode);
  QDir dir(folder);
  if (!dir.mkpath(QStringLiteral(".")))
    throw std::runtime_error("Cannot create the folder " + folder.toStdString() + ".");
  // The same bytes as the built-in copies: a station shows the same face with or without the file.
  for (const QString& name : pictureFiles()) {
    const QByteArray jpeg = pictureBytes(name);
    if (jpeg.isEmpty()) throw std::runtime_error("The station has no picture " + name.toStdString() + ".");
    writeFile(dir.filePath(name), jpeg);
  }
  for (const QString& name : soundFiles()) writeFile(dir.filePath(name), sound(name));
  writeFile(dir.filePath(QStringLiteral("tav.ini")), ini);
  if (!caPem.isEmpty()) writeFile(dir.filePath(QStringLiteral("ca.pem")), caPem);
  if (!stationKey.isEmpty()) writeFile(dir.filePath(QStringLiteral("station.key")), stationKey);
}

}  // namespace tav::assets
