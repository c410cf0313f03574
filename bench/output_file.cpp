#include "output_file.h"

#include "qxcore/text.h"
#include "qxi18n/i18n.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace qxbench {
namespace {

// The temporary files now open, for remove_unfinished_outputs.
std::mutex unfinished_mutex;
std::vector<std::string>& unfinished() {
  static std::vector<std::string> paths;
  return paths;
}

void track(const std::string& path) {
  std::lock_guard<std::mutex> lock(unfinished_mutex);
  unfinished().push_back(path);
}

void untrack(const std::string& path) {
  std::lock_guard<std::mutex> lock(unfinished_mutex);
  auto& paths = unfinished();
  paths.erase(std::remove(paths.begin(), paths.end(), path), paths.end());
}

bool write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

OutputFile::OutputFile(std::string path, std::string what)
    : path_(std::move(path)), what_(std::move(what)) {}

OutputFile::~OutputFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!temp_.empty()) {
    ::unlink(temp_.c_str());
    untrack(temp_);
  }
}

std::string exists_message(const std::string& what, const std::string& path) {
  return qxcore::format(
      _("%s %s exists and is kept; -o %s replaces it, -o with another name keeps both"),
      what.c_str(), path.c_str(), path.c_str());
}

namespace {

// rename() that fails with EEXIST rather than replace the target; where the
// file system cannot say so atomically (RENAME_NOREPLACE unsupported), the
// target is looked for first.
bool rename_no_replace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  struct stat st {};
  if (::lstat(to.c_str(), &st) == 0) {
    errno = EEXIST;
    return false;
  }
  return ::rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace

void OutputFile::set_error(const std::string& action) {
  if (error_.empty())
    error_ = action == "write"
                 ? qxcore::format(_("cannot write %s %s: %s"), what_.c_str(), path_.c_str(),
                                  std::strerror(errno))
                 : "cannot " + action + " " + what_ + " " + path_ + ": " + std::strerror(errno);
}

bool OutputFile::open(bool append, std::string& error) {
  struct stat target {};
  const bool exists = ::stat(path_.c_str(), &target) == 0;
  if (exists && !S_ISREG(target.st_mode)) {
    error = qxcore::format(_("%s %s is not a regular file"), what_.c_str(), path_.c_str());
    return false;
  }
  const auto slash = path_.find_last_of('/');
  const std::string dir = slash == std::string::npos ? std::string() : path_.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path_ : path_.substr(slash + 1);
  std::string pattern = dir + "." + name + ".XXXXXX";
  fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd_ < 0) {
    error = qxcore::format(_("cannot open %s %s: %s"), what_.c_str(), path_.c_str(),
                           std::strerror(errno));
    return false;
  }
  temp_ = pattern;
  track(temp_);
  // The permissions a new file would get (mkstemp makes 0600), or the target's own.
  mode_t mode = 0666;
  if (exists) {
    mode = target.st_mode & 07777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode &= ~mask;
  }
  ::fchmod(fd_, mode);
  if (append && exists) {
    // The old file first: the run's records go after it.
    const int in = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    ssize_t copied = in < 0 ? -1 : 1;
    while (copied > 0) copied = ::copy_file_range(in, nullptr, fd_, nullptr, 1 << 24, 0);
    if (in >= 0) ::close(in);
    if (copied < 0) {
      error = qxcore::format(_("cannot copy %s %s to append to it: %s"), what_.c_str(),
                             path_.c_str(), std::strerror(errno));
      return false;
    }
  }
  return true;
}

bool OutputFile::write(const void* data, std::size_t size) {
  if (failed()) return false;
  if (fd_ < 0 || !write_all(fd_, static_cast<const char*>(data), size)) {
    if (fd_ < 0) errno = EBADF;
    set_error("write");
    return false;
  }
  return true;
}

bool OutputFile::write(const std::string& bytes) { return write(bytes.data(), bytes.size()); }

bool OutputFile::commit(std::string& error) {
  if (fd_ >= 0 && !failed() && ::fsync(fd_) != 0 && errno != EINVAL) set_error("write");
  if (fd_ >= 0 && ::close(fd_) != 0 && !failed()) set_error("write");
  fd_ = -1;
  if (!failed() && keep_existing_) {
    if (!rename_no_replace(temp_, path_)) {
      if (errno == EEXIST) {
        error_ = exists_message(what_, path_);
      } else {
        set_error("write");
      }
    }
  } else if (!failed() && ::rename(temp_.c_str(), path_.c_str()) != 0) {
    set_error("write");
  }
  if (failed()) {
    error = error_;
    return false;
  }
  untrack(temp_);
  temp_.clear();
  return true;
}

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

bool outputs_apart_from_inputs(const std::vector<std::string>& outputs,
                               const std::vector<std::string>& inputs, std::string& error) {
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    if (outputs[i].empty()) continue;
    for (const std::string& input : inputs) {
      if (!input.empty() && (input == outputs[i] || same_file(input, outputs[i]))) {
        error = qxcore::format(_("the output file %s is also an input (%s): choose another name"),
                               outputs[i].c_str(), input.c_str());
        return false;
      }
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (!outputs[j].empty() && (outputs[j] == outputs[i] || same_file(outputs[j], outputs[i]))) {
        error = qxcore::format(_("two outputs go to one file, %s: choose another name"),
                               outputs[i].c_str());
        return false;
      }
    }
  }
  return true;
}

void remove_unfinished_outputs() {
  std::lock_guard<std::mutex> lock(unfinished_mutex);
  for (const std::string& path : unfinished()) ::unlink(path.c_str());
  unfinished().clear();
}

}  // namespace qxbench
