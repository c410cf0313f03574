#include "qxcore/ids.h"

#include <cstdlib>

#include "qxcore/text.h"
#include "qxi18n/i18n.h"

namespace qxcore {

std::vector<std::string> split_commas(const std::string& text) {
  std::vector<std::string> parts;
  std::string::size_type begin = 0;
  for (;;) {
    const auto comma = text.find(',', begin);
    parts.push_back(text.substr(begin, comma - begin));
    if (comma == std::string::npos) return parts;
    begin = comma + 1;
  }
}

bool parse_number(const std::string& text, long& value) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  value = std::strtol(text.c_str(), nullptr, 10);
  return true;
}

bool split_id_text(const std::string& text, long& id, std::string& rest) {
  const auto equals = text.find('=');
  if (equals == std::string::npos || !parse_number(text.substr(0, equals), id)) return false;
  rest = text.substr(equals + 1);
  return !rest.empty();
}

bool parse_id_list(const std::string& option, const std::string& text, int low, int high,
                   std::vector<int>& ids, std::string& error) {
  std::vector<bool> seen(static_cast<std::size_t>(high) + 1, false);
  ids.clear();
  for (const std::string& part : split_commas(text)) {
    const auto dash = part.find('-');
    long first = 0;
    long last = 0;
    const bool ok = dash == std::string::npos ? parse_number(part, first) && (last = first, true)
                                              : parse_number(part.substr(0, dash), first) &&
                                                    parse_number(part.substr(dash + 1), last);
    if (!ok || first > last) {
      error = format(_("%s \"%s\": \"%s\" is not an id or a range LOW-HIGH (e.g. 1,3,10-20)"),
                     option.c_str(), text.c_str(), part.c_str());
      return false;
    }
    if (first < low || last > high) {
      error = format(_("%s \"%s\": \"%s\" is outside the ids %d to %d"), option.c_str(),
                     text.c_str(), part.c_str(), static_cast<int>(low), static_cast<int>(high));
      return false;
    }
    for (long id = first; id <= last; ++id) {
      if (seen[static_cast<std::size_t>(id)]) continue;
      seen[static_cast<std::size_t>(id)] = true;
      ids.push_back(static_cast<int>(id));
    }
  }
  return true;
}

}  // namespace qxcore
