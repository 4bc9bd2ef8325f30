#include "list_display_modes.h"

#include <cstdint>
#include <cstdio>
#include <limits>

#include "displaysettings.h"

namespace {

bool SameValue(std::uint32_t field, std::int32_t wanted) {
  return wanted >= 0 && field == static_cast<std::uint32_t>(wanted);
}

}  // namespace

void ListDisplayModes(std::int32_t width, std::int32_t height,
                      std::int32_t depth) {
  std::printf("%d x %d pixel, %d bit\n", width, height, depth);

  // The platform fills every other field; the record goes to the test as
  // the read left it.
  DEVMODEA mode;
  mode.dmSize = sizeof mode;
  mode.dmDriverExtra = 0;

  for (std::int32_t index = 0;; ++index) {
    if (EnumDisplaySettingsA(nullptr, static_cast<std::uint32_t>(index),
                             &mode) == 0) {
      return;
    }
    if (SameValue(mode.dmBitsPerPel, depth) &&
        SameValue(mode.dmPelsWidth, width) &&
        SameValue(mode.dmPelsHeight, height) &&
        ChangeDisplaySettingsA(&mode, CDS_TEST) == DISP_CHANGE_SUCCESSFUL) {
      std::printf("\tdisplay mode number=%3d : display frequency=%3dHz\n",
                  index, static_cast<std::int32_t>(mode.dmDisplayFrequency));
    }
    // Past this the index would wrap to negative mode numbers, which name
    // the current settings on Win32: a service that never reports the end
    // would keep the walk going forever.
    if (index == std::numeric_limits<std::int32_t>::max()) {
      return;
    }
  }
}
