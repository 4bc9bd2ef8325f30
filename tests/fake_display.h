// A scripted display for tests, linked in place of a real display service.
#pragma once

#include <cstdint>
#include <vector>

#include "displaysettings.h"

struct FakeMode {
  std::uint32_t width;
  std::uint32_t height;
  std::uint32_t bitsPerPel;
  std::uint32_t frequency;
  long testResult;
};

struct FakeDisplay {
  std::vector<FakeMode> modes;
  bool endless = false;  // every read succeeds, with a 640 x 480 mode

  std::uint64_t reads = 0;  // every call, the failing one included
  std::uint64_t tests = 0;
  std::uint64_t readsOutOfOrder = 0;  // index not one past the previous
  std::uint64_t testsOfAlteredRecord = 0;
  std::uint64_t testsWithOtherFlags = 0;
  std::uint64_t readsWithBadHeader = 0;  // dmSize or dmDriverExtra wrong
  std::uint32_t lastIndex = 0;
  DEVMODEA lastRead{};
  DEVMODEA lastTested{};
};

// The display the fake services answer from; reset it before each use.
extern FakeDisplay fakeDisplay;
