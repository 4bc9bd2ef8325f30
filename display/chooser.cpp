// Picks the display service once per process and answers the Win32 names
// through it. Only tests are answered: this layer never changes a display.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "services.h"

namespace {

struct Service {
  void (*refresh)();
  int (*readMode)(std::uint32_t index, DEVMODEA &mode);
  long (*testMode)(const DEVMODEA &mode);
};

// A closed standard stream would hand its number to the display connection
// opened next, and the report would then write into it or read from it.
void ReserveStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    }
  }
}

#ifdef DISPLAYMODES_DESKTOP
bool WaylandSession() {
  return std::getenv("WAYLAND_SOCKET") != nullptr ||
         std::getenv("WAYLAND_DISPLAY") != nullptr;
}
#endif

// On a Wayland session the compositor answers when it offers an interface
// this layer knows; else the kernel's list, which is the monitor's, before
// XWayland's emulated modes. Elsewhere the X server named by DISPLAY, else
// the kernel's mode setting on a console. Else nothing.
Service Choose() {
  ReserveStandardStreams();
#ifdef DISPLAYMODES_DESKTOP
  if (WaylandSession()) {
    if (WaylandOpen()) {
      return {WaylandRefresh, WaylandReadMode, WaylandTestMode};
    }
    if (KdeOpen()) {
      return {KdeRefresh, KdeReadMode, KdeTestMode};
    }
    if (MutterOpen()) {
      return {MutterRefresh, MutterReadMode, MutterTestMode};
    }
    if (KmsOpen()) {
      return {KmsRefresh, KmsReadMode, KmsTestMode};
    }
  }
  if (X11Open()) {
    return {X11Refresh, X11ReadMode, X11TestMode};
  }
#endif
  if (KmsOpen()) {
    return {KmsRefresh, KmsReadMode, KmsTestMode};
  }
  return {NoDisplayRefresh, NoDisplayReadMode, NoDisplayTestMode};
}

const Service &Chosen() {
  static const Service service = Choose();
  return service;
}

bool refreshed = false;

}  // namespace

int EnumDisplaySettingsA(const char *deviceName, std::uint32_t modeNum,
                         DEVMODEA *devMode) {
  if (deviceName != nullptr || devMode == nullptr) {
    return 0;
  }
  // As on Win32, mode 0 reads the display afresh and later numbers read
  // that snapshot, so a walk sees one consistent list.
  const Service &service = Chosen();
  if (modeNum == 0 || !refreshed) {
    service.refresh();
    refreshed = true;
  }
  return service.readMode(modeNum, *devMode);
}

long ChangeDisplaySettingsA(DEVMODEA *devMode, std::uint32_t flags) {
  if (devMode == nullptr || flags != CDS_TEST) {
    return DISP_CHANGE_FAILED;
  }
  return Chosen().testMode(*devMode);
}
