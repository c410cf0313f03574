// Shared by the fuzzers: loading the plug-in once, quieting the device's
// standard-output lines, and failing loudly when an invariant breaks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <json/reader.h>
#include <json/value.h>

#include "qxhost/output.h"
#include "qxhost/rig.h"

namespace qxfuzz {

/// Loads the plug-in and sends standard output ("rvSize is ..." after every
/// round, "SPModbus get error" on link faults) to /dev/null for the whole run;
/// libFuzzer reports on standard error.
inline void initialize() {
  qxhost::Plugin::built();
  static qxhost::DiscardStdout quiet;
}

/// A broken invariant is a finding: report it and abort so libFuzzer saves the input.
#define QX_FUZZ_CHECK(cond)                                                             \
  do {                                                                                  \
    if (!(cond)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                     \
    }                                                                                   \
  } while (0)

/// A heap buffer of exactly n bytes (none for 0), so ASan sees any access past it.
struct ExactBuffer {
  explicit ExactBuffer(std::size_t n, unsigned char fill = 0xA5)
      : size(n), bytes(n > 0 ? new unsigned char[n] : nullptr) {
    if (n > 0) std::memset(bytes.get(), fill, n);
  }
  bool all(unsigned char value) const {
    for (std::size_t i = 0; i < size; ++i) {
      if (bytes[i] != value) return false;
    }
    return true;
  }
  std::size_t size;
  std::unique_ptr<unsigned char[]> bytes;
};

inline bool parse_json(const std::string& text, Json::Value& root) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  return reader->parse(text.data(), text.data() + text.size(), &root, &errors);
}

/// The 801 text of a device, read into a buffer of exactly the size it reports.
inline std::string snapshot_text(QX7540PM& device) {
  int size = -1;
  QX_FUZZ_CHECK(device.DeviceIoControl(QX7540PM::kSnapshotText, nullptr, 0, nullptr, 0, size) ==
                    -1 ||
                size == 0);
  QX_FUZZ_CHECK(size > 0);
  ExactBuffer out(static_cast<std::size_t>(size));
  int written = -1;
  QX_FUZZ_CHECK(device.DeviceIoControl(QX7540PM::kSnapshotText, nullptr, 0, out.bytes.get(), size,
                                       written) == 0);
  QX_FUZZ_CHECK(written == size);
  return std::string(reinterpret_cast<const char*>(out.bytes.get()), out.size);
}

/// Makes the next snapshot request render again, as a new round stamp would.
inline void invalidate_snapshot(QX7540PM& device) {
  std::lock_guard<std::mutex> lock(device.snapshot_mutex);
  device.snapshot_time = boost::posix_time::ptime();
}

}  // namespace qxfuzz
