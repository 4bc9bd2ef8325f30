#include "refresh_rate.h"

#include <gtest/gtest.h>

namespace {

struct Timing {
  const char *name;
  std::uint64_t clockHz;
  std::uint64_t hTotal;
  std::uint64_t vTotal;
  bool doubleScan;
  bool interlace;
  std::uint32_t hertz;
};

TEST(RefreshRate, RoundsToNearestHertz) {
  const Timing timings[] = {
      {"vesa_60_32", 40000000, 1056, 628, false, false, 60},
      {"ntsc_59_94", 25175000, 800, 525, false, false, 60},
      {"just_below_half", 100999, 100, 20, false, false, 50},
      {"exactly_half_rounds_up", 101000, 100, 20, false, false, 51},
      {"interlace_halves_dots", 40000000, 1056, 628, false, true, 121},
      {"double_scan_doubles_dots", 40000000, 1056, 628, true, false, 30},
      {"both", 40000000, 1056, 628, true, true, 60},
      {"zero_totals", 40000000, 0, 628, false, false, 0},
      {"interlace_one_dot", 40, 1, 1, false, true, 0},
      {"clock_beyond_32_bits", 8000000000ULL, 1000, 1000, false, false, 8000},
      {"totals_beyond_32_bits", 4000000000ULL, 65535, 65535, true, false, 0},
  };
  for (const Timing &t : timings) {
    EXPECT_EQ(
        RefreshRate(t.clockHz, t.hTotal, t.vTotal, t.doubleScan, t.interlace),
        t.hertz)
        << t.name;
  }
}

}  // namespace
