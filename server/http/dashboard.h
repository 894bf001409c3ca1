// The live ingress dashboard's routes: its page, its figures as JSON, and the same pushed as
// Server-Sent Events to every open page, one snapshot per interval shared by all of them.
#pragma once

#include <boost/asio/any_io_executor.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "server/core/ingress.h"

namespace tav::server {

class Routes;
class SessionlessTally;
class Store;

// How often the stream pushes a new snapshot.
inline constexpr std::chrono::milliseconds kIngressInterval{2000};

// One of the page's files compiled into the program ("index.html", "dashboard.js", ...).
std::optional<std::string_view> dashboardFile(std::string_view name);

// The snapshot as the page reads it.
std::string ingressJson(const IngressSnapshot& snapshot);

class Dashboard {
 public:
  // Runs work that may wait on the store, off the I/O threads.
  using Runner = std::function<void(std::function<void()>)>;

  // The timer of the stream runs on `executor`. The strangers listed are `sessionless`'s, when given.
  Dashboard(Store& store, boost::asio::any_io_executor executor, Runner runner,
            const SessionlessTally* sessionless = nullptr, std::chrono::milliseconds interval = kIngressInterval);
  ~Dashboard();
  Dashboard(const Dashboard&) = delete;
  Dashboard& operator=(const Dashboard&) = delete;

  // Adds the dashboard's routes: its page and files, its figures and their stream, and the control
  // room's ticket lookup, stories and actions.
  void addRoutes(Routes& routes);

  // Ends every stream; the service calls it when it stops.
  void stop();

 private:
  struct Hub;
  std::shared_ptr<Hub> hub_;
};

}  // namespace tav::server
