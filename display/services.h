// The display services behind the seam. Each answers for its own default
// display: Open reports whether it can reach one, Refresh reads that
// display's modes afresh into a snapshot, ReadMode fills mode number `index`
// of the snapshot (nonzero when it exists), TestMode says whether a mode
// could be set without ever setting it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "displaysettings.h"

bool WaylandOpen();
void WaylandRefresh();
int WaylandReadMode(std::uint32_t index, DEVMODEA &mode);
long WaylandTestMode(const DEVMODEA &mode);

bool KdeOpen();
void KdeRefresh();
int KdeReadMode(std::uint32_t index, DEVMODEA &mode);
long KdeTestMode(const DEVMODEA &mode);

bool MutterOpen();
void MutterRefresh();
int MutterReadMode(std::uint32_t index, DEVMODEA &mode);
long MutterTestMode(const DEVMODEA &mode);

bool X11Open();
void X11Refresh();
int X11ReadMode(std::uint32_t index, DEVMODEA &mode);
long X11TestMode(const DEVMODEA &mode);

bool KmsOpen();
void KmsRefresh();
int KmsReadMode(std::uint32_t index, DEVMODEA &mode);
long KmsTestMode(const DEVMODEA &mode);

void NoDisplayRefresh();
int NoDisplayReadMode(std::uint32_t index, DEVMODEA &mode);
long NoDisplayTestMode(const DEVMODEA &mode);

// Fills a record for one mode, keeping the caller's dmSize and
// dmDriverExtra and clearing everything the service does not report.
inline void FillMode(DEVMODEA &mode, std::uint32_t width, std::uint32_t height,
                     std::uint32_t bitsPerPel, std::uint32_t frequency,
                     bool interlaced) {
  const std::uint16_t size = mode.dmSize;
  const std::uint16_t driverExtra = mode.dmDriverExtra;
  mode = DEVMODEA{};
  mode.dmSize = size;
  mode.dmDriverExtra = driverExtra;
  mode.dmFields = DM_BITSPERPEL | DM_PELSWIDTH | DM_PELSHEIGHT |
                  DM_DISPLAYFLAGS | DM_DISPLAYFREQUENCY;
  mode.dmBitsPerPel = bitsPerPel;
  mode.dmPelsWidth = width;
  mode.dmPelsHeight = height;
  mode.dmDisplayFlags = interlaced ? DM_INTERLACED : 0;
  mode.dmDisplayFrequency = frequency;
}

// Whether a record describes a mode of this size, rate and depth. A size
// the service reports as negative describes nothing.
inline bool Describes(const DEVMODEA &record, std::int32_t width,
                      std::int32_t height, std::uint32_t frequency,
                      std::uint32_t bitsPerPel) {
  return width >= 0 && height >= 0 &&
         static_cast<std::uint32_t>(width) == record.dmPelsWidth &&
         static_cast<std::uint32_t>(height) == record.dmPelsHeight &&
         frequency == record.dmDisplayFrequency &&
         bitsPerPel == record.dmBitsPerPel;
}

// The index, among `count` modes, of the one a record describes: the mode
// read last when it still does (two modes can round to the same hertz),
// else the first that does; `count` when none does.
template <typename DescribedBy>
std::size_t FindMode(std::size_t count, std::size_t lastRead,
                     DescribedBy describedBy) {
  if (lastRead < count && describedBy(lastRead)) {
    return lastRead;
  }
  std::size_t index = 0;
  while (index < count && !describedBy(index)) {
    ++index;
  }
  return index;
}
