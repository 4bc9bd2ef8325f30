#include "list_display_modes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "capture_stdout.h"
#include "fake_display.h"

namespace {

constexpr long kOk = DISP_CHANGE_SUCCESSFUL;
constexpr long kBad = DISP_CHANGE_BADMODE;

struct Case {
  const char *name;
  std::vector<FakeMode> modes;
  std::int32_t depth;
  std::string expected;
  std::uint64_t expectedTests;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

std::vector<FakeMode> Padding(std::size_t count) {
  return std::vector<FakeMode>(count, FakeMode{1024, 768, 32, 60, kOk});
}

std::vector<FakeMode> Concat(std::vector<FakeMode> a,
                             const std::vector<FakeMode> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const char *const kHeading32 = "800 x 600 pixel, 32 bit\n";

const std::vector<Case> &Cases() {
  static const std::vector<Case> cases = {
      {"first_read_fails", {}, 32, kHeading32, 0},
      {"formats_three_digit_fields",
       {{800, 600, 32, 7, kOk},
        {800, 600, 32, 60, kOk},
        {800, 600, 32, 120, kOk}},
       32,
       std::string(kHeading32) +
           "\tdisplay mode number=  0 : display frequency=  7Hz\n"
           "\tdisplay mode number=  1 : display frequency= 60Hz\n"
           "\tdisplay mode number=  2 : display frequency=120Hz\n",
       3},
      {"refused_modes_leave_gaps",
       {{800, 600, 32, 56, kBad},
        {800, 600, 32, 60, kOk},
        {800, 600, 32, 72, DISP_CHANGE_FAILED},
        {800, 600, 32, 75, kOk},
        {800, 600, 32, 85, 1}},
       32,
       std::string(kHeading32) +
           "\tdisplay mode number=  1 : display frequency= 60Hz\n"
           "\tdisplay mode number=  3 : display frequency= 75Hz\n",
       5},
      {"first_line_carries_list_position",
       Concat(Padding(37), {{800, 600, 32, 60, kOk}}), 32,
       std::string(kHeading32) +
           "\tdisplay mode number= 37 : display frequency= 60Hz\n",
       1},
      {"equal_frequencies_give_two_lines",
       {{800, 600, 32, 60, kOk}, {800, 600, 32, 60, kOk}},
       32,
       std::string(kHeading32) +
           "\tdisplay mode number=  0 : display frequency= 60Hz\n"
           "\tdisplay mode number=  1 : display frequency= 60Hz\n",
       2},
      {"other_depths_and_sizes_never_tested",
       {{800, 600, 16, 60, kOk},
        {800, 600, 24, 60, kOk},
        {800, 600, 8, 60, kOk},
        {600, 800, 32, 60, kOk},
        {800, 601, 32, 60, kOk},
        {801, 600, 32, 60, kOk},
        {800, 600, 32, 72, kOk}},
       32,
       std::string(kHeading32) +
           "\tdisplay mode number=  6 : display frequency= 72Hz\n",
       1},
      {"zero_and_one_hertz_printed_as_numbers",
       {{800, 600, 16, 0, kOk}, {800, 600, 16, 1, kOk}},
       16,
       "800 x 600 pixel, 16 bit\n"
       "\tdisplay mode number=  0 : display frequency=  0Hz\n"
       "\tdisplay mode number=  1 : display frequency=  1Hz\n",
       2},
      {"wide_values_printed_in_full",
       Concat(Padding(1000), {{800, 600, 24, 1000, kOk}}), 24,
       "800 x 600 pixel, 24 bit\n"
       "\tdisplay mode number=1000 : display frequency=1000Hz\n",
       1},
  };
  return cases;
}

class ListDisplayModesTest : public ::testing::TestWithParam<Case> {};

TEST_P(ListDisplayModesTest, PrintsExactlyTheAcceptedModes) {
  const Case &c = GetParam();
  fakeDisplay = FakeDisplay{};
  fakeDisplay.modes = c.modes;

  const std::string out =
      CaptureStdout([&] { ListDisplayModes(800, 600, c.depth); });

  EXPECT_EQ(out, c.expected);
  EXPECT_EQ(fakeDisplay.reads, c.modes.size() + 1);
  EXPECT_EQ(fakeDisplay.tests, c.expectedTests);
  EXPECT_EQ(fakeDisplay.readsOutOfOrder, 0U);
  EXPECT_EQ(fakeDisplay.readsWithBadHeader, 0U);
  EXPECT_EQ(fakeDisplay.testsOfAlteredRecord, 0U);
  EXPECT_EQ(fakeDisplay.testsWithOtherFlags, 0U);
}

INSTANTIATE_TEST_SUITE_P(ScriptedDisplays, ListDisplayModesTest,
                         ::testing::ValuesIn(Cases()),
                         [](const auto &info) { return info.param.name; });

TEST(ListDisplayModes, HeadingShowsTheRequestedValues) {
  fakeDisplay = FakeDisplay{};
  EXPECT_EQ(CaptureStdout([] { ListDisplayModes(-1, 0, 2147483647); }),
            "-1 x 0 pixel, 2147483647 bit\n");
}

TEST(ListDisplayModes, NegativeRequestNeverMatchesHugeField) {
  fakeDisplay = FakeDisplay{};
  fakeDisplay.modes = {{800, 600, 4294967295U, 60, kOk}};
  CaptureStdout([] { ListDisplayModes(800, 600, -1); });
  EXPECT_EQ(fakeDisplay.tests, 0U);
}

TEST(ListDisplayModes, EachCallWalksFromIndexZeroAgain) {
  fakeDisplay = FakeDisplay{};
  fakeDisplay.modes = {{800, 600, 32, 60, kOk}, {800, 600, 16, 60, kOk}};
  const std::string out = CaptureStdout([] {
    ListDisplayModes(800, 600, 32);
    ListDisplayModes(800, 600, 16);
  });
  EXPECT_EQ(out,
            "800 x 600 pixel, 32 bit\n"
            "\tdisplay mode number=  0 : display frequency= 60Hz\n"
            "800 x 600 pixel, 16 bit\n"
            "\tdisplay mode number=  1 : display frequency= 60Hz\n");
  EXPECT_EQ(fakeDisplay.reads, 6U);
  EXPECT_EQ(fakeDisplay.readsOutOfOrder, 0U);
}

// A service that never reports the end: the walk stops at the last index a
// signed 32-bit counter can hold instead of wrapping to negative numbers.
TEST(ListDisplayModesEndless, WalkStopsAtLastIndex) {
  fakeDisplay = FakeDisplay{};
  fakeDisplay.endless = true;
  const std::string out = CaptureStdout([] { ListDisplayModes(800, 600, 32); });
  EXPECT_EQ(out, kHeading32);
  EXPECT_EQ(fakeDisplay.reads, 2147483648U);
  EXPECT_EQ(fakeDisplay.lastIndex, 2147483647U);
  EXPECT_EQ(fakeDisplay.readsOutOfOrder, 0U);
}

}  // namespace
