// DeviceIoControl: the buffer protocol of 801 and 803, the forwarding path,
// and the control requests 310 and 320 with good and bad bodies.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/ptime.hpp>

#include "alloc_failure.h"
#include "capture.h"
#include "plugin.h"

namespace {

using zelfw::Op;

constexpr unsigned char kFill = 0xA5;
constexpr std::size_t kGuard = 16;
constexpr int kUntouched = 0x5A5A5A5A;

// A caller's buffer with guard bytes on both sides: a write past either end,
// or into a buffer that should stay untouched, shows in the fill pattern.
class GuardedBuffer {
 public:
  explicit GuardedBuffer(std::size_t size) : bytes_(size + 2 * kGuard, kFill), size_(size) {}
  char* data() { return reinterpret_cast<char*>(bytes_.data() + kGuard); }
  std::size_t size() const { return size_; }
  bool guards_intact() const {
    for (std::size_t i = 0; i < kGuard; ++i) {
      if (bytes_[i] != kFill || bytes_[kGuard + size_ + i] != kFill) return false;
    }
    return true;
  }
  bool untouched() const {
    for (unsigned char b : bytes_) {
      if (b != kFill) return false;
    }
    return true;
  }
  std::string contents(std::size_t n) const {
    return std::string(reinterpret_cast<const char*>(bytes_.data() + kGuard), n);
  }

 private:
  std::vector<unsigned char> bytes_;
  std::size_t size_;
};

struct Control : ::testing::Test {
  qxtest::Rig rig;
  QX7540PM& device() { return *rig.device; }
  std::vector<zelfw::Call> forwarded() { return rig.framework.calls_of(Op::kDeviceIoControl); }
  void SetUp() override {
    rig.complete_round(std::vector<std::uint16_t>(32, 2201), std::vector<std::uint16_t>(8, 9));
  }
};

// --- 801: the snapshot text -------------------------------------------------

TEST_F(Control, SnapshotTextBufferProtocol) {
  const std::string text = qxtest::snapshot_text(device());
  const int length = static_cast<int>(text.size());
  ASSERT_GT(length, 0);

  struct Case {
    const char* name;
    int out_len;
    bool null_out;
    int result;
  };
  const Case cases[] = {
      {"exact length", length, false, 0},        {"one byte more", length + 1, false, 0},
      {"one byte short", length - 1, false, -1}, {"size query", 0, false, -1},
      {"size query, null buffer", 0, true, -1},  {"null buffer claiming room", length, true, -1},
      {"negative length", -1, false, -1},        {"most negative length", INT32_MIN, false, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GuardedBuffer buffer(static_cast<std::size_t>(length) + 1);
    int out_size = kUntouched;
    const int result =
        device().DeviceIoControl(QX7540PM::kSnapshotText, nullptr, 0,
                                 c.null_out ? nullptr : buffer.data(), c.out_len, out_size);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(out_size, length);
    if (c.result == 0) {
      EXPECT_EQ(buffer.contents(text.size()), text);
      // No terminating zero: the byte after the text keeps its fill.
      EXPECT_EQ(static_cast<unsigned char>(buffer.data()[length]), kFill);
      EXPECT_TRUE(buffer.guards_intact());
    } else {
      EXPECT_TRUE(buffer.untouched());
    }
  }
  EXPECT_TRUE(forwarded().empty());
}

// --- 803: the snapshot's address --------------------------------------------

TEST_F(Control, SnapshotAddressBufferProtocol) {
  const int pointer_size = static_cast<int>(sizeof(void*));
  struct Case {
    const char* name;
    int out_len;
    bool null_out;
    int result;
  };
  const Case cases[] = {
      {"three bytes", 3, false, -1},
      {"one byte short of a pointer", pointer_size - 1, false, -1},
      {"a pointer", pointer_size, false, 0},
      {"more than a pointer", pointer_size + 8, false, 0},
      {"null buffer", pointer_size, true, -1},
      {"negative length", -4, false, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GuardedBuffer buffer(static_cast<std::size_t>(pointer_size) + 8);
    int out_size = kUntouched;
    const int result =
        device().DeviceIoControl(QX7540PM::kSnapshotAddress, nullptr, 0,
                                 c.null_out ? nullptr : buffer.data(), c.out_len, out_size);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(out_size, pointer_size);
    if (c.result == 0) {
      const Json::Value* address = nullptr;
      std::memcpy(&address, buffer.data(), sizeof address);
      EXPECT_EQ(address, &device().snapshot);
      EXPECT_EQ(static_cast<unsigned char>(buffer.data()[pointer_size]), kFill);
      EXPECT_TRUE(buffer.guards_intact());
    } else {
      EXPECT_TRUE(buffer.untouched());
    }
  }
  EXPECT_TRUE(forwarded().empty());
}

// --- Every other code: control_status, then the framework -------------------

TEST_F(Control, OtherCodesOfferControlStatusThenForward) {
  rig.framework.set_result(Op::kDeviceIoControl, 77);
  const std::string body = "request";
  // The status offered is whatever the controller last set (-1 by default).
  const struct {
    int code;
    std::int32_t status;
  } rows[] = {{802, -1}, {0, 5}, {-1, -1}, {311, 0x12345678}, {800, 0}, {804, -1}};
  for (const auto& row : rows) {
    const int code = row.code;
    SCOPED_TRACE(code);
    rig.framework.clear_calls();
    device().control_status = row.status;
    GuardedBuffer buffer(32);
    int out_size = kUntouched;
    EXPECT_EQ(device().DeviceIoControl(code, body.data(), static_cast<int>(body.size()),
                                       buffer.data(), 32, out_size),
              77);
    const auto calls = forwarded();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].ints, (std::vector<long long>{code, 7, 32}));
    EXPECT_EQ(std::string(calls[0].bytes.begin(), calls[0].bytes.end()), body);
    EXPECT_EQ(calls[0].out_size_on_entry, 4);
    ASSERT_EQ(calls[0].out_bytes.size(), 32u);
    std::int32_t offered = 0;
    std::memcpy(&offered, calls[0].out_bytes.data(), sizeof offered);
    EXPECT_EQ(offered, row.status);
    // Only the first four bytes are the device's.
    for (std::size_t i = 4; i < 32; ++i) EXPECT_EQ(calls[0].out_bytes[i], kFill) << i;
    EXPECT_TRUE(buffer.guards_intact());
  }
}

TEST_F(Control, ForwardingWithNoRoomWritesNothing) {
  struct Case {
    const char* name;
    int out_len;
    bool null_out;
  };
  const Case cases[] = {
      {"three bytes", 3, false},
      {"zero bytes", 0, false},
      {"negative length", -1, false},
      {"most negative length", INT32_MIN, false},
      {"null buffer claiming room", 64, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rig.framework.clear_calls();
    GuardedBuffer buffer(3);
    int out_size = kUntouched;
    EXPECT_EQ(device().DeviceIoControl(802, nullptr, 0, c.null_out ? nullptr : buffer.data(),
                                       c.out_len, out_size),
              0);
    EXPECT_TRUE(buffer.untouched());
    const auto calls = forwarded();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].out_size_on_entry, 0);
    EXPECT_EQ(calls[0].ints, (std::vector<long long>{802, 0, c.out_len}));
  }
}

// --- 310 and 320: control requests ------------------------------------------

struct BodyCase {
  const char* name;
  std::string body;
  bool forwarded;
};

std::vector<BodyCase> body_cases() {
  return {
      {"empty object", "{}", true},
      {"object with text signal id", R"({"signal_id":"x"})", true},
      {"object with numeric signal id", R"({"signal_id":5,"value":1})", true},
      {"object with null signal id", R"({"signal_id":null})", true},
      {"object after a comment", "// set output\n{}", true},
      // Parses, and a member lookup in null is safe: nothing to refuse.
      {"null", "null", true},
      {"empty body", "", false},
      {"not JSON", "not json", false},
      {"unterminated object", "{\"signal_id\":", false},
      {"array", "[1]", false},
      {"number", "5", false},
      {"string", "\"x\"", false},
      {"array signal id", R"({"signal_id":[1]})", false},
      {"object signal id", R"({"signal_id":{}})", false},
      {"deeply nested arrays", std::string(5000, '['), false},
      {"deeply nested closed arrays", std::string(5000, '[') + std::string(5000, ']'), false},
  };
}

TEST_F(Control, ControlRequestsCheckTheirBodyBeforeForwarding) {
  rig.framework.set_result(Op::kDeviceIoControl, 9);
  for (int code : {QX7540PM::kControlRequest310, QX7540PM::kControlRequest320}) {
    for (const BodyCase& c : body_cases()) {
      SCOPED_TRACE(std::to_string(code) + ": " + c.name);
      rig.framework.clear_calls();
      device().poll_step = QX7540PM::kStepBlock2;
      device().control_status = 0;
      GuardedBuffer buffer(16);
      int out_size = kUntouched;
      int result = 0;
      ASSERT_NO_THROW(result = device().DeviceIoControl(code, c.body.data(),
                                                        static_cast<int>(c.body.size()),
                                                        buffer.data(), 16, out_size));
      EXPECT_EQ(device().poll_step, code);
      EXPECT_EQ(device().control_status, -1);
      EXPECT_EQ(rig.framework.calls_of(Op::kOpenPort).size(), 1u);
      EXPECT_EQ(out_size, kUntouched);
      EXPECT_TRUE(buffer.untouched());
      const auto calls = forwarded();
      if (!c.forwarded) {
        EXPECT_EQ(result, -1);
        EXPECT_TRUE(calls.empty());
        continue;
      }
      EXPECT_EQ(result, 9);
      ASSERT_EQ(calls.size(), 1u);
      EXPECT_EQ(calls[0].ints,
                (std::vector<long long>{code, static_cast<long long>(c.body.size()), 16}));
      EXPECT_EQ(std::string(calls[0].bytes.begin(), calls[0].bytes.end()), c.body);
      EXPECT_EQ(calls[0].out_bytes, std::vector<unsigned char>(16, kFill));
      EXPECT_EQ(calls[0].out_size_on_entry, kUntouched);
      // The port is opened before the request goes on.
      const auto all = rig.framework.calls();
      ASSERT_GE(all.size(), 2u);
      EXPECT_EQ(all[all.size() - 2].op, Op::kOpenPort);
    }
  }
}

TEST_F(Control, ControlRequestsWithImpossibleBodiesAreRefused) {
  const std::string text = "{}trailing";
  struct Case {
    const char* name;
    const void* in;
    int in_len;
    int result;
  };
  const Case cases[] = {
      {"negative length", text.data(), -1, -1},
      {"most negative length", text.data(), INT32_MIN, -1},
      {"null body with a length", nullptr, 2, -1},
      {"null body, no length", nullptr, 0, -1},
      // Exactly in_len bytes are the body: "{}" here, not the whole text.
      {"body is the first in_len bytes", text.data(), 2, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rig.framework.clear_calls();
    int out_size = kUntouched;
    EXPECT_EQ(device().DeviceIoControl(QX7540PM::kControlRequest310, c.in, c.in_len, nullptr, 0,
                                       out_size),
              c.result);
    EXPECT_EQ(device().poll_step, QX7540PM::kControlRequest310);
    EXPECT_EQ(rig.framework.calls_of(Op::kOpenPort).size(), 1u);
    EXPECT_EQ(forwarded().size(), c.result == 0 ? 1u : 0u);
    EXPECT_EQ(out_size, kUntouched);
  }
}

TEST_F(Control, ReplyAfterAControlRequestIsNotStored) {
  const auto before = qxtest::record_bytes(device());
  const std::string text_before = qxtest::snapshot_text(device());
  device().RefreshStatus();
  int out_size = 0;
  const std::string body = "{}";
  device().DeviceIoControl(QX7540PM::kControlRequest320, body.data(), 2, nullptr, 0, out_size);
  rig.framework.clear_calls();

  const std::vector<std::uint16_t> late(32, 1);
  zelfw::deliver_reply(device(), late.data(), static_cast<int>(late.size()));
  zelfw::deliver_reply(device(), late.data(), 8);
  EXPECT_EQ(qxtest::record_bytes(device()), before);
  EXPECT_EQ(device().poll_step, QX7540PM::kControlRequest320);
  EXPECT_TRUE(rig.framework.calls_of(Op::kReadRegisters).empty());
  EXPECT_TRUE(rig.framework.calls_of(Op::kSendSP).empty());
  EXPECT_EQ(qxtest::snapshot_text(device()), text_before);

  // The next poll starts a new round from the first block.
  device().RefreshStatus();
  EXPECT_EQ(device().poll_step, QX7540PM::kStepBlock1);
}

// --- what the framework answers reaches the caller ---------------------------

TEST_F(Control, ForwardedRequestsHandTheFrameworkTheCallersBufferAndReturnItsAnswer) {
  rig.framework.set_result(Op::kDeviceIoControl, 5);
  rig.framework.set_control_reply({1, 2, 3, 4, 5, 6, 7, 8}, 8);
  for (int code : {802, QX7540PM::kControlRequest310, QX7540PM::kControlRequest320}) {
    SCOPED_TRACE(code);
    GuardedBuffer buffer(16);
    int out_size = kUntouched;
    EXPECT_EQ(device().DeviceIoControl(code, "{}", 2, buffer.data(), 16, out_size), 5);
    EXPECT_EQ(out_size, 8);
    EXPECT_EQ(buffer.contents(8), std::string("\1\2\3\4\5\6\7\10", 8));
    EXPECT_TRUE(buffer.guards_intact());
  }
}

// --- allocation failures ----------------------------------------------------

// Every allocation of a control request may fail: the failure reaches the
// caller as std::bad_alloc, never as a refused body.
TEST_F(Control, AllocationFailureInAControlRequestReachesTheCaller) {
  rig.framework.set_recording(false);
  const std::string body = R"({"signal_id":"relay 1","value":[1,2,3],"note":"close"})";
  bool completed = false;
  for (long n = 1; n <= 400 && !completed; ++n) {
    SCOPED_TRACE(n);
    int out_size = 0;
    int result = 0;
    bool threw = false;
    qxtest::fail_allocation(n);
    try {
      result = device().DeviceIoControl(QX7540PM::kControlRequest310, body.data(),
                                        static_cast<int>(body.size()), nullptr, 0, out_size);
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    qxtest::fail_allocation(0);
    if (!threw) {
      EXPECT_EQ(result, 0) << "a good body was refused";
      completed = true;
    }
  }
  EXPECT_TRUE(completed);
}

// A rendering that fails half way is not taken for the round's: the next
// request renders the whole round again.
TEST_F(Control, SnapshotRenderingThatFailsHalfWayIsRenderedAgain) {
  const auto invalidate = [this] {
    std::lock_guard<std::mutex> lock(device().snapshot_mutex);
    device().snapshot_time = boost::posix_time::ptime();
  };
  std::vector<char> buffer(8192);
  const auto text = [&] {
    int out_size = 0;
    EXPECT_EQ(device().DeviceIoControl(QX7540PM::kSnapshotText, nullptr, 0, buffer.data(),
                                       static_cast<int>(buffer.size()), out_size),
              0);
    return std::string(buffer.data(), static_cast<std::size_t>(out_size));
  };
  bool completed = false;
  for (long n = 1; n <= 400 && !completed; ++n) {
    SCOPED_TRACE(n);
    qxtest::capture_stdout([&] {
      rig.complete_round(std::vector<std::uint16_t>(32, 1000), std::vector<std::uint16_t>(8, 1));
    });
    invalidate();
    text();  // rendered from the first record
    qxtest::capture_stdout([&] {
      rig.complete_round(std::vector<std::uint16_t>(32, 2000), std::vector<std::uint16_t>(8, 2));
    });
    {
      // Another time too: only the time text allocates when numbers are replaced.
      std::lock_guard<std::mutex> lock(device().snapshot_mutex);
      device().completed_data.year = 2031;
    }
    invalidate();
    bool threw = false;
    int out_size = 0;
    qxtest::fail_allocation(n);
    try {
      device().DeviceIoControl(QX7540PM::kSnapshotText, nullptr, 0, buffer.data(),
                               static_cast<int>(buffer.size()), out_size);
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    qxtest::fail_allocation(0);
    completed = !threw;
    const std::string after = text();
    invalidate();
    EXPECT_EQ(after, text());
  }
  EXPECT_TRUE(completed);
}

}  // namespace
