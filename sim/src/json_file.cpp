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
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
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

bool read_input_file(const std::string& path, const std::string& what, std::size_t limit,
                     std::string& bytes, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error = "cannot read " + what + " " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    error = what + " " + path +
            (S_ISDIR(st.st_mode) ? " is a directory" : " is not a regular file (a device or pipe)");
    ::close(fd);
    return false;
  }
  if (static_cast<unsigned long long>(st.st_size) > limit) {
    error = what + " " + path + " is too large: " + std::to_string(st.st_size) +
            " bytes, at most " + std::to_string(limit);
    ::close(fd);
    return false;
  }
  bytes.clear();
  bytes.reserve(static_cast<std::size_t>(st.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = "cannot read " + what + " " + path + ": " + std::strerror(errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    if (bytes.size() + static_cast<std::size_t>(n) > limit) {
      error = what + " " + path + " grew past " + std::to_string(limit) + " bytes while read";
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
    error = std::string("nested deeper than the reader allows (") + e.what() + ")";
    return false;
  }
  if (parsed) {
    const std::size_t end = end_of_value(text, 0);
    const std::size_t junk = text.find_first_not_of(" \t\r\n", end);
    if (junk == std::string::npos) return true;
    error = where(text, junk) + ": text after the JSON value";
    return false;
  }
  const auto errors = reader.getStructuredErrors();
  std::ptrdiff_t offset = errors.empty() ? 0 : errors.front().offset_start;
  if (offset < 0 || offset > static_cast<std::ptrdiff_t>(text.size())) offset = 0;
  error = where(text, static_cast<std::size_t>(offset)) + ": " +
          (errors.empty() ? std::string(_("not valid JSON")) : errors.front().message);
  return false;
}

bool read_json_file(const std::string& path, const std::string& what, Json::Value& root,
                    std::string& error) {
  std::string text;
  if (!read_input_file(path, what + " file", kMaxJsonFileBytes, text, error)) return false;
  std::string reason;
  if (!parse_json_text(text, root, reason)) {
    error = what + " file " + path + " is not valid JSON: " + reason;
    return false;
  }
  return true;
}

}  // namespace qxsim
