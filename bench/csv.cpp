#include "csv.h"

#include <json/writer.h>

#include "qxcore/text.h"
#include "register_map.h"

namespace qxbench {
namespace {

constexpr char kRowEnd[] = "\r\n";

std::string field_of(const Json::Value& value) {
  if (value.isString()) return value.asString();
  if (value.isDouble()) return Json::valueToString(value.asDouble());
  if (value.isIntegral()) return Json::valueToString(value.asLargestInt());
  if (value.isBool()) return value.asBool() ? "true" : "false";
  return std::string();
}

}  // namespace

std::vector<std::string> snapshot_keys() {
  std::vector<std::string> keys;
  keys.reserve(qx7540pm::kSnapshotMembers);
  for (const qx7540pm::RegisterEntry& entry : qx7540pm::kRegisterMap) keys.push_back(entry.key);
  keys.push_back(qx7540pm::kUpdateTimeKey);
  return keys;
}

std::string csv_field(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

std::vector<std::string> snapshot_fields(const Json::Value& snapshot) {
  std::vector<std::string> fields;
  for (const std::string& key : snapshot_keys()) {
    fields.push_back(snapshot.isObject() ? field_of(snapshot[key]) : std::string());
  }
  return fields;
}

std::string csv_line(const std::vector<std::string>& fields) {
  std::string line;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) line += ',';
    line += csv_field(fields[i]);
  }
  return line + kRowEnd;
}

void CsvWriter::write_header(const std::vector<std::string>& columns) {
  std::fputs(qxcore::kByteOrderMark, out_);
  write_row(columns);
}

void CsvWriter::write_row(const std::vector<std::string>& fields) {
  std::fputs(csv_line(fields).c_str(), out_);
  std::fflush(out_);
}

}  // namespace qxbench
