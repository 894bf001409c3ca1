// The machine's zone as the server shows it: names, offsets east of UTC and summer time.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "server/core/local_time.h"

namespace tav::test {
namespace {

// Sets TZ for the life of the object and puts back what it was.
class ZoneForTest {
 public:
  explicit ZoneForTest(const char* zone) {
    if (const char* was = std::getenv("TZ")) was_ = was;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneForTest() {
    if (was_)
      setenv("TZ", was_->c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  std::optional<std::string> was_;
};

TEST(LocalTime, ZoneNameOffsetAndTimeAtAMoment) {
  constexpr server::TimeMs kMay = 1714555800000;      // 2024-05-01 09:30:00 UTC
  constexpr server::TimeMs kJanuary = 1704101400000;  // 2024-01-01 09:30:00 UTC
  struct Case {
    const char* zone;
    server::TimeMs at;
    const char* name;
    std::int64_t offset;
    const char* shown;
  };
  for (const Case& c : {Case{"Asia/Seoul", kMay, "KST (+0900)", 540, "2024-05-01 18:30:00"},
                        Case{"UTC", kMay, "UTC (+0000)", 0, "2024-05-01 09:30:00"},
                        Case{"America/New_York", kMay, "EDT (-0400)", -240, "2024-05-01 05:30:00"},
                        Case{"America/New_York", kJanuary, "EST (-0500)", -300, "2024-01-01 04:30:00"}}) {
    ZoneForTest zone(c.zone);
    const server::LocalZone z = server::localZone(c.at);
    EXPECT_EQ(z.name, c.name) << c.zone;
    EXPECT_EQ(z.utcOffsetMinutes, c.offset) << c.zone;
    EXPECT_EQ(server::formatLocalTime(c.at), c.shown) << c.zone;
    EXPECT_EQ(server::parseLocalTime(c.shown, "the time"), c.at) << c.zone;
  }
}

}  // namespace
}  // namespace tav::test
