// Comma-separated output of snapshot values, shared by the polling run
// (--csv FILE) and the decoding of stored records (decode --csv): UTF-8 with
// a byte-order mark, so that spreadsheets show the Chinese keys intact, and
// fields quoted as RFC 4180 asks.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include <json/value.h>

namespace qxbench {

/// One row: fields joined by commas, quoted where needed, CRLF at the end.
std::string csv_line(const std::vector<std::string>& fields);

/// The snapshot's 37 keys: the rendered registers in table order, then the time.
std::vector<std::string> snapshot_keys();

/// A field as it goes into a row: quoted when it holds a comma, a quote, or a
/// line break, with quotes doubled.
std::string csv_field(const std::string& text);

/// The snapshot's values in snapshot_keys() order, as the 801 text writes them
/// (numbers at full precision); empty fields when the snapshot is not an object.
std::vector<std::string> snapshot_fields(const Json::Value& snapshot);

/// Writes rows to a file it does not own, CRLF-terminated as RFC 4180 has them.
class CsvWriter {
 public:
  explicit CsvWriter(std::FILE* out) : out_(out) {}
  /// The byte-order mark and the header row.
  void write_header(const std::vector<std::string>& columns);
  /// One row, flushed: an interrupted run keeps every row written.
  void write_row(const std::vector<std::string>& fields);

 private:
  std::FILE* out_;
};

}  // namespace qxbench
