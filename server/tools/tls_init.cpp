// Making a site's private CA and its server certificate with OpenSSL, written as PEM files.
#include "server/tools/tls_init.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <system_error>

namespace tav::server {

namespace {

constexpr long kCaDays = 3650;
// Clients that follow the CA/Browser rules refuse server certificates valid for longer.
constexpr long kServerDays = 825;
// A station whose clock runs a little behind must still accept a certificate made just now.
constexpr long kBackdateSeconds = 60L * 60;

struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct X509Free {
  void operator()(X509* p) const { X509_free(p); }
};
struct BioFree {
  void operator()(BIO* p) const { BIO_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Cert = std::unique_ptr<X509, X509Free>;
using Bio = std::unique_ptr<BIO, BioFree>;

// OpenSSL's own reason for the last failure, for the end of a sentence.
std::string opensslReason() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "no reason given";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

[[noreturn]] void fail(const std::string& what) {
  throw TlsInitError(what + " (" + opensslReason() + ").");
}

bool isIpAddress(const std::string& host) {
  unsigned char buf[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

Pkey newKey() {
  Pkey key(EVP_EC_gen("P-256"));
  if (!key) fail("No ECDSA P-256 key could be made");
  return key;
}

void addExtension(X509* cert, X509V3_CTX& ctx, int nid, const std::string& value) {
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (!ext) fail(std::string("The certificate extension ") + OBJ_nid2sn(nid) + " could not be made");
  const int added = X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
  if (!added) fail(std::string("The certificate extension ") + OBJ_nid2sn(nid) + " could not be added");
}

// A certificate for `key` named `commonName`, valid from an hour ago for `days`, with a random
// serial number, not yet signed.
Cert newCertificate(EVP_PKEY* key, const std::string& commonName, long days) {
  Cert cert(X509_new());
  if (!cert || !X509_set_version(cert.get(), X509_VERSION_3)) fail("No certificate could be made");
  // 159 random bits: positive and unique enough that two runs never collide.
  BIGNUM* serial = BN_new();
  const bool serialSet = serial && BN_rand(serial, 159, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) &&
                         BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(cert.get()));
  BN_free(serial);
  if (!serialSet) fail("No serial number could be made");
  if (!X509_gmtime_adj(X509_getm_notBefore(cert.get()), -kBackdateSeconds) ||
      !X509_time_adj_ex(X509_getm_notAfter(cert.get()), static_cast<int>(days), 0, nullptr))
    fail("The certificate's validity could not be set");
  X509_NAME* name = X509_get_subject_name(cert.get());
  if (!X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                  reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0))
    fail("The certificate's name could not be set");
  if (!X509_set_pubkey(cert.get(), key)) fail("The certificate's key could not be set");
  return cert;
}

std::string pem(const std::function<int(BIO*)>& write, const char* what) {
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio || write(bio.get()) != 1) fail(std::string("The ") + what + " could not be written as PEM");
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

std::string certificatePem(X509* cert) {
  return pem([cert](BIO* b) { return PEM_write_bio_X509(b, cert); }, "certificate");
}

std::string keyPem(EVP_PKEY* key) {
  return pem([key](BIO* b) { return PEM_write_bio_PrivateKey(b, key, nullptr, nullptr, 0, nullptr, nullptr); },
             "private key");
}

// Creates `path` with `mode` (never replacing a file) and writes `bytes`.
void writeNewFile(const std::string& path, const std::string& bytes, mode_t mode) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) throw TlsInitError("Cannot create " + path + ": " + std::strerror(errno) + ".");
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int why = errno;
      ::close(fd);
      ::unlink(path.c_str());
      throw TlsInitError("Cannot write " + path + ": " + std::strerror(why) + ".");
    }
    done += static_cast<std::size_t>(n);
  }
  // The umask may have taken bits away, never added any; fchmod makes the mode exactly `mode`.
  bool ok = ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
  int why = errno;
  if (::close(fd) != 0 && ok) {
    why = errno;
    ok = false;
  }
  if (!ok) {
    ::unlink(path.c_str());
    throw TlsInitError("Cannot write " + path + ": " + std::strerror(why) + ".");
  }
}

}  // namespace

TlsFiles tlsFilesIn(const std::string& dir) {
  const std::filesystem::path d(dir);
  return {(d / "ca.pem").string(), (d / "ca-key.pem").string(), (d / "server.pem").string(),
          (d / "server-key.pem").string()};
}

void checkCertificateHost(const std::string& host) {
  if (isIpAddress(host)) return;
  const std::string bad = "The host \"" + host + "\" is neither an IP address nor a DNS name";
  if (host.empty() || host.size() > 253) throw TlsInitError(bad + ".");
  std::size_t start = 0;
  std::string lastLabel;
  while (true) {
    const std::size_t dot = host.find('.', start);
    const std::string label = host.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    const bool wildcard = start == 0 && label == "*" && dot != std::string::npos;
    if (!wildcard) {
      if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
        throw TlsInitError(bad + ".");
      for (char c : label)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') throw TlsInitError(bad + ".");
    }
    lastLabel = label;
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  // "10.0.0.300" reads as a name but is a mistyped address; no top-level domain is all digits.
  if (lastLabel.find_first_not_of("0123456789") == std::string::npos)
    throw TlsInitError(bad + " (it looks like an IP address, but is not one).");
}

TlsFiles makeTlsFiles(const std::string& dir, const std::vector<std::string>& hosts) {
  if (hosts.empty()) throw TlsInitError("The server certificate needs at least one host name or address.");
  for (const std::string& h : hosts) checkCertificateHost(h);
  const TlsFiles files = tlsFilesIn(dir);
  const std::string all[] = {files.caCert, files.caKey, files.serverCert, files.serverKey};
  for (const std::string& path : all) {
    std::error_code ec;
    if (std::filesystem::symlink_status(path, ec).type() != std::filesystem::file_type::not_found)
      throw TlsInitError(path + " exists already; tls-init never replaces a key or certificate, so nothing was written.");
  }

  // The CA: signs the server certificate and nothing else.
  Pkey caKey = newKey();
  Cert ca = newCertificate(caKey.get(), "TAV site CA (" + hosts.front() + ")", kCaDays);
  X509_set_issuer_name(ca.get(), X509_get_subject_name(ca.get()));
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, ca.get(), ca.get(), nullptr, nullptr, 0);
  addExtension(ca.get(), ctx, NID_basic_constraints, "critical,CA:TRUE,pathlen:0");
  addExtension(ca.get(), ctx, NID_key_usage, "critical,keyCertSign,cRLSign");
  addExtension(ca.get(), ctx, NID_subject_key_identifier, "hash");
  if (!X509_sign(ca.get(), caKey.get(), EVP_sha256())) fail("The CA certificate could not be signed");

  Pkey serverKey = newKey();
  Cert server = newCertificate(serverKey.get(), hosts.front(), kServerDays);
  X509_set_issuer_name(server.get(), X509_get_subject_name(ca.get()));
  X509V3_set_ctx(&ctx, ca.get(), server.get(), nullptr, nullptr, 0);
  std::string names;
  for (const std::string& h : hosts) names += (names.empty() ? "" : ",") + std::string(isIpAddress(h) ? "IP:" : "DNS:") + h;
  addExtension(server.get(), ctx, NID_basic_constraints, "critical,CA:FALSE");
  addExtension(server.get(), ctx, NID_key_usage, "critical,digitalSignature");
  addExtension(server.get(), ctx, NID_ext_key_usage, "serverAuth");
  addExtension(server.get(), ctx, NID_subject_key_identifier, "hash");
  addExtension(server.get(), ctx, NID_authority_key_identifier, "keyid:always");
  addExtension(server.get(), ctx, NID_subject_alt_name, names);
  if (!X509_sign(server.get(), caKey.get(), EVP_sha256())) fail("The server certificate could not be signed");

  const std::string caPem = certificatePem(ca.get());
  const std::string contents[] = {caPem, keyPem(caKey.get()), certificatePem(server.get()) + caPem,
                                  keyPem(serverKey.get())};
  const mode_t modes[] = {0644, 0600, 0644, 0600};

  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) throw TlsInitError("Cannot create the folder " + dir + ": " + ec.message() + ".");
  std::size_t written = 0;
  try {
    for (; written < 4; ++written) writeNewFile(all[written], contents[written], modes[written]);
  } catch (...) {
    // Half a set is worse than none: a CA key without its certificate cannot be used again.
    for (std::size_t i = 0; i < written; ++i) ::unlink(all[i].c_str());
    throw;
  }
  return files;
}

}  // namespace tav::server
