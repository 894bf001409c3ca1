// What one source address may hold of the server (open connections, sign-ins in a minute), and how
// far back its sign-ins are known.
#pragma once

#include <boost/asio/ip/address.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string_view>
#include <unordered_map>

namespace tav::server {

// Thread-safe: the I/O threads call it as connections open and close and as sign-ins arrive.
// Sources are counted by sourceGroup(), so an IPv6 client counts as its whole /64.
class SourceLimits {
 public:
  using Address = boost::asio::ip::address;
  using Clock = std::chrono::steady_clock;

  // Both limits at least 1.
  SourceLimits(std::size_t maxConnections, std::size_t maxSignInsPerMinute);

  // Counts a new connection of `source`, unverified; false, and nothing counted, when the source
  // already holds maxConnections unverified ones, or `cap` when that is lower. Connections whose
  // session or station key was verified count apart, so that a stranger behind a venue's address
  // cannot crowd its stations out.
  bool openConnection(const Address& source, std::size_t cap = SIZE_MAX);
  // A counted connection of `source` found verified, or no longer so.
  void markVerified(const Address& source, bool verified);
  // Uncounts a connection that openConnection counted; `verified` as last marked.
  void closeConnection(const Address& source, bool verified = false);

  // Counts a sign-in of `source` at `now`; false, and nothing counted, when the minute before
  // `now` already holds maxSignInsPerMinute of them. Then `retryAfter` is how long until the
  // oldest of them leaves that minute (at least one second). `recent` is set to how many the
  // source made in that minute before this one.
  bool admitSignIn(const Address& source, Clock::time_point now, std::chrono::seconds& retryAfter,
                   std::size_t* recent = nullptr);

  std::size_t maxConnections() const { return maxConnections_; }
  std::size_t maxSignInsPerMinute() const { return maxSignIns_; }

 private:
  struct Entry {
    std::size_t connections = 0;
    std::size_t verified = 0;  // of the connections
    std::deque<Clock::time_point> signIns;  // oldest first, all within the last minute once pruned
  };

  static void forget(std::deque<Clock::time_point>& signIns, Clock::time_point now);
  void sweep(Clock::time_point now);

  const std::size_t maxConnections_, maxSignIns_;
  std::mutex mutex_;
  std::unordered_map<Address, Entry> sources_;
  Clock::time_point lastSweep_ = Clock::now();
};

// How far back a sign-in's address is known, best last: what ranks a venue's keyless stations
// before a crowd of new addresses in the sign-in queue, however many addresses the crowd has.
enum class AddressStanding {
  New,       // first seen less than kAddressSettles ago, or not remembered
  Settled,   // first seen kAddressSettles ago or more: before a flood that began since
  SignedIn,  // an operator signed in from it: a stranger without a password cannot make one
};

// An address seen this long ago ranks before new ones.
inline constexpr std::chrono::minutes kAddressSettles{10};
// An address no sign-in came from for this long is forgotten, making room for others; one that an
// operator signed in from is kept until addresses that signed in later need its room.
inline constexpr std::chrono::hours kAddressForgotten{24};
// The addresses remembered: those of any sign-in, and those an operator signed in from. A few
// megabytes at most, whatever a crowd sends.
inline constexpr std::size_t kSeenAddresses = 16384;
inline constexpr std::size_t kSignedInAddresses = 4096;

// The addresses sign-ins came from, in bounded memory; thread-safe. Addresses are counted by
// sourceGroup(), so an IPv6 client is its /64.
class AddressHistory {
 public:
  using Address = boost::asio::ip::address;
  using Clock = std::chrono::steady_clock;

  // At most `seen` addresses of any sign-in and `signedIn` of successful ones (at least 1 each).
  explicit AddressHistory(std::size_t seen = kSeenAddresses, std::size_t signedIn = kSignedInAddresses);

  // Notes a sign-in attempt from `source` at `now` and returns its standing before it. A new
  // address is remembered while there is room; a full memory takes none until addresses unseen
  // for kAddressForgotten are forgotten, so a crowd never pushes out the addresses it found there.
  AddressStanding noteAttempt(const Address& source, Clock::time_point now);
  // Notes that an operator signed in from `source` at `now`: it stands SignedIn from then on (a
  // venue's gates may sign in only once a week). When that memory is full, the address whose last
  // sign-in is the oldest makes room.
  void noteSignedIn(const Address& source, Clock::time_point now);

 private:
  struct Seen {
    Clock::time_point first, last;
  };
  void sweep(Clock::time_point now);

  const std::size_t seenCapacity_, signedInCapacity_;
  std::mutex mutex_;
  std::unordered_map<Address, Seen> seen_;
  std::unordered_map<Address, Clock::time_point> signedIn_;  // the last successful sign-in
  Clock::time_point lastSweep_ = Clock::now();
};

// The address a source is counted and logged under: an IPv4 client of a dual-stack socket is
// its IPv4 address, not ::ffff:a.b.c.d.
boost::asio::ip::address plainAddress(const boost::asio::ip::address& address);

// What every per-address limit counts a client as: an IPv4 address itself, an IPv6 address as its
// /64, which one machine is usually given whole (a stranger picks any address inside it).
boost::asio::ip::address sourceGroup(const boost::asio::ip::address& address);

// An address with a prefix length ("10.0.3.0/24", "fd00:1::/64"), or one address.
struct Network {
  boost::asio::ip::address address;
  unsigned bits = 0;
  bool contains(const boost::asio::ip::address& candidate) const;
};

// Reads "ADDR[/BITS]"; throws std::invalid_argument with one sentence when it is not one.
Network parseNetwork(std::string_view text);

}  // namespace tav::server
