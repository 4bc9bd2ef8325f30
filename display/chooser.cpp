// Picks the display service once per process and answers the Win32 names
// through it. Only tests are answered: this layer never changes a display.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "services.h"

namespace {

enum class Service { kNone, kX11 };

// A closed standard stream would hand its number to the display connection
// opened next, and the report would then write into it or read from it.
void ReserveStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    }
  }
}

Service Choose() {
  ReserveStandardStreams();
  if (X11Open()) {
    return Service::kX11;
  }
  return Service::kNone;
}

Service Chosen() {
  static const Service service = Choose();
  return service;
}

}  // namespace

int EnumDisplaySettingsA(const char *deviceName, std::uint32_t modeNum,
                         DEVMODEA *devMode) {
  if (deviceName != nullptr || devMode == nullptr) {
    return 0;
  }
  switch (Chosen()) {
    case Service::kX11:
      return X11ReadMode(modeNum, *devMode);
    case Service::kNone:
      break;
  }
  return NoDisplayReadMode(modeNum, *devMode);
}

long ChangeDisplaySettingsA(DEVMODEA *devMode, std::uint32_t flags) {
  if (devMode == nullptr || flags != CDS_TEST) {
    return DISP_CHANGE_FAILED;
  }
  switch (Chosen()) {
    case Service::kX11:
      return X11TestMode(*devMode);
    case Service::kNone:
      break;
  }
  return NoDisplayTestMode(*devMode);
}
