// Runs a function with standard output sent to a temporary file and returns
// the bytes it printed.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

inline std::string CaptureStdout(const std::function<void()> &run) {
  std::fflush(stdout);
  std::FILE *file = std::tmpfile();
  const int saved = dup(STDOUT_FILENO);
  dup2(fileno(file), STDOUT_FILENO);
  run();
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  std::string text;
  std::rewind(file);
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
    text.push_back(static_cast<char>(c));
  }
  std::fclose(file);
  return text;
}
