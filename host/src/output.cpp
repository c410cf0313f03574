#include "qxhost/output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <streambuf>

#include "qxcore/text.h"
#include "qxi18n/i18n.h"

namespace qxhost {
namespace {

[[noreturn]] void fail(const char* what) {
  throw std::runtime_error(
      qxcore::format(_("standard output: %s: %s"), what, std::strerror(errno)));
}

void flush_both() {
  std::cout.flush();
  std::fflush(stdout);
}

// A stream over the program's own standard output, so that both share one buffer and order.
class FileBuf : public std::streambuf {
 public:
  explicit FileBuf(std::FILE* file) : file_(file) {}

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    return std::fputc(traits_type::to_char_type(c), file_) == EOF ? traits_type::eof() : c;
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    return static_cast<std::streamsize>(std::fwrite(s, 1, static_cast<std::size_t>(n), file_));
  }
  int sync() override { return std::fflush(file_) == 0 ? 0 : -1; }

 private:
  std::FILE* file_;
};

}  // namespace

struct StdoutRedirect::OwnStdout {
  explicit OwnStdout(std::FILE* f) : file(f), buf(f), stream(&buf) {}
  ~OwnStdout() {
    if (file != stderr) std::fclose(file);
  }
  std::FILE* file;
  FileBuf buf;
  std::ostream stream;
};

StdoutRedirect::StdoutRedirect(int target_fd) {
  flush_both();
  // Close-on-exec: a child the program starts gets the redirected descriptor only.
  saved_fd_ = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
  if (saved_fd_ < 0) fail(_("cannot keep the original"));
  if (::dup2(target_fd, STDOUT_FILENO) < 0) {
    ::close(saved_fd_);
    saved_fd_ = -1;
    fail(_("cannot redirect"));
  }
}

StdoutRedirect::~StdoutRedirect() {
  restore();
  own_.reset();
}

void StdoutRedirect::restore() {
  if (saved_fd_ < 0) return;
  flush_both();
  ::dup2(saved_fd_, STDOUT_FILENO);
  ::close(saved_fd_);
  saved_fd_ = -1;
}

std::FILE* StdoutRedirect::own_stdout() {
  if (!own_) {
    // Opened on first use, from descriptor 1 itself once restored.
    const int fd = ::fcntl(saved_fd_ >= 0 ? saved_fd_ : STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    std::FILE* file = fd >= 0 ? ::fdopen(fd, "w") : nullptr;
    if (file == nullptr) {
      if (fd >= 0) ::close(fd);
      file = stderr;
    } else {
      std::setvbuf(file, nullptr, _IOLBF, 0);
    }
    own_ = std::make_unique<OwnStdout>(file);
  }
  return own_->file;
}

std::ostream& StdoutRedirect::own_stdout_stream() {
  own_stdout();
  return own_->stream;
}

DiscardStdout::DiscardStdout() {
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0) fail(_("cannot open /dev/null"));
  try {
    redirect_.emplace(null);
  } catch (...) {
    ::close(null);
    throw;
  }
  ::close(null);
}

DiscardStdout::~DiscardStdout() = default;

CaptureStdout::CaptureStdout() : file_(std::tmpfile()) {
  if (file_ == nullptr) fail(_("no temporary file"));
  try {
    redirect_.emplace(::fileno(file_));
  } catch (...) {
    std::fclose(file_);
    throw;
  }
}

CaptureStdout::~CaptureStdout() {
  redirect_.reset();
  std::fclose(file_);
}

std::string CaptureStdout::finish() {
  redirect_.reset();
  std::string text;
  std::rewind(file_);
  char chunk[256];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file_)) > 0) text.append(chunk, n);
  return text;
}

}  // namespace qxhost
