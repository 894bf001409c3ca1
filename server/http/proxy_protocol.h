// The PROXY protocol, version 2 (HAProxy's send-proxy-v2): the client's address a trusted proxy
// sends ahead of a connection's first byte.
#pragma once

#include <boost/asio/ip/address.hpp>

#include <cstddef>
#include <optional>
#include <string_view>

namespace tav::server {

// The fixed part: the 12-byte signature, version and command, family, and the length of the rest.
inline constexpr std::size_t kProxyHeaderFixedBytes = 16;
// A whole header at most this long (a TCP segment's minimum size): the addresses take 36 bytes at
// most, and what a proxy adds after them (TLVs) is small; a longer one is refused, not buffered.
inline constexpr std::size_t kMaxProxyHeaderBytes = 536;

struct ProxyHeader {
  // PROXY: the address of the client the proxy relays. None for LOCAL, the proxy's own connection
  // (its health checks), which stands for the proxy itself.
  std::optional<boost::asio::ip::address> source;
};

// How many bytes follow the fixed part; `fixed` holds kProxyHeaderFixedBytes. Throws
// std::invalid_argument with one sentence when they are not the fixed part of a version 2 header
// within kMaxProxyHeaderBytes (a version 1 text header among them).
std::size_t proxyHeaderRest(std::string_view fixed);

// Reads a whole header: the fixed part and the proxyHeaderRest() bytes after it. Throws
// std::invalid_argument with one sentence when it is not one this server takes: PROXY over TCP
// on IPv4 or IPv6, or LOCAL (whatever family it names).
ProxyHeader parseProxyHeader(std::string_view header);

// True when `first` (a connection's first bytes) begins with either version's signature: the
// 12 bytes of version 2, or version 1's "PROXY ".
bool startsWithProxySignature(std::string_view first);

}  // namespace tav::server
