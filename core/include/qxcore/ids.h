// Lists of slave ids and "ID=TEXT" values, as the tools' options take them
// (--slave 1,3,7, --settings-for 3=FILE, --sim-fault-for 3=crc@2).
#pragma once

#include <string>
#include <vector>

namespace qxcore {

/// Splits at commas; "" gives one empty part.
std::vector<std::string> split_commas(const std::string& text);
/// A whole decimal number of at most nine digits; false for anything else.
bool parse_number(const std::string& text, long& value);

/// "ID=TEXT", as --settings-for, --sim-profile-for and --sim-fault-for take
/// it: false unless ID is a number and TEXT is not empty.
bool split_id_text(const std::string& text, long& id, std::string& rest);
/// "1,3,10-20" into ids low..high, in the order given, each once. On failure
/// returns false with a message naming the option and the bad part.
bool parse_id_list(const std::string& option, const std::string& text, int low, int high,
                   std::vector<int>& ids, std::string& error);

}  // namespace qxcore
