#pragma once

#include <cstdint>

// Prints a heading for width x height at depth bits per pixel, then one line
// for every mode of the default display with exactly that format that the
// platform confirms it could switch to. Never changes the display.
void ListDisplayModes(std::int32_t width, std::int32_t height,
                      std::int32_t depth);
