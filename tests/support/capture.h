// Captures what a call writes to standard output, through C stdio and
// std::cout alike, by pointing file descriptor 1 at a temporary file.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <string>

namespace qxtest {

/// Runs fn with standard output sent to a temporary file; returns the text.
/// Both streams are flushed before and after, so nothing leaks across.
template <typename Fn>
std::string capture_stdout(Fn&& fn) {
  std::cout.flush();
  std::fflush(stdout);
  std::FILE* sink = std::tmpfile();
  if (sink == nullptr) throw std::runtime_error("capture: no temporary file");
  const int saved = ::dup(STDOUT_FILENO);
  if (saved < 0 || ::dup2(::fileno(sink), STDOUT_FILENO) < 0) {
    std::fclose(sink);
    throw std::runtime_error("capture: cannot redirect standard output");
  }
  const auto restore = [&] {
    std::cout.flush();
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
  };
  try {
    fn();
  } catch (...) {
    restore();
    std::fclose(sink);
    throw;
  }
  restore();
  std::string text;
  std::rewind(sink);
  char chunk[256];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, sink)) > 0) text.append(chunk, n);
  std::fclose(sink);
  return text;
}

}  // namespace qxtest
