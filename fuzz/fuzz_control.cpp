// DeviceIoControl with any code, body, in_len and out_len (negative ones
// included), on buffers of exactly the size given: no read or write past them,
// and each served code keeps its documented outcome.
#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_common.h"

namespace {

constexpr int kForwarded = 802;
constexpr std::uint32_t kUntouched = 0x5A5A5A5Au;

int pick_code(FuzzedDataProvider& fdp) {
  static constexpr int kCodes[] = {QX7540PM::kControlRequest310,
                                   QX7540PM::kControlRequest320,
                                   QX7540PM::kSnapshotText,
                                   QX7540PM::kSnapshotAddress,
                                   kForwarded,
                                   0,
                                   -1,
                                   INT_MIN};
  const std::size_t choice =
      fdp.ConsumeIntegralInRange<std::size_t>(0, sizeof kCodes / sizeof(int));
  return choice < sizeof kCodes / sizeof(int) ? kCodes[choice] : fdp.ConsumeIntegral<int>();
}

// A length the caller may pass for a buffer of n bytes: n, less, or negative.
int pick_length(FuzzedDataProvider& fdp, std::size_t n) {
  switch (fdp.ConsumeIntegralInRange(0, 2)) {
    case 0:
      return static_cast<int>(n);
    case 1:
      return fdp.ConsumeIntegralInRange<int>(0, static_cast<int>(n));
    default:
      return fdp.ConsumeIntegralInRange<int>(INT_MIN, -1);
  }
}

void one_request(FuzzedDataProvider& fdp, QX7540PM& device) {
  const int code = pick_code(fdp);
  const std::size_t body_size = fdp.ConsumeIntegralInRange<std::size_t>(0, 512);
  const std::vector<unsigned char> body_bytes = fdp.ConsumeBytes<unsigned char>(body_size);
  qxfuzz::ExactBuffer body(body_bytes.size());
  if (!body_bytes.empty()) std::memcpy(body.bytes.get(), body_bytes.data(), body_bytes.size());
  const bool null_in = fdp.ConsumeBool();
  const int in_len = pick_length(fdp, body.size);

  const std::size_t out_cap = fdp.ConsumeIntegralInRange<std::size_t>(0, 4096);
  qxfuzz::ExactBuffer out(out_cap);
  const bool null_out = fdp.ConsumeBool();
  const int out_len = null_out ? fdp.ConsumeIntegral<int>() : pick_length(fdp, out_cap);
  // What the caller really offers: nothing through a null pointer or a negative length.
  const std::size_t usable = (null_out || out_len < 0) ? 0 : static_cast<std::size_t>(out_len);

  int out_size = static_cast<int>(kUntouched);
  const int result =
      device.DeviceIoControl(code, null_in ? nullptr : body.bytes.get(), in_len,
                             null_out ? nullptr : out.bytes.get(), out_len, out_size);

  switch (code) {
    case QX7540PM::kControlRequest310:
    case QX7540PM::kControlRequest320:
      QX_FUZZ_CHECK(device.poll_step == code);
      QX_FUZZ_CHECK(device.control_status == -1);
      QX_FUZZ_CHECK(result == 0 || result == -1);
      if (result == -1) QX_FUZZ_CHECK(out.all(0xA5) && out_size == static_cast<int>(kUntouched));
      break;
    case QX7540PM::kSnapshotText: {
      QX_FUZZ_CHECK(out_size > 0);
      if (result == 0) {
        QX_FUZZ_CHECK(static_cast<std::size_t>(out_size) <= usable);
        Json::Value root;
        const std::string text(reinterpret_cast<const char*>(out.bytes.get()),
                               static_cast<std::size_t>(out_size));
        QX_FUZZ_CHECK(qxfuzz::parse_json(text, root));
        QX_FUZZ_CHECK(root.isNull() || (root.isObject() && root.size() == 37));
      } else {
        QX_FUZZ_CHECK(result == -1);
        QX_FUZZ_CHECK(static_cast<std::size_t>(out_size) > usable);
        QX_FUZZ_CHECK(out.all(0xA5));
      }
      break;
    }
    case QX7540PM::kSnapshotAddress: {
      const Json::Value* address = &device.snapshot;
      QX_FUZZ_CHECK(out_size == static_cast<int>(sizeof address));
      if (usable >= sizeof address) {
        QX_FUZZ_CHECK(result == 0);
        QX_FUZZ_CHECK(std::memcmp(out.bytes.get(), &address, sizeof address) == 0);
      } else {
        QX_FUZZ_CHECK(result == -1);
        QX_FUZZ_CHECK(out.all(0xA5));
      }
      break;
    }
    default: {
      // The stand-in framework writes nothing: what is there is the device's.
      const std::int32_t offered = -1;
      if (usable >= sizeof offered) {
        QX_FUZZ_CHECK(out_size == static_cast<int>(sizeof offered));
        QX_FUZZ_CHECK(std::memcmp(out.bytes.get(), &offered, sizeof offered) == 0);
      } else {
        QX_FUZZ_CHECK(out_size == 0);
        QX_FUZZ_CHECK(out.all(0xA5));
      }
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  qxhost::Rig rig;
  if (fdp.ConsumeBool()) {
    // A completed round, so that the snapshot has something to render.
    std::vector<std::uint16_t> block1(QX7540PM_BLOCK1_COUNT), block2(QX7540PM_BLOCK2_COUNT);
    for (auto& w : block1) w = fdp.ConsumeIntegral<std::uint16_t>();
    for (auto& w : block2) w = fdp.ConsumeIntegral<std::uint16_t>();
    rig.complete_round(block1, block2);
  }
  const int requests = fdp.ConsumeIntegralInRange(1, 8);
  for (int i = 0; i < requests && fdp.remaining_bytes() > 0; ++i) one_request(fdp, *rig.device);
  return 0;
}
