// LoadFromCache with any bytes and any size, through both overloads: only a
// 91-byte record is taken, nothing is read past the bytes given, and a taken
// record is republished with its own bytes and a fresh time stamp.
#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "register_map.h"

namespace {

constexpr int kRecordSize = static_cast<int>(QX7540PM_RECORD_SIZE);
constexpr std::size_t kStampOffset = 84;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  qxhost::Rig rig;
  QX7540PM& device = *rig.device;
  const int loads = fdp.ConsumeIntegralInRange(1, 4);
  int accepted_so_far = 0;
  for (int i = 0; i < loads; ++i) {
    const std::size_t n = fdp.ConsumeIntegralInRange<std::size_t>(0, 2 * QX7540PM_RECORD_SIZE);
    const std::vector<unsigned char> bytes = fdp.ConsumeBytes<unsigned char>(n);
    qxfuzz::ExactBuffer buffer(bytes.size());
    if (!bytes.empty()) std::memcpy(buffer.bytes.get(), bytes.data(), bytes.size());

    const std::vector<unsigned char> before = qxhost::record_bytes(device);
    const std::size_t published_before = rig.framework.calls_of(zelfw::Op::kSendSP).size();
    int result;
    bool whole = false;  // a full 91 readable bytes were offered
    switch (fdp.ConsumeIntegralInRange(0, 3)) {
      case 0:  // the string overload: its size is exact by construction
        result = device.LoadFromCache(std::string(bytes.begin(), bytes.end()));
        whole = bytes.size() == QX7540PM_RECORD_SIZE;
        break;
      case 1:  // a null pointer with any size
        result = device.LoadFromCache(nullptr, fdp.ConsumeIntegral<int>());
        break;
      case 2:  // a size no larger than the buffer, or negative
      {
        const int claimed = fdp.ConsumeBool()
                                ? fdp.ConsumeIntegralInRange<int>(INT_MIN, -1)
                                : fdp.ConsumeIntegralInRange<int>(0, static_cast<int>(buffer.size));
        result = device.LoadFromCache(buffer.bytes.get(), claimed);
        whole = claimed == kRecordSize && buffer.bytes != nullptr;
      } break;
      default:
        result = device.LoadFromCache(buffer.bytes.get(), static_cast<int>(buffer.size));
        whole = buffer.size == QX7540PM_RECORD_SIZE;
        break;
    }
    QX_FUZZ_CHECK(result == (whole ? 1 : 0));
    const auto published = rig.framework.calls_of(zelfw::Op::kSendSP);
    if (result == 0) {
      QX_FUZZ_CHECK(qxhost::record_bytes(device) == before);
      QX_FUZZ_CHECK(published.size() == published_before);
      QX_FUZZ_CHECK(device.data_ready == (accepted_so_far > 0));
      continue;
    }
    ++accepted_so_far;
    QX_FUZZ_CHECK(device.data_ready);
    QX_FUZZ_CHECK(published.size() == published_before + 1);
    const std::vector<unsigned char>& sent = published.back().bytes;
    QX_FUZZ_CHECK(sent.size() == QX7540PM_RECORD_SIZE);
    QX_FUZZ_CHECK(std::memcmp(sent.data(), bytes.data(), kStampOffset) == 0);
    QX_FUZZ_CHECK(qxhost::record_bytes(device) == sent);
    // The snapshot renders the loaded record.
    qxfuzz::invalidate_snapshot(device);
    Json::Value root;
    QX_FUZZ_CHECK(qxfuzz::parse_json(qxfuzz::snapshot_text(device), root));
    QX_FUZZ_CHECK(root.isObject() && root.size() == 37);
    std::uint16_t di;
    std::memcpy(&di, bytes.data() + qx7540pm::register_offset(3), sizeof di);
    QX_FUZZ_CHECK(root["DI"].asDouble() == static_cast<double>(di));
  }
  return 0;
}
