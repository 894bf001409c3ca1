// SourceLimits and AddressHistory: tables of source addresses, each under one lock.
#include "server/http/source_limits.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>

namespace tav::server {

namespace {

constexpr auto kWindow = std::chrono::minutes(1);

}  // namespace

SourceLimits::SourceLimits(std::size_t maxConnections, std::size_t maxSignInsPerMinute)
    : maxConnections_(std::max<std::size_t>(maxConnections, 1)),
      maxSignIns_(std::max<std::size_t>(maxSignInsPerMinute, 1)) {}

bool SourceLimits::openConnection(const Address& source, std::size_t cap) {
  std::lock_guard<std::mutex> lock(mutex_);
  Entry& entry = sources_[sourceGroup(source)];
  if (entry.connections - entry.verified >= std::min(maxConnections_, cap)) return false;
  ++entry.connections;
  return true;
}

void SourceLimits::markVerified(const Address& source, bool verified) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = sources_.find(sourceGroup(source));
  if (it == sources_.end()) return;
  Entry& entry = it->second;
  if (verified && entry.verified < entry.connections) ++entry.verified;
  if (!verified && entry.verified > 0) --entry.verified;
}

void SourceLimits::closeConnection(const Address& source, bool verified) {
  const auto now = Clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = sources_.find(sourceGroup(source));
  if (it == sources_.end()) return;
  Entry& entry = it->second;
  if (entry.connections > 0) --entry.connections;
  if (verified && entry.verified > 0) --entry.verified;
  forget(entry.signIns, now);
  if (entry.connections == 0 && entry.signIns.empty()) sources_.erase(it);
  sweep(now);
}

bool SourceLimits::admitSignIn(const Address& source, Clock::time_point now, std::chrono::seconds& retryAfter,
                               std::size_t* recent) {
  std::lock_guard<std::mutex> lock(mutex_);
  Entry& entry = sources_[sourceGroup(source)];
  forget(entry.signIns, now);
  if (recent) *recent = entry.signIns.size();
  if (entry.signIns.size() >= maxSignIns_) {
    const auto wait = entry.signIns.front() + kWindow - now;
    retryAfter = std::max(std::chrono::seconds(1), std::chrono::ceil<std::chrono::seconds>(wait));
    return false;
  }
  entry.signIns.push_back(now);
  sweep(now);
  return true;
}

void SourceLimits::forget(std::deque<Clock::time_point>& signIns, Clock::time_point now) {
  while (!signIns.empty() && signIns.front() + kWindow <= now) signIns.pop_front();
}

// A source that signed in and went away leaves its entry behind until it is seen again; once a
// minute every such entry is dropped, so that the table holds only sources of the last minute.
void SourceLimits::sweep(Clock::time_point now) {
  if (now - lastSweep_ < kWindow) return;
  lastSweep_ = now;
  for (auto it = sources_.begin(); it != sources_.end();) {
    forget(it->second.signIns, now);
    if (it->second.connections == 0 && it->second.signIns.empty()) {
      it = sources_.erase(it);
    } else {
      ++it;
    }
  }
}

AddressHistory::AddressHistory(std::size_t seen, std::size_t signedIn)
    : seenCapacity_(std::max<std::size_t>(seen, 1)), signedInCapacity_(std::max<std::size_t>(signedIn, 1)) {}

AddressStanding AddressHistory::noteAttempt(const Address& source, Clock::time_point now) {
  const Address group = sourceGroup(source);
  std::lock_guard<std::mutex> lock(mutex_);
  sweep(now);
  AddressStanding standing = AddressStanding::New;
  if (const auto it = seen_.find(group); it != seen_.end()) {
    if (now - it->second.first >= kAddressSettles) standing = AddressStanding::Settled;
    it->second.last = now;
  } else if (seen_.size() < seenCapacity_) {
    seen_.emplace(group, Seen{now, now});
  }
  if (signedIn_.count(group) > 0) standing = AddressStanding::SignedIn;
  return standing;
}

void AddressHistory::noteSignedIn(const Address& source, Clock::time_point now) {
  const Address group = sourceGroup(source);
  std::lock_guard<std::mutex> lock(mutex_);
  if (signedIn_.size() >= signedInCapacity_ && signedIn_.count(group) == 0) {
    const auto oldest = std::min_element(signedIn_.begin(), signedIn_.end(),
                                         [](const auto& a, const auto& b) { return a.second < b.second; });
    signedIn_.erase(oldest);
  }
  signedIn_[group] = now;
}

// At most once a minute, so that a crowd's attempts each cost a map lookup, not a scan.
void AddressHistory::sweep(Clock::time_point now) {
  if (now - lastSweep_ < kWindow) return;
  lastSweep_ = now;
  for (auto it = seen_.begin(); it != seen_.end();)
    it = now - it->second.last >= kAddressForgotten ? seen_.erase(it) : std::next(it);
}

boost::asio::ip::address plainAddress(const boost::asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped())
    return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6());
  return address;
}

boost::asio::ip::address sourceGroup(const boost::asio::ip::address& address) {
  const boost::asio::ip::address plain = plainAddress(address);
  if (!plain.is_v6()) return plain;
  boost::asio::ip::address_v6::bytes_type bytes = plain.to_v6().to_bytes();
  for (std::size_t i = 8; i < bytes.size(); ++i) bytes[i] = 0;
  return boost::asio::ip::address_v6(bytes);
}

bool Network::contains(const boost::asio::ip::address& candidate) const {
  const boost::asio::ip::address a = plainAddress(candidate);
  if (a.is_v4() != address.is_v4()) return false;
  auto bytesOf = [](const boost::asio::ip::address& x) {
    std::array<unsigned char, 16> out{};
    if (x.is_v4()) {
      const auto b = x.to_v4().to_bytes();
      std::copy(b.begin(), b.end(), out.begin());
    } else {
      const auto b = x.to_v6().to_bytes();
      std::copy(b.begin(), b.end(), out.begin());
    }
    return out;
  };
  const auto want = bytesOf(address), have = bytesOf(a);
  for (unsigned bit = 0; bit < bits; ++bit) {
    const unsigned mask = 0x80u >> (bit % 8);
    if ((want[bit / 8] & mask) != (have[bit / 8] & mask)) return false;
  }
  return true;
}

Network parseNetwork(std::string_view text) {
  const std::string bad = "\"" + std::string(text) + "\" is not an address or a network (ADDR/BITS).";
  const std::size_t slash = text.find('/');
  Network network;
  boost::system::error_code ec;
  network.address = plainAddress(boost::asio::ip::make_address(std::string(text.substr(0, slash)), ec));
  if (ec) throw std::invalid_argument(bad);
  const unsigned width = network.address.is_v4() ? 32 : 128;
  network.bits = width;
  if (slash != std::string_view::npos) {
    const std::string_view digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > 3) throw std::invalid_argument(bad);
    unsigned bits = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') throw std::invalid_argument(bad);
      bits = bits * 10 + static_cast<unsigned>(c - '0');
    }
    if (bits > width) throw std::invalid_argument(bad);
    network.bits = bits;
  }
  return network;
}

}  // namespace tav::server
