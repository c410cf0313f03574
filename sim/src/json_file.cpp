#include "qxsim/json_file.h"

#include "qxi18n/i18n.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include <json/reader.h>

namespace qxsim {
namespace {

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

std::string where(const std::string& text, std::size_t offset) {
  int line = 1, column = 1;
  for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return qxi18n::format(_("line %zu, column %zu"), static_cast<std::size_t>(line),
                        static_cast<std::size_t>(column));
}

/// The end of the first JSON value in text: after its closing bracket or
/// brace, or text.size() when it has none (a bare scalar).
std::size_t end_of_value(const std::string& text, std::size_t begin) {
  int depth = 0;
  bool in_string = false;
  for (std::size_t i = begin; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '{' || c == '[') {
      ++depth;
    } else if (c == '}' || c == ']') {
      if (--depth == 0) return i + 1;
    }
  }
  return text.size();
}

}  // namespace

int open_input_file(const std::string& path, const std::string& what, std::size_t limit,
                    std::size_t& size, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error = qxi18n::format(_("cannot read %s %s: %s"), what.c_str(), path.c_str(),
                           std::strerror(errno));
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    error =
        qxi18n::format(S_ISDIR(st.st_mode) ? _("%s %s is a directory")
                                           : _("%s %s is not a regular file (a device or pipe)"),
                       what.c_str(), path.c_str());
    ::close(fd);
    return -1;
  }
  if (static_cast<unsigned long long>(st.st_size) > limit) {
    error = qxi18n::format(_("%s %s is too large: %lld bytes, at most %lld"), what.c_str(),
                           path.c_str(), static_cast<long long>(st.st_size),
                           static_cast<long long>(limit));
    ::close(fd);
    return -1;
  }
  size = static_cast<std::size_t>(st.st_size);
  return fd;
}

bool read_input_file(const std::string& path, const std::string& what, std::size_t limit,
                     std::string& bytes, std::string& error) {
  std::size_t size = 0;
  const int fd = open_input_file(path, what, limit, size, error);
  if (fd < 0) return false;
  bytes.clear();
  bytes.reserve(size);
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = qxi18n::format(_("cannot read %s %s: %s"), what.c_str(), path.c_str(),
                             std::strerror(errno));
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    if (bytes.size() + static_cast<std::size_t>(n) > limit) {
      error = qxi18n::format(_("%s %s grew past %lld bytes while read"), what.c_str(), path.c_str(),
                             static_cast<long long>(limit));
      ::close(fd);
      return false;
    }
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return true;
}

bool parse_json_text(const std::string& whole, Json::Value& root, std::string& error) {
  const std::size_t begin = whole.compare(0, 3, kByteOrderMark) == 0 ? 3 : 0;
  const std::string text = whole.substr(begin);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  // The old reader is the one that reports where each error starts.
  Json::Reader reader(Json::Features::strictMode());
#pragma GCC diagnostic pop
  bool parsed = false;
  try {
    parsed = reader.parse(text, root, false);
  } catch (const std::exception& e) {
    // Nesting deeper than the reader's limit.
    error = qxi18n::format(_("nested deeper than the reader allows (%s)"), e.what());
    return false;
  }
  if (parsed) {
    const std::size_t end = end_of_value(text, 0);
    const std::size_t junk = text.find_first_not_of(" \t\r\n", end);
    if (junk == std::string::npos) return true;
    error = qxi18n::format(_("%s: text after the JSON value"), where(text, junk).c_str());
    return false;
  }
  const auto errors = reader.getStructuredErrors();
  std::ptrdiff_t offset = errors.empty() ? 0 : errors.front().offset_start;
  if (offset < 0 || offset > static_cast<std::ptrdiff_t>(text.size())) offset = 0;
  error = qxi18n::format(_("%s: %s"), where(text, static_cast<std::size_t>(offset)).c_str(),
                         errors.empty() ? _("not valid JSON") : errors.front().message.c_str());
  return false;
}

bool read_json_file(const std::string& path, const std::string& what, Json::Value& root,
                    std::string& error) {
  std::string text;
  if (!read_input_file(path, qxi18n::format(_("%s file"), what.c_str()), kMaxJsonFileBytes, text,
                       error)) {
    return false;
  }
  std::string reason;
  if (!parse_json_text(text, root, reason)) {
    error = qxi18n::format(_("%s file %s is not valid JSON: %s"), what.c_str(), path.c_str(),
                           reason.c_str());
    return false;
  }
  return true;
}

}  // namespace qxsim
