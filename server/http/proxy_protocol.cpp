// The PROXY protocol version 2 header read byte by byte, every length checked against the bytes
// that are there: it comes from the network, if only from a trusted proxy.
#include "server/http/proxy_protocol.h"

#include <stdexcept>
#include <string>

namespace tav::server {

namespace {

constexpr std::string_view kSignature{"\r\n\r\n\0\r\nQUIT\n", 12};
constexpr std::string_view kTextSignature = "PROXY ";

constexpr unsigned kVersion = 2;
constexpr unsigned kLocal = 0x0, kProxy = 0x1;
constexpr unsigned char kUnspecified = 0x00, kTcp4 = 0x11, kTcp6 = 0x21;
// Source and destination address, then source and destination port.
constexpr std::size_t kTcp4Block = 4 + 4 + 2 + 2, kTcp6Block = 16 + 16 + 2 + 2;
// A TLV's type and its two-byte length.
constexpr std::size_t kTlvHead = 3;

unsigned byteAt(std::string_view bytes, std::size_t at) { return static_cast<unsigned char>(bytes[at]); }

std::size_t blockOf(unsigned char family) {
  switch (family) {
    case kTcp4: return kTcp4Block;
    case kTcp6: return kTcp6Block;
    default: return 0;
  }
}

}  // namespace

std::size_t proxyHeaderRest(std::string_view fixed) {
  if (fixed.size() < kProxyHeaderFixedBytes) throw std::invalid_argument("The PROXY protocol header is cut short.");
  if (fixed.substr(0, kTextSignature.size()) == kTextSignature)
    throw std::invalid_argument("The connection begins with a PROXY protocol version 1 header; only version 2 is taken.");
  if (fixed.substr(0, kSignature.size()) != kSignature)
    throw std::invalid_argument("The connection does not begin with a PROXY protocol version 2 header.");
  if (byteAt(fixed, 12) >> 4 != kVersion)
    throw std::invalid_argument("The PROXY protocol header names version " + std::to_string(byteAt(fixed, 12) >> 4) +
                                "; only version 2 is taken.");
  const std::size_t rest = byteAt(fixed, 14) << 8 | byteAt(fixed, 15);
  if (kProxyHeaderFixedBytes + rest > kMaxProxyHeaderBytes)
    throw std::invalid_argument("The PROXY protocol header is longer than " + std::to_string(kMaxProxyHeaderBytes) +
                                " bytes.");
  return rest;
}

ProxyHeader parseProxyHeader(std::string_view header) {
  const std::size_t rest = proxyHeaderRest(header);
  if (header.size() != kProxyHeaderFixedBytes + rest)
    throw std::invalid_argument("The PROXY protocol header is not as long as it says.");
  const unsigned command = byteAt(header, 12) & 0x0f;
  const auto family = static_cast<unsigned char>(header[13]);
  if (command != kLocal && command != kProxy)
    throw std::invalid_argument("The PROXY protocol header's command is neither PROXY nor LOCAL.");
  if (family != kTcp4 && family != kTcp6 && !(command == kLocal && family == kUnspecified))
    throw std::invalid_argument("The PROXY protocol header relays a connection other than TCP over IPv4 or IPv6.");
  const std::size_t block = blockOf(family);
  if (rest < block) throw std::invalid_argument("The PROXY protocol header's address block is cut short.");
  // What follows the addresses (TLVs) says nothing this server uses, but it must add up.
  for (std::size_t at = kProxyHeaderFixedBytes + block; at < header.size();) {
    if (header.size() - at < kTlvHead) throw std::invalid_argument("The PROXY protocol header ends inside a TLV.");
    const std::size_t length = byteAt(header, at + 1) << 8 | byteAt(header, at + 2);
    if (header.size() - at - kTlvHead < length)
      throw std::invalid_argument("The PROXY protocol header ends inside a TLV.");
    at += kTlvHead + length;
  }
  ProxyHeader parsed;
  if (command == kLocal) return parsed;
  const std::string_view address = header.substr(kProxyHeaderFixedBytes);
  if (family == kTcp4) {
    boost::asio::ip::address_v4::bytes_type bytes;
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(address[i]);
    parsed.source = boost::asio::ip::address_v4(bytes);
  } else {
    boost::asio::ip::address_v6::bytes_type bytes;
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(address[i]);
    parsed.source = boost::asio::ip::address_v6(bytes);
  }
  return parsed;
}

bool startsWithProxySignature(std::string_view first) {
  return first.substr(0, kSignature.size()) == kSignature || first.substr(0, kTextSignature.size()) == kTextSignature;
}

}  // namespace tav::server
