// Reading a JSON file with errors a person can act on: the file's name, and
// for text that is not JSON the line and column where parsing stopped.
#pragma once

#include <string>

#include <json/value.h>

namespace qxsim {

/// Reads and parses `path`. `what` names the file's role in messages
/// ("settings", "profile"). On failure returns false with the message.
bool read_json_file(const std::string& path, const std::string& what, Json::Value& root,
                    std::string& error);

/// Parses text; on failure returns false with "line L, column C: reason".
bool parse_json_text(const std::string& text, Json::Value& root, std::string& error);

}  // namespace qxsim
