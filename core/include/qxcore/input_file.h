// Reading the files a user hands the bench and the simulator, with errors a
// person can act on: the file's name, and for text that is not JSON the line
// and column where parsing stopped.
#pragma once

#include <cstddef>
#include <string>

#include <json/value.h>

namespace qxcore {

/// Settings and profiles are small: a few kilobytes in the field.
constexpr std::size_t kMaxJsonFileBytes = 1 << 20;

/// Opens a regular file of at most `limit` bytes for reading and gives its
/// descriptor (the caller closes it) and size, or -1 with the message. A
/// directory, a device, a pipe or a larger file is refused before anything
/// is read. `what` names the file's role in messages ("settings file").
int open_input_file(const std::string& path, const std::string& what, std::size_t limit,
                    std::size_t& size, std::string& error);

/// Reads a whole regular file of at most `limit` bytes into `bytes`. A
/// directory, a device, a pipe or a larger file is refused before anything
/// is read. `what` names the file's role in messages ("settings file").
bool read_input_file(const std::string& path, const std::string& what, std::size_t limit,
                     std::string& bytes, std::string& error);

/// Reads and parses `path`. `what` names the file's role in messages
/// ("settings", "profile"). On failure returns false with the message.
bool read_json_file(const std::string& path, const std::string& what, Json::Value& root,
                    std::string& error);

/// Parses text, a UTF-8 byte-order mark allowed at its start, as an object
/// or array; refuses anything but white space after the value, and nesting
/// deeper than the reader's limit. On failure returns false with "line L,
/// column C: reason".
bool parse_json_text(const std::string& text, Json::Value& root, std::string& error);

}  // namespace qxcore
