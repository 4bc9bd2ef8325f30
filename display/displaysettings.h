// The display-settings seam: the Win32 names the report uses, on every
// platform. On Windows they come from the real user32; elsewhere our own
// display-settings layer provides them over the platform's display.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <cstdint>

// One display mode. Only the fields a caller reads or sets are named; the
// rest keeps the record at its fixed 148-byte size.
struct DEVMODEA {
  char dmDeviceName[32];
  std::uint16_t dmSpecVersion;
  std::uint16_t dmDriverVersion;
  std::uint16_t dmSize;         // set by the caller: sizeof(DEVMODEA)
  std::uint16_t dmDriverExtra;  // set by the caller: 0, no private data
  std::uint32_t dmFields;       // which of the fields below are valid
  unsigned char dmReserved1[60];
  std::uint32_t dmBitsPerPel;
  std::uint32_t dmPelsWidth;
  std::uint32_t dmPelsHeight;
  std::uint32_t dmDisplayFlags;
  std::uint32_t dmDisplayFrequency;
  unsigned char dmReserved2[24];
};
static_assert(sizeof(DEVMODEA) == 148, "DEVMODEA must keep its 148-byte size");

constexpr std::uint32_t DM_BITSPERPEL = 0x00040000;
constexpr std::uint32_t DM_PELSWIDTH = 0x00080000;
constexpr std::uint32_t DM_PELSHEIGHT = 0x00100000;
constexpr std::uint32_t DM_DISPLAYFLAGS = 0x00200000;
constexpr std::uint32_t DM_DISPLAYFREQUENCY = 0x00400000;

constexpr std::uint32_t DM_INTERLACED = 2;  // in dmDisplayFlags

constexpr std::uint32_t CDS_TEST = 2;

constexpr long DISP_CHANGE_SUCCESSFUL = 0;
constexpr long DISP_CHANGE_FAILED = -1;
constexpr long DISP_CHANGE_BADMODE = -2;

// Reads mode number `modeNum` of the default display (deviceName null) into
// `devMode`. Nonzero when that mode exists, zero past the last mode or on
// any failure.
int EnumDisplaySettingsA(const char *deviceName, std::uint32_t modeNum,
                         DEVMODEA *devMode);

// With CDS_TEST, only asks whether the mode in `devMode` could be set; the
// display never changes. DISP_CHANGE_SUCCESSFUL when it could.
long ChangeDisplaySettingsA(DEVMODEA *devMode, std::uint32_t flags);
#endif
