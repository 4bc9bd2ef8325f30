// The last resort when no display can be reached: there are no modes.
#include "displaysettings.h"

int EnumDisplaySettingsA(const char* /*deviceName*/, std::uint32_t /*modeNum*/,
                         DEVMODEA* /*devMode*/) {
  return 0;
}

long ChangeDisplaySettingsA(DEVMODEA* /*devMode*/, std::uint32_t /*flags*/) {
  return DISP_CHANGE_FAILED;
}
