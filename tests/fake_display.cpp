#include "fake_display.h"

#include <cstring>

FakeDisplay fakeDisplay;

namespace {

// Fills the record the way a platform would, including fields the caller
// never reads, so that any change to it before the test is visible.
void FillRecord(DEVMODEA &record, std::uint32_t index, const FakeMode &mode) {
  std::memset(record.dmDeviceName, 'A' + index % 26,
              sizeof record.dmDeviceName);
  record.dmSpecVersion = 0x0401;
  record.dmDriverVersion = static_cast<std::uint16_t>(index);
  record.dmFields =
      DM_BITSPERPEL | DM_PELSWIDTH | DM_PELSHEIGHT | DM_DISPLAYFREQUENCY;
  std::memset(record.dmReserved1, static_cast<int>(index & 0xff),
              sizeof record.dmReserved1);
  record.dmBitsPerPel = mode.bitsPerPel;
  record.dmPelsWidth = mode.width;
  record.dmPelsHeight = mode.height;
  record.dmDisplayFlags = index;
  record.dmDisplayFrequency = mode.frequency;
  std::memset(record.dmReserved2, 0x5a, sizeof record.dmReserved2);
}

}  // namespace

int EnumDisplaySettingsA(const char *deviceName, std::uint32_t modeNum,
                         DEVMODEA *devMode) {
  FakeDisplay &fake = fakeDisplay;
  const bool inOrder = fake.reads == 0
                           ? modeNum == 0
                           : modeNum == fake.lastIndex + 1 || modeNum == 0;
  fake.readsOutOfOrder += inOrder ? 0 : 1;
  fake.readsWithBadHeader +=
      devMode->dmSize == sizeof(DEVMODEA) && devMode->dmDriverExtra == 0 ? 0
                                                                         : 1;
  ++fake.reads;
  fake.lastIndex = modeNum;
  if (deviceName != nullptr) {
    return 0;
  }
  if (fake.endless) {
    FillRecord(*devMode, modeNum, FakeMode{640, 480, 32, 60, 0});
  } else if (modeNum < fake.modes.size()) {
    FillRecord(*devMode, modeNum, fake.modes[modeNum]);
  } else {
    return 0;
  }
  fake.lastRead = *devMode;
  return 1;
}

long ChangeDisplaySettingsA(DEVMODEA *devMode, std::uint32_t flags) {
  FakeDisplay &fake = fakeDisplay;
  ++fake.tests;
  fake.testsWithOtherFlags += flags == CDS_TEST ? 0 : 1;
  fake.testsOfAlteredRecord +=
      std::memcmp(devMode, &fake.lastRead, sizeof(DEVMODEA)) == 0 ? 0 : 1;
  fake.lastTested = *devMode;
  return fake.modes.empty() ? DISP_CHANGE_SUCCESSFUL
                            : fake.modes[fake.lastIndex].testResult;
}
