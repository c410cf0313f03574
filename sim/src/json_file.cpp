#include "qxsim/json_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include <json/reader.h>

namespace qxsim {

bool parse_json_text(const std::string& text, Json::Value& root, std::string& error) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  // The old reader is the one that reports where each error starts.
  Json::Reader reader(Json::Features::strictMode());
#pragma GCC diagnostic pop
  if (reader.parse(text, root, false)) return true;
  const auto errors = reader.getStructuredErrors();
  std::ptrdiff_t offset = errors.empty() ? 0 : errors.front().offset_start;
  if (offset < 0 || offset > static_cast<std::ptrdiff_t>(text.size())) offset = 0;
  int line = 1, column = 1;
  for (std::ptrdiff_t i = 0; i < offset; ++i) {
    if (text[static_cast<std::size_t>(i)] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  error = "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " +
          (errors.empty() ? std::string("not valid JSON") : errors.front().message);
  return false;
}

bool read_json_file(const std::string& path, const std::string& what, Json::Value& root,
                    std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read " + what + " file " + path + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  std::string reason;
  if (!parse_json_text(text.str(), root, reason)) {
    error = what + " file " + path + " is not valid JSON: " + reason;
    return false;
  }
  return true;
}

}  // namespace qxsim
