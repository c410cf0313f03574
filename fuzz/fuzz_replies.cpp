// Register replies of any length in any step order, mixed with link faults,
// control requests, cache loads and snapshot requests, then 801, 803 and the
// alarm check. A small model of the poll steps says what the record must hold
// after every event.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "register_map.h"

namespace {

constexpr unsigned kBlock1Offset = qx7540pm::register_offset(QX7540PM_BLOCK1_START);
constexpr unsigned kBlock2Offset = qx7540pm::register_offset(QX7540PM_BLOCK2_START);
constexpr unsigned kBlock1Bytes = sizeof(QX7540PM_Data_t::block1);
constexpr unsigned kBlock2Bytes = sizeof(QX7540PM_Data_t::block2);
constexpr std::uint16_t kInterruptionRegister = 12000;  // 120.0 after the alarm's / 100

// What the device must hold: its record and poll step, the stand-in's
// reg_buffer, and how many rounds have completed.
struct Model {
  std::vector<unsigned char> record;
  std::vector<unsigned char> completed;  // the record as of the last completed round
  int poll_step = 0;
  std::array<std::uint16_t, MODBUS_MAX_READ_REGISTERS> reg_buffer{};
  std::size_t rounds = 0;
  // What the record holds of the poll round: nothing (before a first block,
  // after a new round or control request, or once a cache load took it), a
  // first block awaiting its second, or both (a repeated second completes it
  // again).
  enum Filling { kNoBlock, kAwaitingBlock2, kBlocksStored } filling = kNoBlock;
};

void store(Model& m, unsigned offset, unsigned bytes) {
  std::memcpy(m.record.data() + offset, m.reg_buffer.data(), bytes);
}

void reply(FuzzedDataProvider& fdp, QX7540PM& device, Model& m) {
  const int count = fdp.ConsumeIntegralInRange(0, MODBUS_MAX_READ_REGISTERS);
  std::vector<std::uint16_t> words(static_cast<std::size_t>(count));
  for (auto& w : words) w = fdp.ConsumeIntegral<std::uint16_t>();
  const auto table = static_cast<SPModbus::tab_type>(fdp.ConsumeIntegralInRange(0, 3));
  const bool result = zelfw::deliver_reply(device, words.data(), count, table);
  if (count > 0) std::memcpy(m.reg_buffer.data(), words.data(), words.size() * 2);
  if (m.poll_step == QX7540PM::kStepBlock1) {
    store(m, kBlock1Offset, kBlock1Bytes);
    m.filling = Model::kAwaitingBlock2;
    m.poll_step = QX7540PM::kStepBlock2;
    QX_FUZZ_CHECK(result);
  } else if (m.poll_step == QX7540PM::kStepBlock2 && m.filling != Model::kNoBlock) {
    store(m, kBlock2Offset, kBlock2Bytes);
    m.filling = Model::kBlocksStored;
    m.completed = m.record;
    ++m.rounds;
    QX_FUZZ_CHECK(!result);
  } else {
    QX_FUZZ_CHECK(result);
  }
}

void load_cache(FuzzedDataProvider& fdp, QX7540PM& device, Model& m) {
  std::vector<unsigned char> record = fdp.ConsumeBytes<unsigned char>(QX7540PM_RECORD_SIZE);
  record.resize(QX7540PM_RECORD_SIZE);
  QX_FUZZ_CHECK(device.LoadFromCache(record.data(), static_cast<int>(record.size())) == 1);
  // Between a round's two replies the cached record is a round of its own and
  // the record being polled stays as it is; otherwise it takes the record.
  if (m.filling != Model::kAwaitingBlock2) {
    m.record = record;
    m.filling = Model::kNoBlock;
  }
  m.completed = record;
  ++m.rounds;
}

void check_record(const QX7540PM& device, const Model& m) {
  const std::vector<unsigned char> actual = qxhost::record_bytes(device);
  // The time stamp belongs to the clock; everything before it to the model.
  QX_FUZZ_CHECK(std::memcmp(actual.data(), m.record.data(), 84) == 0);
  QX_FUZZ_CHECK(device.poll_step == m.poll_step);
}

std::uint16_t word(const std::vector<unsigned char>& record, unsigned reg) {
  std::uint16_t w;
  std::memcpy(&w, record.data() + qx7540pm::register_offset(static_cast<int>(reg)), sizeof w);
  return w;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  qxhost::Rig rig;
  rig.framework.set_recording(true);
  QX7540PM& device = *rig.device;
  device.has_a = fdp.ConsumeIntegralInRange(-1, 1);
  device.has_b = fdp.ConsumeIntegralInRange(-1, 1);
  device.has_c = fdp.ConsumeIntegralInRange(-1, 1);
  device.mode = fdp.ConsumeIntegralInRange(0, 2);
  // The framework may hold any step before the first round.
  device.poll_step = fdp.ConsumeBool() ? fdp.ConsumeIntegral<int>() : 0;

  Model m;
  m.record = qxhost::record_bytes(device);
  m.completed.assign(QX7540PM_RECORD_SIZE, 0);
  m.poll_step = device.poll_step;
  const int events = fdp.ConsumeIntegralInRange(0, 64);
  for (int i = 0; i < events && fdp.remaining_bytes() > 0; ++i) {
    switch (fdp.ConsumeIntegralInRange(0, 7)) {
      case 0:
        QX_FUZZ_CHECK(device.RefreshStatus());
        m.poll_step = QX7540PM::kStepBlock1;
        m.filling = Model::kNoBlock;
        break;
      case 1:
      case 2:
        reply(fdp, device, m);
        break;
      case 3:
        QX_FUZZ_CHECK(!zelfw::deliver_error(device));
        break;
      case 4: {
        const int code =
            fdp.ConsumeBool() ? QX7540PM::kControlRequest310 : QX7540PM::kControlRequest320;
        int out_size = 0;
        device.DeviceIoControl(code, "{}", 2, nullptr, 0, out_size);
        m.poll_step = code;
        m.filling = Model::kNoBlock;
        break;
      }
      case 5:
        load_cache(fdp, device, m);
        break;
      case 6: {
        Json::Value root;
        QX_FUZZ_CHECK(qxfuzz::parse_json(qxfuzz::snapshot_text(device), root));
        break;
      }
      default:
        qxfuzz::invalidate_snapshot(device);
        break;
    }
    check_record(device, m);
  }
  QX_FUZZ_CHECK(rig.framework.calls_of(zelfw::Op::kSendSP).size() == m.rounds);
  QX_FUZZ_CHECK(rig.framework.calls_of(zelfw::Op::kSaveDeviceHistory).size() == m.rounds);

  // 801 renders the last completed round (or null before any).
  qxfuzz::invalidate_snapshot(device);
  Json::Value root;
  QX_FUZZ_CHECK(qxfuzz::parse_json(qxfuzz::snapshot_text(device), root));
  if (m.rounds == 0) {
    QX_FUZZ_CHECK(root.isNull() || root.size() == 37);
  } else {
    QX_FUZZ_CHECK(root.isObject() && root.size() == 37);
    QX_FUZZ_CHECK(root["DI"].asDouble() == static_cast<double>(word(m.completed, 3)));
  }
  const Json::Value* address = nullptr;
  int out_size = 0;
  QX_FUZZ_CHECK(device.DeviceIoControl(QX7540PM::kSnapshotAddress, nullptr, 0, &address,
                                       sizeof address, out_size) == 0);
  QX_FUZZ_CHECK(address == &device.snapshot);

  // The alarm check on the record last published, never a half-written one.
  const std::size_t alarms_before = rig.framework.calls_of(zelfw::Op::kCheckThresholdBool).size();
  device.RunCheckThreshold();
  const auto alarms = rig.framework.calls_of(zelfw::Op::kCheckThresholdBool);
  if (device.mode != QX7540PM::kAlarmCheckMode) {
    QX_FUZZ_CHECK(alarms.size() == alarms_before);
  } else {
    QX_FUZZ_CHECK(alarms.size() == alarms_before + 1);
    const bool interrupted = (device.has_a != 0 && word(m.completed, 0) < kInterruptionRegister) ||
                             (device.has_b != 0 && word(m.completed, 8) < kInterruptionRegister) ||
                             (device.has_c != 0 && word(m.completed, 16) < kInterruptionRegister);
    QX_FUZZ_CHECK((alarms.back().ints.at(1) != 0) == interrupted);
  }
  return 0;
}
