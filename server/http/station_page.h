// The station as a page for any browser: its files compiled into the program, the page's settings
// (the server's version, the place of the station its key names) and the names the service shares
// with it. Its checks go to the station route's own code (http_service.cpp) under kStationQueryPath.
#pragma once

#include <functional>
#include <optional>
#include <string_view>

namespace tav::server {

class Routes;
class StationDirectory;
class Store;

inline constexpr std::string_view kStationQueryPath = "/station/query";
// Sent with every answer to the page's checks, and in its settings: the page reloads itself
// between scans when it changes.
inline constexpr std::string_view kStationVersionHeader = "Tav-Version";

// One of the page's files compiled into the program ("index.html", "station.js", "ok.wav", ...).
std::optional<std::string_view> stationPageFile(std::string_view name);

// A digest of the page's files as compiled in (made by the build with the files).
std::string_view stationPageFilesDigest();

// The program's version and a digest of the page's files: another build of either is another version.
std::string_view stationPageVersion();

// Adds the page, its files and its settings, the redeeming of an enrolment code by the page, and
// the admin's route that makes one. `runner` runs work that may wait, off the I/O threads.
// `https`: the server speaks https, and its cookies say Secure.
void addStationPageRoutes(Routes& routes, Store& store, StationDirectory& stations,
                          std::function<void(std::function<void()>)> runner, bool https);

}  // namespace tav::server
