// DeviceIoControl: control requests, the JSON snapshot, and the forwarding path.
#include <cstddef>
#include <cstring>
#include <mutex>
#include <string>

#include <json/reader.h>
#include <json/writer.h>
#include <boost/date_time/posix_time/posix_time_types.hpp>

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
// The completed copy and its time are taken under state_mutex, briefly: no
// round waits for a reader of the snapshot, only the snapshot's own refresh
// does. The kept text goes first, its memory too: it is the previous
// rendering's, and the writer of the next one reuses the space. The time is
// taken only once the rendering is whole: a rendering that throws half way
// (allocation) is done again by the next request. Caller holds snapshot_mutex.
void refresh_snapshot_locked(QX7540PM& device) {
  QX7540PM_Data_t completed;
  boost::posix_time::ptime updated;
  {
    std::lock_guard<std::mutex> state(device.state_mutex);
    updated = device.last_update;
    if (updated == device.snapshot_time) return;
    completed = device.completed_data;
  }
  std::string().swap(device.snapshot_text);
  qx7540pm::render_snapshot(completed, device.snapshot);
  device.snapshot_time = updated;
}

// The 801 text of the snapshot as it stands: written once per rendering and
// kept, so that requests between rounds only copy it. Before the first
// rendering (or for a round without a time) it is written afresh each time.
// Caller holds snapshot_mutex and has refreshed the snapshot.
const std::string& snapshot_text_locked(QX7540PM& device, std::string& unkept) {
  const bool rendered = !device.snapshot.isNull() && !device.snapshot_time.is_not_a_date_time();
  std::string& text = rendered ? device.snapshot_text : unkept;
  // Kept only once written whole: a writer that throws leaves none kept.
  if (text.empty()) text = write_compact(device.snapshot);
  return text;
}

}  // namespace

int QX7540PM::DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                              int& out_size) {
  switch (code) {
    case kControlRequest310:
    case kControlRequest320: {
      {
        // Once the request has set the step, no reply is stored and no polled
        // round starts publishing until the next RefreshStatus; a round
        // already being published on another thread finishes meanwhile.
        std::lock_guard<std::mutex> state(state_mutex);
        poll_step = code;
        restart_round(true);
        control_status = -1;
      }
      ZelSPDevice::OpenPort();
      if (!accept_control_body(in, in_len)) return -1;
      return ZelVDevice::DeviceIoControl(code, in, in_len, out, out_len, out_size);
    }
    case kSnapshotText: {
      // Copied out under the lock, so that no rendering overlaps the copy.
      std::lock_guard<std::mutex> lock(snapshot_mutex);
      refresh_snapshot_locked(*this);
      std::string unkept;
      const std::string& text = snapshot_text_locked(*this, unkept);
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
        std::lock_guard<std::mutex> state(state_mutex);
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
