#include "qxhost/snapshot.h"

#include <memory>

#include <json/reader.h>

#include "qx7540pm.h"
#include "register_map.h"
#include "zelfw/standin.h"

namespace qxhost {
namespace {

// The snapshot may grow between asking its size and reading it; ask again.
constexpr int kSnapshotAttempts = 3;

}  // namespace

std::string read_snapshot_text(ZelSPDevice& device) {
  for (int attempt = 0; attempt < kSnapshotAttempts; ++attempt) {
    int size = 0;
    device.DeviceIoControl(QX7540PM::kSnapshotText, nullptr, 0, nullptr, 0, size);
    if (size <= 0) break;
    std::vector<char> buffer(static_cast<std::size_t>(size));
    int written = 0;
    const int result =
        device.DeviceIoControl(QX7540PM::kSnapshotText, nullptr, 0, buffer.data(), size, written);
    if (result == 0 && written >= 0 && written <= size) {
      return std::string(buffer.data(), static_cast<std::size_t>(written));
    }
  }
  return std::string();
}

Json::Value read_snapshot(ZelSPDevice& device) {
  const std::string text = read_snapshot_text(device);
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value snapshot;
  std::string error;
  if (!reader->parse(text.data(), text.data() + text.size(), &snapshot, &error)) {
    snapshot = Json::Value(text);  // not JSON: the device's text as it came
  }
  return snapshot;
}

Json::Value render_stored_record(const Plugin& plugin, const std::vector<unsigned char>& record) {
  zelfw::Framework framework;  // declared first: it outlives the device
  framework.set_recording(false);
  MeterPtr meter = plugin.create_meter();
  framework.attach(*meter);
  if (record.size() != QX7540PM_RECORD_SIZE ||
      meter->LoadFromCache(record.data(), static_cast<int>(record.size())) != 1) {
    return Json::Value();
  }
  Json::Value snapshot = read_snapshot(*meter);
  QX7540PM_Data_t stored;
  std::memcpy(&stored, record.data(), sizeof stored);
  if (snapshot.isObject())
    snapshot[qx7540pm::kUpdateTimeKey] = qx7540pm::format_update_time(stored);
  return snapshot;
}

}  // namespace qxhost
