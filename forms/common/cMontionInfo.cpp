// Display metrics of the desktop through the platform layer.
#include "forms/common/cMontionInfo.h"

#include "platform/platform.h"

std::int32_t cMontionInfo::DisplayMonitorCount() const { return tav::platform().systemMetric(80); }
std::int32_t cMontionInfo::VirtualScreenWidth() const { return tav::platform().systemMetric(78); }
std::int32_t cMontionInfo::VirtualScreenHeight() const { return tav::platform().systemMetric(79); }
std::int32_t cMontionInfo::IsSameDisplayFormat() const { return tav::platform().systemMetric(81); }
