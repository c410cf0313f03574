// The device's standard output. The meter writes "rvSize is N" after every
// round and "SPModbus get error" on a failed exchange, through C stdio and
// std::cout alike; host programs keep those lines out of their own output by
// pointing file descriptor 1 elsewhere. StdoutRedirect is the one thing that
// does so; the rest of this header and round_output.h are built on it.
#pragma once

#include <cstdio>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace qxhost {

/// Points descriptor 1 at another file while alive and keeps the original for
/// the program's own output. Both streams are flushed at every switch, so no
/// line written on one side of it lands on the other.
class StdoutRedirect {
 public:
  /// target_fd is duplicated onto descriptor 1; the caller keeps its own.
  /// Throws std::runtime_error when the descriptors cannot be set up.
  explicit StdoutRedirect(int target_fd);
  ~StdoutRedirect();
  StdoutRedirect(const StdoutRedirect&) = delete;
  StdoutRedirect& operator=(const StdoutRedirect&) = delete;

  /// Points descriptor 1 back at the original; later calls do nothing.
  void restore();
  /// The program's own standard output, line-buffered; stays valid after
  /// restore() until destruction. Falls back to stderr if it cannot be opened.
  std::FILE* own_stdout();
  /// The same as a stream, for reporters that take one.
  std::ostream& own_stdout_stream();

 private:
  struct OwnStdout;
  int saved_fd_ = -1;
  std::unique_ptr<OwnStdout> own_;
};

/// Sends standard output to /dev/null while alive.
class DiscardStdout {
 public:
  DiscardStdout();
  ~DiscardStdout();
  std::FILE* own_stdout() { return redirect_->own_stdout(); }
  std::ostream& own_stdout_stream() { return redirect_->own_stdout_stream(); }

 private:
  std::optional<StdoutRedirect> redirect_;
};

/// Collects standard output in a temporary file while alive.
class CaptureStdout {
 public:
  CaptureStdout();
  ~CaptureStdout();
  CaptureStdout(const CaptureStdout&) = delete;
  CaptureStdout& operator=(const CaptureStdout&) = delete;
  /// Puts descriptor 1 back and returns everything written since construction.
  std::string finish();

 private:
  std::FILE* file_ = nullptr;
  std::optional<StdoutRedirect> redirect_;
};

/// Runs fn and returns what it wrote to standard output; if fn throws, the
/// output is restored and the exception passed on.
template <typename Fn>
std::string capture_stdout(Fn&& fn) {
  CaptureStdout capture;
  std::forward<Fn>(fn)();
  return capture.finish();
}

}  // namespace qxhost
