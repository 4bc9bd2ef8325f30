// Counts heap allocations made while ListDisplayModes runs. The allocator
// is replaced for the whole process, so this test has a binary of its own
// and is left out of sanitizer builds, which replace it themselves.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>

#include "fake_display.h"
#include "list_display_modes.h"

extern "C" {
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *pointer, std::size_t size);
void *__libc_memalign(std::size_t alignment, std::size_t size);
}

namespace {
bool counting = false;
std::size_t allocations = 0;

void Count() { allocations += counting ? 1 : 0; }
}  // namespace

extern "C" {
void *malloc(std::size_t size) {
  Count();
  return __libc_malloc(size);
}
void *calloc(std::size_t count, std::size_t size) {
  Count();
  return __libc_calloc(count, size);
}
void *realloc(void *pointer, std::size_t size) {
  Count();
  return __libc_realloc(pointer, size);
}
void *memalign(std::size_t alignment, std::size_t size) {
  Count();
  return __libc_memalign(alignment, size);
}
void *aligned_alloc(std::size_t alignment, std::size_t size) {
  Count();
  return __libc_memalign(alignment, size);
}
}

TEST(ListDisplayModes, AllocatesNothing) {
  fakeDisplay = FakeDisplay{};
  fakeDisplay.modes = {{800, 600, 32, 60, DISP_CHANGE_SUCCESSFUL},
                       {800, 600, 32, 75, DISP_CHANGE_BADMODE},
                       {640, 480, 32, 60, DISP_CHANGE_SUCCESSFUL}};
  // Standard output gets its buffer on the first print; that is set-up.
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  const int devNull = open("/dev/null", O_WRONLY);
  ASSERT_GE(devNull, 0);
  dup2(devNull, STDOUT_FILENO);
  std::printf("set up\n");

  counting = true;
  ListDisplayModes(800, 600, 32);
  counting = false;

  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  close(devNull);

  EXPECT_EQ(allocations, 0U);
  EXPECT_EQ(fakeDisplay.tests, 2U);
}
