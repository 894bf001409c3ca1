// Display metrics of the desktop, read from the platform on every access.
#pragma once

#include <cstdint>

class cMontionInfo {
 public:
  // Number of display monitors (GetSystemMetrics 80).
  std::int32_t DisplayMonitorCount() const;
  // Size of the virtual screen that spans all monitors, in pixels (78, 79).
  std::int32_t VirtualScreenWidth() const;
  std::int32_t VirtualScreenHeight() const;
  // Non-zero when all monitors use the same colour format (81), as the platform answers it.
  std::int32_t IsSameDisplayFormat() const;
};
