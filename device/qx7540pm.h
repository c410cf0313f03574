// QX7540PM: one three-phase power meter on a controller serial port, polled as
// a Modbus slave in two reads per round.
#pragma once

#include <string>

#include "qx7540pm_data.h"
#include "spdevice.h"
#include "uni_data_device.h"
#include "zel_export.h"

class ZEL_API QX7540PM : public UniDataDevice<QX7540PM_Data_t, SPModbus, QX7540PM_DATA_ID> {
 public:
  /// Poll steps: the read the device is waiting for.
  static constexpr int kStepBlock1 = 11;
  static constexpr int kStepBlock2 = 12;
  /// The controller's two control requests for one of the device's signals
  /// ("signal_id" in the JSON body). The meter serves neither: each abandons
  /// the round in progress, reopens the port, has its body checked and goes on
  /// to the framework.
  static constexpr int kControlRequest310 = 310;
  static constexpr int kControlRequest320 = 320;
  /// Snapshot requests: compact JSON text, or the address of the snapshot value.
  static constexpr int kSnapshotText = 801;
  static constexpr int kSnapshotAddress = 803;
  /// Mode in which the input power interruption check runs.
  static constexpr int kAlarmCheckMode = 1;
  /// A completed round older than this many seconds is stale.
  static constexpr long long kStaleAfterSeconds = 60;

  QX7540PM();
  ~QX7540PM() override;

  /// Never serves a value: says why (not ready, timed out, not supported).
  double Get_Value(unsigned int index, const std::string& name) const override;
  /// Control requests 310/320, snapshot requests 801/803; the rest goes to the framework.
  int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                      int& out_size) override;
  /// Reads the phase flags, then the template's and the framework's settings.
  bool InitSetting(const Json::Value& setting) override;
  /// Starts a round: asks for registers 0..31.
  bool RefreshStatus() override;
  /// Stores a reply in the record according to the poll step.
  bool process_payload(SPModbus::tab_type table, unsigned int length) override;
  /// Reports the input power interruption condition after each round.
  void RunCheckThreshold() override;

  int has_a = 0;
  int has_b = 0;
  int has_c = 0;
  int control_status = -1;

  // Our addition, after the members the controller relies on.

  /// The 801 text of the snapshot as last rendered, written at the first 801
  /// after the rendering and copied out by every later one until the next
  /// rendering; empty while none is kept. Guarded by snapshot_mutex, like the
  /// snapshot it was written from.
  std::string snapshot_text;

 private:
  /// Issues a read, then publishes the rounds that waited when the call began,
  /// if it claimed them. A read that throws gives the claim up.
  void request_then_publish(int start, int count, bool claimed);
};
