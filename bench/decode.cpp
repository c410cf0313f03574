#include "decode.h"

#include "qxcore/text.h"
#include "qxi18n/i18n.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>

#include "bench_options.h"
#include "csv.h"
#include "qx7540pm.h"
#include "qxcore/input_file.h"
#include "qxhost/output.h"
#include "qxhost/plugin.h"
#include "qxhost/snapshot.h"
#include "round_format.h"
#include "session.h"
#include "zelfw/standin.h"

namespace qxbench {
namespace {

constexpr std::size_t kRecordSize = QX7540PM_RECORD_SIZE;
constexpr std::size_t kHexDigitsPerRecord = 2 * kRecordSize;

/// The whole records of one file and, when something in it is not a record,
/// what and where.
struct StoredRecords {
  std::vector<std::vector<unsigned char>> records;
  std::string problem;
};

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
bool is_hex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

int hex_value(char c) {
  return c <= '9' ? c - '0' : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
}

/// The largest record file decode reads: about 700,000 records.
constexpr std::size_t kMaxRecordFileBytes = 64u << 20;

/// Text: printable ASCII and white space only. A file of records is never
/// that (a record's year alone holds a byte above 0x7F).
bool is_text(const std::string& bytes) {
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (!(b >= 0x20 && b < 0x7F) && !is_space(c)) return false;
  }
  return !bytes.empty();
}

/// The first byte of text that is neither a hex digit nor white space, as
/// "line L, column C: 'x'"; empty when there is none.
std::string first_stray_character(const std::string& text) {
  std::size_t line = 1, column = 1;
  for (char c : text) {
    if (!is_hex(c) && !is_space(c)) {
      return qxcore::format(_("line %ld, column %ld: '%c' is not a hex digit"),
                            static_cast<long>(line), static_cast<long>(column), c);
    }
    if (c == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return std::string();
}

void split_hex_lines(const std::string& path, const std::string& text, StoredRecords& stored) {
  std::size_t line_number = 0;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    ++line_number;
    std::string digits;
    for (std::size_t i = begin; i < end; ++i) {
      if (!is_space(text[i])) digits += text[i];
    }
    begin = end + 1;
    if (digits.empty()) continue;
    if (digits.size() != kHexDigitsPerRecord) {
      stored.problem = qxcore::format(
          _("%s: line %zu holds %zu hex digits, not a record (%zu digits, %zu bytes)"),
          path.c_str(), static_cast<std::size_t>(line_number), digits.size(),
          static_cast<std::size_t>(kHexDigitsPerRecord), static_cast<std::size_t>(kRecordSize));
      return;
    }
    std::vector<unsigned char> record(kRecordSize);
    for (std::size_t i = 0; i < kRecordSize; ++i) {
      record[i] =
          static_cast<unsigned char>(hex_value(digits[2 * i]) * 16 + hex_value(digits[2 * i + 1]));
    }
    stored.records.push_back(std::move(record));
  }
}

void split_binary(const std::string& path, const std::string& bytes, StoredRecords& stored) {
  const std::size_t whole = bytes.size() / kRecordSize;
  for (std::size_t i = 0; i < whole; ++i) {
    const auto* at = reinterpret_cast<const unsigned char*>(bytes.data()) + i * kRecordSize;
    stored.records.emplace_back(at, at + kRecordSize);
  }
  const std::size_t tail = bytes.size() % kRecordSize;
  if (tail != 0) {
    stored.problem = qxcore::format(
        _("%s: %zu bytes at offset %zu are not a whole record (%zu records of %zu bytes before "
          "them)"),
        path.c_str(), static_cast<std::size_t>(tail), static_cast<std::size_t>(whole * kRecordSize),
        static_cast<std::size_t>(whole), static_cast<std::size_t>(kRecordSize));
  }
}

void read_records(const std::string& path, StoredRecords& stored) {
  std::string bytes;
  if (!qxcore::read_input_file(path, C_("file kind", "record file"), kMaxRecordFileBytes, bytes,
                               stored.problem)) {
    return;
  }
  if (!is_text(bytes)) {
    split_binary(path, bytes, stored);
    return;
  }
  // Text is hex: any other character is an error, never read as a record's bytes.
  const std::string stray = first_stray_character(bytes);
  if (!stray.empty()) {
    stored.problem = qxcore::format(_("%s: %s (a hex file holds hex digits and white space only)"),
                                    path.c_str(), stray.c_str());
    return;
  }
  split_hex_lines(path, bytes, stored);
}

/// The record's own time stamp, as stored in its last seven bytes.
std::string stamp_of(const QX7540PM_Data_t& record) {
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", record.year, record.month,
                record.day, record.hour, record.minute, record.second);
  return text;
}

}  // namespace

CLI::App* add_decode_command(CLI::App& app, DecodeOptions& o, std::string& plugin_path) {
  CLI::App* decode = app.add_subcommand(
      "decode", _("Show stored 91-byte records (--history files, record files, hex lines)"));
  decode
      ->add_option(C_("positional", "FILE"), o.files,
                   _("Files of whole records, or hex text, one record per line"))
      ->required();
  decode->add_option(
      "--plugin", plugin_path,
      _("Plug-in to load (default: the qx7540pm.so installed or built with the bench)"));
  auto* json = decode->add_flag("--json", o.output.json, _("One JSON object per record"));
  auto* csv = decode->add_flag("--csv", o.output.csv,
                               _("CSV: a header row with the keys, a row per record"));
  json->excludes(csv);
  csv->excludes(json);
  decode->footer(
      _("Exit codes: 0 every file held whole records, 2 usage, 3 plug-in, "
        "4 a file unreadable or not whole records (the records before the fault still show)."));
  return decode;
}

int run_decode(const DecodeOptions& options, const std::string& plugin_path) {
  // The plug-in loads and makes a device, or decode stops here.
  {
    zelfw::Framework framework;
    qxhost::MeterPtr meter;
    if (const int code = attach_meter(plugin_path, framework, meter); code != kExitOk) return code;
  }
  const qxhost::Plugin plugin = qxhost::Plugin::open(plugin_path);
  // Each load writes "rvSize is 0"; the decoded records are the only output.
  qxhost::DiscardStdout discard;
  Outputs outputs;
  std::string error;
  make_outputs({Command::kDecode, options.output, discard.own_stdout()}, outputs, error);
  int code = kExitOk;
  for (const std::string& path : options.files) {
    StoredRecords stored;
    read_records(path, stored);
    for (std::size_t i = 0; i < stored.records.size(); ++i) {
      DecodedRecord decoded;
      decoded.path = path;
      decoded.index = i;
      std::memcpy(&decoded.record, stored.records[i].data(), sizeof decoded.record);
      decoded.stamp = stamp_of(decoded.record);
      decoded.values = qxhost::render_stored_record(plugin, stored.records[i]);
      for (auto& each : outputs) each->record(decoded);
    }
    if (!stored.problem.empty()) {
      fail(stored.problem);
      code = kExitInput;
    }
  }
  return code;
}

}  // namespace qxbench
