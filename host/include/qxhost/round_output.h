// The device's standard output, round by round, for a long run: descriptor 1
// feeds a pipe read on its own thread, and each round gets the lines the
// device wrote during it, so that the program's own output stays its own.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "qxhost/output.h"

namespace qxhost {

class RoundOutput {
 public:
  RoundOutput() = default;
  ~RoundOutput();
  RoundOutput(const RoundOutput&) = delete;
  RoundOutput& operator=(const RoundOutput&) = delete;

  /// Redirects descriptor 1 into the pipe; false with a message if it cannot.
  bool start(std::string& error);
  /// Puts descriptor 1 back and collects the last lines.
  void stop();
  /// The program's own standard output (stdout before start()).
  std::FILE* out();

  /// Marks the end of a round in the device's output (on the thread that ran it).
  void end_round(long round);
  /// The lines the device wrote during the round, once end_round's mark arrived.
  std::vector<std::string> take_lines(long round);

 private:
  void read_pipe(int fd);

  std::optional<StdoutRedirect> redirect_;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable marked_;
  std::vector<std::string> pending_;
  std::map<long, std::vector<std::string>> rounds_;
  bool closed_ = false;
};

}  // namespace qxhost
