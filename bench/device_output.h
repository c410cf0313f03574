// The plug-in writes its two lines ("SPModbus get error", "rvSize is N") to
// standard output. The bench moves them off its own standard output into a
// pipe and hands each round the lines the device wrote during it, so that the
// bench's output (human or JSON) stays its own.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qxbench {

class DeviceOutput {
 public:
  DeviceOutput() = default;
  ~DeviceOutput();
  DeviceOutput(const DeviceOutput&) = delete;
  DeviceOutput& operator=(const DeviceOutput&) = delete;

  /// Redirects descriptor 1 into the pipe; the bench writes to out() instead.
  bool start(std::string& error);
  /// Puts descriptor 1 back and collects the last lines.
  void stop();
  /// The bench's own standard output.
  FILE* out() const { return out_; }

  /// Marks the end of a round in the device's output (on the thread that ran it).
  void end_round(long round);
  /// The lines the device wrote during the round, once end_round's mark arrived.
  std::vector<std::string> take_lines(long round);

 private:
  void read_pipe(int fd);

  FILE* out_ = stdout;
  int saved_fd_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable marked_;
  std::vector<std::string> pending_;
  std::map<long, std::vector<std::string>> rounds_;
  bool closed_ = false;
};

}  // namespace qxbench
