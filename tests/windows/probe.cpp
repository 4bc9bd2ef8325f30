// Lists every display mode the platform reports for the default display,
// one line each: index, width, height, bits per pixel, frequency and the
// result of a test switch. Tests compare the report with this list.
#include <windows.h>

#include <cstdio>

int main() {
  for (DWORD index = 0;; ++index) {
    DEVMODEA mode = {};
    mode.dmSize = sizeof mode;
    if (!EnumDisplaySettingsA(nullptr, index, &mode)) {
      return 0;
    }
    const LONG test = ChangeDisplaySettingsA(&mode, CDS_TEST);
    std::printf("%lu %lu %lu %lu %lu %ld\n", index, mode.dmPelsWidth,
                mode.dmPelsHeight, mode.dmBitsPerPel, mode.dmDisplayFrequency,
                test);
  }
}
