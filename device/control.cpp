// DeviceIoControl: control requests, the JSON snapshot, and the forwarding path.
#include <cstddef>
#include <cstring>
#include <mutex>
#include <string>

#include <json/reader.h>
#include <json/writer.h>

#include "qx7540pm.h"
#include "register_map.h"

namespace {

// What the caller's buffer can take: a null buffer or a negative length takes nothing.
std::size_t capacity_of(const void* out, int out_len) {
  if (out == nullptr || out_len < 0) return 0;
  return static_cast<std::size_t>(out_len);
}

// A control body must be a JSON object (or null) whose "signal_id", if any, has
// a text form. Anything else is refused like unparseable text.
bool accept_control_body(const void* in, int in_len) {
  if (in_len < 0 || (in == nullptr && in_len > 0)) return false;
  const std::string text =
      in_len > 0 ? std::string(static_cast<const char*>(in), in_len) : std::string();
  Json::Value root;
  try {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    Json::Reader reader;
#pragma GCC diagnostic pop
    if (!reader.parse(text, root, true)) return false;
  } catch (const Json::Exception&) {
    // The reader throws its own error on nesting deeper than its stack limit;
    // anything else (allocation) reaches the caller.
    return false;
  }
  if (!root.isNull() && !root.isObject()) return false;
  const Json::Value& signal_id = root["signal_id"];
  if (signal_id.isNull()) return true;
  if (signal_id.isArray() || signal_id.isObject()) return false;
  // Kept as the controller's own request path does it: the signal id is
  // converted and compared with the empty text, and nothing depends on the
  // outcome (its text form is what refuses arrays and objects above).
  static_cast<void>(signal_id.asString().empty());
  return true;
}

std::string write_compact(const Json::Value& value) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  Json::FastWriter writer;
#pragma GCC diagnostic pop
  return writer.write(value);
}

// Re-renders the snapshot when a round completed since the last rendering.
// The time is taken only once the rendering is whole: a rendering that throws
// half way (allocation) is done again by the next request. Caller holds
// snapshot_mutex.
void refresh_snapshot_locked(QX7540PM& device) {
  if (device.last_update != device.snapshot_time) {
    qx7540pm::render_snapshot(device.completed_data, device.snapshot);
    device.snapshot_time = device.last_update;
  }
}

}  // namespace

int QX7540PM::DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                              int& out_size) {
  switch (code) {
    case kControlRequest310:
    case kControlRequest320: {
      {
        // Waits for a round in progress on another thread: once the request
        // has set the step, no reply is stored and no round completes until
        // the next RefreshStatus.
        std::lock_guard<std::recursive_mutex> round(round_mutex);
        poll_step = code;
        std::lock_guard<std::mutex> lock(snapshot_mutex);
        control_status = -1;
      }
      ZelSPDevice::OpenPort();
      if (!accept_control_body(in, in_len)) return -1;
      return ZelVDevice::DeviceIoControl(code, in, in_len, out, out_len, out_size);
    }
    case kSnapshotText: {
      std::string text;
      {
        // Serialised under the lock so that no rebuild overlaps it.
        std::lock_guard<std::mutex> lock(snapshot_mutex);
        refresh_snapshot_locked(*this);
        text = write_compact(snapshot);
      }
      out_size = static_cast<int>(text.size());
      if (capacity_of(out, out_len) < text.size()) return -1;
      std::memcpy(out, text.data(), text.size());
      return 0;
    }
    case kSnapshotAddress: {
      {
        std::lock_guard<std::mutex> lock(snapshot_mutex);
        refresh_snapshot_locked(*this);
      }
      const Json::Value* address = &snapshot;
      out_size = static_cast<int>(sizeof address);
      if (capacity_of(out, out_len) < sizeof address) return -1;
      std::memcpy(out, &address, sizeof address);
      return 0;
    }
    default: {
      int status;
      {
        std::lock_guard<std::mutex> lock(snapshot_mutex);
        status = control_status;
      }
      if (capacity_of(out, out_len) < sizeof status) {
        out_size = 0;
      } else {
        std::memcpy(out, &status, sizeof status);
        out_size = static_cast<int>(sizeof status);
      }
      return ZelVDevice::DeviceIoControl(code, in, in_len, out, out_len, out_size);
    }
  }
}
