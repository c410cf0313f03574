#include "qxhost/round_output.h"

#include "qxcore/text.h"
#include "qxi18n/i18n.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <stdexcept>

namespace qxhost {
namespace {

// Starts a mark line; the device never writes this byte.
constexpr char kMark = '\x1e';

}  // namespace

RoundOutput::~RoundOutput() { stop(); }

bool RoundOutput::start(std::string& error) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    error = qxcore::format(_("cannot set up output capture: %s"), std::strerror(errno));
    return false;
  }
  try {
    redirect_.emplace(fds[1]);
  } catch (const std::exception& e) {
    ::close(fds[0]);
    ::close(fds[1]);
    error = qxcore::format(_("cannot set up output capture: %s"), e.what());
    return false;
  }
  // Descriptor 1 is now the pipe's only writer: restoring it ends the reader.
  ::close(fds[1]);
  redirect_->own_stdout();
  // Line by line, so a device line never waits in a buffer past its round.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  reader_ = std::thread([this, fd = fds[0]] { read_pipe(fd); });
  return true;
}

void RoundOutput::stop() {
  if (!reader_.joinable()) return;
  redirect_->restore();
  reader_.join();
  std::fflush(redirect_->own_stdout());
}

std::FILE* RoundOutput::out() { return redirect_ ? redirect_->own_stdout() : stdout; }

void RoundOutput::end_round(long round) {
  std::cout.flush();
  std::fflush(stdout);
  const std::string mark = std::string(1, kMark) + std::to_string(round) + "\n";
  [[maybe_unused]] const ssize_t n = ::write(STDOUT_FILENO, mark.data(), mark.size());
}

std::vector<std::string> RoundOutput::take_lines(long round) {
  std::unique_lock<std::mutex> lock(mutex_);
  marked_.wait(lock, [&] { return closed_ || rounds_.count(round) != 0; });
  std::vector<std::string> lines = std::move(rounds_[round]);
  rounds_.erase(round);
  return lines;
}

void RoundOutput::read_pipe(int fd) {
  std::string partial;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    partial.append(buffer, static_cast<std::size_t>(n));
    std::size_t newline;
    while ((newline = partial.find('\n')) != std::string::npos) {
      std::string line = partial.substr(0, newline);
      partial.erase(0, newline + 1);
      std::lock_guard<std::mutex> lock(mutex_);
      if (!line.empty() && line[0] == kMark) {
        rounds_[std::stol(line.substr(1))] = std::move(pending_);
        pending_.clear();
        marked_.notify_all();
      } else {
        pending_.push_back(std::move(line));
      }
    }
  }
  ::close(fd);
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  marked_.notify_all();
}

}  // namespace qxhost
