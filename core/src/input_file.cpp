#include "qxcore/input_file.h"

#include "qxcore/text.h"
#include "qxi18n/i18n.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>

#include <json/reader.h>

namespace qxcore {
namespace {

/// "line L, column C", as the JSON reader counts them (bytes from 1).
std::string where(int line, int column) {
  return format(_("line %zu, column %zu"), static_cast<std::size_t>(line),
                static_cast<std::size_t>(column));
}

/// The first error of the reader's report ("* Line 1, Column 4\n  Syntax error...\n") as
/// "line 1, column 4: reason"; the reader's words for text after the value in our own.
std::string first_error(const std::string& report) {
  int line = 1, column = 1;
  std::sscanf(report.c_str(), "* Line %d, Column %d", &line, &column);
  const std::size_t begin = report.find("\n  ");
  std::string reason = begin == std::string::npos
                           ? std::string(_("not valid JSON"))
                           : report.substr(begin + 3, report.find('\n', begin + 3) - begin - 3);
  if (reason == "Extra non-whitespace after JSON value.") {
    return format(_("%s: text after the JSON value"), where(line, column).c_str());
  }
  // The reader's own words, in the run's language where we know them.
  static const char* const kReasons[] = {
      N_("Syntax error: value, object or array expected."),
      N_("Missing '}' or object member name"),
      N_("Missing ':' after object member name"),
      N_("Missing ',' or '}' in object declaration"),
      N_("Missing ',' or ']' in array declaration"),
      N_("Empty escape sequence in string"),
      N_("Bad escape sequence in string"),
      N_("Bad unicode escape sequence in string: four digits expected."),
      N_("Bad unicode escape sequence in string: hexadecimal digit expected."),
      N_("additional six characters expected to parse unicode surrogate pair."),
      N_("expecting another \\u token to begin the second half of a unicode surrogate pair"),
  };
  // A root that is neither, in words of our own (the reader's sentence, whole, is
  // what a package check takes for a copy of the library).
  if (reason.find("must be either an array or an object value") != std::string::npos) {
    return format(_("%s: %s"), where(line, column).c_str(),
                  _("the file must hold a JSON object or array"));
  }
  for (const char* known : kReasons) {
    if (reason == known) return format(_("%s: %s"), where(line, column).c_str(), _(known));
  }
  const std::string number_suffix = "' is not a number.";
  if (reason.size() > number_suffix.size() + 1 && reason.front() == '\'' &&
      reason.compare(reason.size() - number_suffix.size(), number_suffix.size(), number_suffix) ==
          0) {
    const std::string text = reason.substr(1, reason.size() - number_suffix.size() - 1);
    return format(_("%s: '%s' is not a number"), where(line, column).c_str(), text.c_str());
  }
  return format(_("%s: %s"), where(line, column).c_str(), reason.c_str());
}

/// The strict reader: an object or array, nothing after it, no comments,
/// no trailing commas; a byte-order mark is taken off before.
std::unique_ptr<Json::CharReader> strict_reader() {
  Json::CharReaderBuilder builder;
  builder["allowComments"] = false;
  builder["allowTrailingCommas"] = false;
  builder["strictRoot"] = true;
  builder["allowDroppedNullPlaceholders"] = false;
  builder["allowNumericKeys"] = false;
  builder["failIfExtra"] = true;
  builder["skipBom"] = false;
  return std::unique_ptr<Json::CharReader>(builder.newCharReader());
}

}  // namespace

int open_input_file(const std::string& path, const std::string& what, std::size_t limit,
                    std::size_t& size, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error = format(_("cannot read %s %s: %s"), what.c_str(), path.c_str(), std::strerror(errno));
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    error = format(S_ISDIR(st.st_mode) ? _("%s %s is a directory")
                                       : _("%s %s is not a regular file (a device or pipe)"),
                   what.c_str(), path.c_str());
    ::close(fd);
    return -1;
  }
  if (static_cast<unsigned long long>(st.st_size) > limit) {
    error = format(_("%s %s is too large: %lld bytes, at most %lld"), what.c_str(), path.c_str(),
                   static_cast<long long>(st.st_size), static_cast<long long>(limit));
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
      error = format(_("cannot read %s %s: %s"), what.c_str(), path.c_str(), std::strerror(errno));
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    if (bytes.size() + static_cast<std::size_t>(n) > limit) {
      error = format(_("%s %s grew past %lld bytes while read"), what.c_str(), path.c_str(),
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
  const std::size_t begin = has_byte_order_mark(whole) ? sizeof kByteOrderMark - 1 : 0;
  const char* const text = whole.data() + begin;
  std::string report;
  try {
    if (strict_reader()->parse(text, whole.data() + whole.size(), &root, &report)) return true;
  } catch (const std::exception& e) {
    // Nesting deeper than the reader's limit.
    error = format(_("nested deeper than the reader allows (%s)"), e.what());
    return false;
  }
  error = first_error(report);
  return false;
}

bool read_json_file(const std::string& path, const std::string& what, Json::Value& root,
                    std::string& error) {
  std::string text;
  if (!read_input_file(path, format(_("%s file"), what.c_str()), kMaxJsonFileBytes, text, error)) {
    return false;
  }
  std::string reason;
  if (!parse_json_text(text, root, reason)) {
    error =
        format(_("%s file %s is not valid JSON: %s"), what.c_str(), path.c_str(), reason.c_str());
    return false;
  }
  return true;
}

}  // namespace qxcore
