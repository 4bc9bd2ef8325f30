// Refresh rate of a video mode from its timings, in whole hertz.
#pragma once

#include <cstdint>

// Rounded to the nearest hertz in integer arithmetic, so 59.94 Hz and
// 60.32 Hz modes both read 60. Double-scan shows each line twice and
// interlace draws half the lines per field. 0 when the totals are 0.
inline std::uint32_t RefreshRate(std::uint64_t dotClockHz, std::uint64_t hTotal,
                                 std::uint64_t vTotal, bool doubleScan,
                                 bool interlace) {
  std::uint64_t dots = hTotal * vTotal;
  if (doubleScan) {
    dots *= 2;
  }
  if (interlace) {
    dots /= 2;
  }
  if (dots == 0) {
    return 0;
  }
  return static_cast<std::uint32_t>((dotClockHz + dots / 2) / dots);
}
