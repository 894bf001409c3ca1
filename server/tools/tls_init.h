// A site's own certificate authority and the server certificate it signs, for `tav-server tls-init`.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace tav::server {

// A name or address that cannot go into a certificate: the sentence says which and why.
class TlsInitError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The four files tls-init writes into its folder.
struct TlsFiles {
  std::string caCert;      // ca.pem: the CA certificate, the only file the stations get
  std::string caKey;       // ca-key.pem: the CA's private key (0600)
  std::string serverCert;  // server.pem: the server certificate, then the CA certificate
  std::string serverKey;   // server-key.pem: the server's private key (0600)
};

// The file names tls-init uses in `dir`.
TlsFiles tlsFilesIn(const std::string& dir);

// Throws TlsInitError unless `host` is an IPv4 or IPv6 address or a DNS name (labels of letters,
// digits and hyphens, a leading "*." allowed) that a certificate can name.
void checkCertificateHost(const std::string& host);

// Makes a CA (ECDSA P-256 key, self-signed, valid 10 years) and a server certificate it signs
// (ECDSA P-256, valid 825 days, subjectAltName for every host: IP entries for addresses, DNS
// entries for names) and writes them as tlsFilesIn(dir), the keys with mode 0600. `dir` is made
// when missing. Throws TlsInitError, with nothing written, when `hosts` is empty or holds a bad
// host, or when any of the four files exists already; throws TlsInitError naming the file when
// one cannot be written, after removing what it wrote.
TlsFiles makeTlsFiles(const std::string& dir, const std::vector<std::string>& hosts);

}  // namespace tav::server
