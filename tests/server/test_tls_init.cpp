// tls-init's CA and server certificate, a real tav-server serving them, and serve's refusal of
// plain HTTP on an address other than loopback.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <arpa/inet.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/server/server_process.h"

namespace tav::test {
namespace {

const char* const kFiles[] = {"ca.pem", "ca-key.pem", "server.pem", "server-key.pem"};

struct X509Free {
  void operator()(X509* p) const { X509_free(p); }
};
using Cert = std::unique_ptr<X509, X509Free>;

// Every certificate of a PEM file, in file order.
std::vector<Cert> certificates(const std::string& path) {
  std::vector<Cert> all;
  BIO* bio = BIO_new_file(path.c_str(), "r");
  if (!bio) return all;
  while (X509* c = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) all.emplace_back(c);
  BIO_free(bio);
  return all;
}

EVP_PKEY* privateKey(const std::string& path) {
  BIO* bio = BIO_new_file(path.c_str(), "r");
  if (!bio) return nullptr;
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  return key;
}

// The subjectAltName entries as "DNS:name" and "IP:address".
std::set<std::string> altNames(X509* cert) {
  std::set<std::string> names;
  auto* list = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
  for (int i = 0; list && i < sk_GENERAL_NAME_num(list); ++i) {
    const GENERAL_NAME* n = sk_GENERAL_NAME_value(list, i);
    if (n->type == GEN_DNS) {
      names.insert("DNS:" + std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(n->d.dNSName)),
                                        static_cast<std::size_t>(ASN1_STRING_length(n->d.dNSName))));
    } else if (n->type == GEN_IPADD) {
      char text[INET6_ADDRSTRLEN] = {};
      const int len = ASN1_STRING_length(n->d.iPAddress);
      inet_ntop(len == 4 ? AF_INET : AF_INET6, ASN1_STRING_get0_data(n->d.iPAddress), text, sizeof text);
      names.insert(std::string("IP:") + text);
    }
  }
  GENERAL_NAMES_free(list);
  return names;
}

// Days from now until the certificate ends.
int daysLeft(X509* cert) {
  int days = 0, seconds = 0;
  ASN1_TIME_diff(&days, &seconds, nullptr, X509_get0_notAfter(cert));
  return days;
}

unsigned modeOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

std::size_t lines(const std::string& text) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')); }

TEST(TlsInit, WritesACaAndAServerCertificateForEveryHostWithPrivateKeys) {
  TempDir dir;
  const std::string tls = dir.file("tls");  // made by tls-init
  const ToolResult r =
      runTool({"tls-init", "--dir", tls, "--host", "tav.example.org", "--host", "10.1.2.3", "--host", "::1"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(r.err.empty()) << r.err;
  EXPECT_NE(r.out.find("serve --store STORE --listen 0.0.0.0:8470 --tls-cert " + tls + "/server.pem --tls-key " + tls +
                       "/server-key.pem"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("tav-assets /opt/orltav/ --place PLACECODE --ca " + tls + "/ca.pem"), std::string::npos) << r.out;

  EXPECT_EQ(modeOf(tls + "/ca-key.pem"), 0600u);
  EXPECT_EQ(modeOf(tls + "/server-key.pem"), 0600u);
  EXPECT_EQ(modeOf(tls + "/ca.pem") & 077, 044u);  // the stations' copy may be read by anyone

  const std::vector<Cert> ca = certificates(tls + "/ca.pem");
  const std::vector<Cert> chain = certificates(tls + "/server.pem");
  ASSERT_EQ(ca.size(), 1u);
  ASSERT_EQ(chain.size(), 2u);
  X509* server = chain[0].get();
  EXPECT_EQ(X509_cmp(chain[1].get(), ca[0].get()), 0) << "server.pem ends with the CA certificate";
  EXPECT_EQ(X509_check_ca(ca[0].get()), 1);
  EXPECT_EQ(X509_check_ca(server), 0);

  EXPECT_EQ(altNames(server), (std::set<std::string>{"DNS:tav.example.org", "IP:10.1.2.3", "IP:::1"}));
  EXPECT_EQ(X509_check_host(server, "tav.example.org", 0, 0, nullptr), 1);
  EXPECT_EQ(X509_check_ip_asc(server, "10.1.2.3", 0), 1);
  EXPECT_NE(X509_check_host(server, "other.example.org", 0, 0, nullptr), 1);
  EXPECT_NE(X509_check_ip_asc(server, "10.1.2.4", 0), 1);

  // Signed by the CA's key, each key the one of its certificate, both ECDSA P-256.
  EVP_PKEY* caKey = privateKey(tls + "/ca-key.pem");
  EVP_PKEY* serverKey = privateKey(tls + "/server-key.pem");
  ASSERT_TRUE(caKey && serverKey);
  EXPECT_EQ(X509_verify(server, caKey), 1);
  EXPECT_EQ(X509_verify(ca[0].get(), caKey), 1);
  EXPECT_EQ(X509_check_private_key(ca[0].get(), caKey), 1);
  EXPECT_EQ(X509_check_private_key(server, serverKey), 1);
  for (EVP_PKEY* key : {caKey, serverKey}) {
    EXPECT_TRUE(EVP_PKEY_is_a(key, "EC"));
    EXPECT_EQ(EVP_PKEY_get_bits(key), 256);
  }
  EVP_PKEY_free(caKey);
  EVP_PKEY_free(serverKey);

  EXPECT_GE(daysLeft(ca[0].get()), 3649);
  EXPECT_LE(daysLeft(ca[0].get()), 3651);
  EXPECT_GE(daysLeft(server), 824);
  EXPECT_LE(daysLeft(server), 826);

  // A second run makes a different CA: the serial numbers are random.
  TempDir other;
  ASSERT_EQ(runTool({"tls-init", "--dir", other.file("tls"), "--host", "tav.example.org"}).exitCode, 0);
  const std::vector<Cert> otherCa = certificates(other.file("tls/ca.pem"));
  ASSERT_EQ(otherCa.size(), 1u);
  EXPECT_NE(ASN1_INTEGER_cmp(X509_get0_serialNumber(otherCa[0].get()), X509_get0_serialNumber(ca[0].get())), 0);
}

TEST(TlsInit, NeverReplacesAnExistingFileAndThenWritesNothing) {
  for (const char* existing : kFiles) {
    SCOPED_TRACE(existing);
    TempDir dir;
    writeFile(dir.file(existing), "old");
    const ToolResult r = runTool({"tls-init", "--dir", dir.file(""), "--host", "127.0.0.1"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(lines(r.err), 1u) << r.err;
    EXPECT_NE(r.err.find(existing + std::string(" exists already")), std::string::npos) << r.err;
    EXPECT_EQ(readFile(dir.file(existing)), "old");
    for (const char* name : kFiles) {
      if (std::string(name) != existing) {
        EXPECT_FALSE(std::filesystem::exists(dir.file(name))) << name;
      }
    }
  }
}

TEST(TlsInit, RefusesHostsNoCertificateCanNameWithExitCode2) {
  struct Case {
    std::vector<std::string> hosts;
    std::string says;
  };
  const std::vector<Case> cases = {
      {{}, "Option --host is missing"},
      {{""}, "neither an IP address nor a DNS name"},
      {{"tav..example.org"}, "neither an IP address nor a DNS name"},
      {{"-tav.example.org"}, "neither an IP address nor a DNS name"},
      {{"tav_1.example.org"}, "neither an IP address nor a DNS name"},
      {{"tav.example.org", "gate one"}, "\"gate one\""},
      {{"10.0.0.300"}, "looks like an IP address"},
      {{"http://tav.example.org"}, "neither an IP address nor a DNS name"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::vector<std::string> args{"tls-init", "--dir", dir.file("tls")};
    for (const std::string& h : c.hosts) args.insert(args.end(), {"--host", h});
    const ToolResult r = runTool(args);
    SCOPED_TRACE(c.says);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(lines(r.err), 1u) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("tls")));
  }
}

TEST(TlsInit, ServedByTavServerItIsTrustedThroughTheCaAlone) {
  TempDir dir;
  const std::string tls = dir.file("tls");
  setupTool({"tls-init", "--dir", tls, "--host", "127.0.0.1"});
  setupTool({"init", "--store", dir.file("store.db")});
  ServerProcess server(dir.file("store.db"), {"--tls-cert", tls + "/server.pem", "--tls-key", tls + "/server-key.pem"});
  server.start();
  ASSERT_EQ(server.url().rfind("https://", 0), 0u) << server.url();

  const std::string otherCa = dir.file("other");
  setupTool({"tls-init", "--dir", otherCa, "--host", "127.0.0.1"});
  for (const auto& [trust, reaches] : {std::pair<std::string, bool>{tls + "/ca.pem", true},
                                       std::pair<std::string, bool>{otherCa + "/ca.pem", false}}) {
    SCOPED_TRACE(trust);
    httplib::SSLClient client("127.0.0.1", server.port());
    client.set_ca_cert_path(trust.c_str());
    client.enable_server_certificate_verification(true);
    client.set_connection_timeout(3);
    client.set_read_timeout(10);
    auto res = client.Get("/health");
    EXPECT_EQ(static_cast<bool>(res), reaches) << httplib::to_string(res.error());
    if (reaches && res) {
      EXPECT_EQ(res->status, 200);
    }
  }
  EXPECT_EQ(server.stop(), 0);
}

TEST(TlsServe, RefusesPlainHttpOnAnAddressOtherThanLoopback) {
  TempDir dir;
  const std::string store = dir.file("store.db");
  setupTool({"init", "--store", store});
  for (const std::string listen : {"0.0.0.0:0", "[::]:0", "192.0.2.1:0", "tav.example.org:0"}) {
    SCOPED_TRACE(listen);
    const ToolResult r = runTool({"serve", "--store", store, "--listen", listen});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(lines(r.err), 1u) << r.err;
    EXPECT_NE(r.err.find("not a loopback address"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--plain-http"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("listening"), std::string::npos) << r.err;
  }
  const ToolResult both = runTool({"serve", "--store", store, "--listen", "0.0.0.0:0", "--plain-http", "--tls-cert",
                                   dir.file("c.pem"), "--tls-key", dir.file("k.pem")});
  EXPECT_EQ(both.exitCode, 2);
  EXPECT_NE(both.err.find("--plain-http cannot go with --tls-cert"), std::string::npos) << both.err;
}

// Reads the server's log until its start line; false when it ended first.
bool waitForStart(int err, std::string& log) {
  for (;;) {
    if (log.find("listening on") != std::string::npos && log.back() == '\n') return true;
    pollfd fd{err, POLLIN, 0};
    // The limit only guards against a hang; the server starts in milliseconds.
    if (poll(&fd, 1, 60000) <= 0) return false;
    char buf[4096];
    const ssize_t n = read(err, buf, sizeof buf);
    if (n <= 0) return false;
    log.append(buf, static_cast<std::size_t>(n));
  }
}

TEST(TlsServe, PlainHttpOnAnyAddressStartsWithAWarningEachTime) {
  TempDir dir;
  const std::string store = dir.file("store.db");
  setupTool({"init", "--store", store});
  for (int start = 0; start < 2; ++start) {
    SCOPED_TRACE(start);
    int in, out, err;
    const pid_t pid = detail::spawnServer({"serve", "--store", store, "--listen", "0.0.0.0:0", "--plain-http"}, in, out, err);
    close(in);
    close(out);
    std::string log;
    const bool started = waitForStart(err, log);
    ::kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    close(err);
    ASSERT_TRUE(started) << log;
    EXPECT_EQ(detail::exitCodeOf(status), 0);
    const auto warning = log.find("warning: serving plain HTTP on 0.0.0.0 (--plain-http)");
    EXPECT_NE(warning, std::string::npos) << log;
    EXPECT_LT(warning, log.find("listening on http://0.0.0.0:")) << log;
  }
}

}  // namespace
}  // namespace tav::test
