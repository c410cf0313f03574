#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qxe2e {
namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

Clock::time_point after(double seconds) {
  return Clock::now() +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

pid_t spawn(const std::vector<std::string>& argv, int& out_fd, int& err_fd) {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    const int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, STDIN_FILENO);
    // The test program may block signals; a child starts with none blocked.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  out_fd = out[0];
  err_fd = err[0];
  return pid;
}

// Reads what is available from fd into text; false at end of file.
bool drain(int fd, std::string& text) {
  char buffer[4096];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  if (n < 0 && errno == EINTR) return true;
  if (n <= 0) return false;
  text.append(buffer, static_cast<std::size_t>(n));
  return true;
}

int exit_code_of(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Collects both outputs until both end or the deadline; kills on the deadline.
void collect(pid_t pid, int& out_fd, int& err_fd, Clock::time_point deadline, Result& result) {
  while (out_fd >= 0 || err_fd >= 0) {
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    const int ready = ::poll(fds, 2, remaining_ms(deadline));
    if (ready == 0) {
      result.killed = true;
      ::kill(pid, SIGKILL);
      break;
    }
    if (ready < 0 && errno != EINTR) break;
    if (out_fd >= 0 && fds[0].revents != 0 && !drain(out_fd, result.out)) {
      ::close(out_fd);
      out_fd = -1;
    }
    if (err_fd >= 0 && fds[1].revents != 0 && !drain(err_fd, result.err)) {
      ::close(err_fd);
      err_fd = -1;
    }
  }
  if (out_fd >= 0) ::close(out_fd);
  if (err_fd >= 0) ::close(err_fd);
  out_fd = err_fd = -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.exit_code = exit_code_of(status);
}

}  // namespace

Result run(const std::vector<std::string>& argv, double limit_s) {
  Result result;
  int out_fd, err_fd;
  const pid_t pid = spawn(argv, out_fd, err_fd);
  collect(pid, out_fd, err_fd, after(limit_s), result);
  return result;
}

Child::Child(const std::vector<std::string>& argv) { pid_ = spawn(argv, out_fd_, err_fd_); }

Child::~Child() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    finish(10);
  }
}

bool Child::read_line(std::string& line, double limit_s) {
  const Clock::time_point deadline = after(limit_s);
  for (;;) {
    const auto newline = buffer_.find('\n');
    if (newline != std::string::npos) {
      line = buffer_.substr(0, newline);
      buffer_.erase(0, newline + 1);
      return true;
    }
    if (out_fd_ < 0) return false;
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    const int ready = ::poll(fds, err_fd_ >= 0 ? 2 : 1, remaining_ms(deadline));
    if (ready == 0) return false;
    if (ready < 0 && errno != EINTR) return false;
    // Standard error is kept too, so a chatty child never blocks on a full pipe.
    if (err_fd_ >= 0 && fds[1].revents != 0 && !drain(err_fd_, err_)) {
      ::close(err_fd_);
      err_fd_ = -1;
    }
    if (fds[0].revents != 0 && !drain(out_fd_, buffer_)) {
      ::close(out_fd_);
      out_fd_ = -1;
    }
  }
}

void Child::signal(int sig) {
  if (pid_ > 0) ::kill(pid_, sig);
}

Result Child::finish(double limit_s) {
  Result result;
  if (pid_ <= 0) return result;
  result.out = buffer_;
  result.err = err_;
  collect(pid_, out_fd_, err_fd_, after(limit_s), result);
  pid_ = -1;
  return result;
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/qx7540pm-e2e-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace qxe2e
