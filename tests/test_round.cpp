// Round completion: the ordered calls into the framework, what each receives,
// the round's flags and its time stamp, and the record the snapshot renders.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "capture.h"
#include "plugin.h"

namespace {

using boost::posix_time::ptime;
using boost::posix_time::second_clock;
using zelfw::Call;
using zelfw::Op;

const std::vector<std::uint16_t> kBlock1(32, 0x1111);
const std::vector<std::uint16_t> kBlock2(8, 0x2222);

std::vector<Op> ops_of(const std::vector<Call>& calls) {
  std::vector<Op> out;
  for (const Call& c : calls) out.push_back(c.op);
  return out;
}

// Runs one round on the rig and returns what it printed.
std::string round_output(qxtest::Rig& rig) {
  return qxtest::capture_stdout([&] { rig.complete_round(kBlock1, kBlock2); });
}

std::vector<unsigned char> stamp_bytes(const ttime_t& t) {
  const auto* p = reinterpret_cast<const unsigned char*>(&t);
  return std::vector<unsigned char>(p, p + sizeof t);
}

// Sets TZ for one test and restores the test program's zone afterwards.
class ZoneGuard {
 public:
  explicit ZoneGuard(const char* zone) {
    const char* old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneGuard() {
    if (had_) {
      setenv("TZ", old_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

TEST(Round, CallsTheFrameworkInOrderWithTheRecordAndEveryPresentName) {
  qxtest::Rig rig;
  QX7540PM& dev = *rig.device;
  dev.data_id = 0x01020304;
  dev.InitSetting(Json::Value(Json::objectValue));
  dev.ao_names = {"Ua", "absent", "Ib", "P"};
  dev.ao_values = {{"Ua", 220.5f}, {"Ib", -1.25f}, {"P", 0.0f}};
  dev.rule_values.resize(2);
  dev.status_word = 0;
  // The first check reports; later ones must still be called.
  rig.framework.queue_results(Op::kCheckAOReport, {1, 0, 0});
  rig.framework.clear_calls();

  const std::string out = round_output(rig);

  const auto calls = rig.framework.calls();
  const std::vector<Op> expected = {Op::kRefreshStatus,
                                    Op::kReadRegisters,
                                    Op::kReadRegisters,
                                    Op::kSendSP,
                                    Op::kReset,
                                    Op::kCheckThresholdBool,
                                    Op::kCheckAOReport,
                                    Op::kCheckThreshold,
                                    Op::kCheckAOReport,
                                    Op::kCheckThreshold,
                                    Op::kCheckAOReport,
                                    Op::kCheckThreshold,
                                    Op::kDoBatchCheckThreshold,
                                    Op::kSaveDeviceHistory};
  ASSERT_EQ(ops_of(calls), expected);

  const Call& send = calls[3];
  EXPECT_EQ(send.ints, (std::vector<long long>{5156, 91, 0}));
  EXPECT_EQ(send.bytes, qxtest::record_bytes(dev));
  // The header carries the device's identifier; the publication uses 5156.
  std::int32_t header;
  std::memcpy(&header, send.bytes.data(), sizeof header);
  EXPECT_EQ(header, 0x01020304);
  EXPECT_EQ(calls[5].ints.at(0), 1);

  const char* names[] = {"Ua", "Ib", "P"};
  const float values[] = {220.5f, -1.25f, 0.0f};
  for (int i = 0; i < 3; ++i) {
    const Call& report = calls[6 + 2 * i];
    const Call& threshold = calls[7 + 2 * i];
    EXPECT_EQ(report.texts, (std::vector<std::string>{names[i]}));
    EXPECT_EQ(report.reals, (std::vector<double>{values[i]}));
    EXPECT_EQ(threshold.texts, (std::vector<std::string>{names[i], ""}));
    EXPECT_EQ(threshold.reals, (std::vector<double>{values[i]}));
    EXPECT_EQ(threshold.ints, (std::vector<long long>{1}));
  }
  EXPECT_EQ(calls[12].rule_count, 2u);
  EXPECT_EQ(calls[13].ints, (std::vector<long long>{91}));
  EXPECT_EQ(calls[13].bytes, send.bytes);

  EXPECT_EQ(out, "rvSize is 2\n");
  EXPECT_EQ(dev.ao_values.size(), 3u);
  EXPECT_EQ(dev.ao_values.count("absent"), 0u);
  EXPECT_TRUE(dev.rule_values.empty());
  EXPECT_TRUE(dev.report_flag);
  EXPECT_EQ(dev.status_word, 1);
}

TEST(Round, ReportFlagIsTheOrOfThisRoundsChecks) {
  struct Row {
    std::vector<long long> reports;  // CheckAOReport results for three names
    long long batch;                 // DoBatchCheckThreshold's result
    bool flag_before;
    bool expected;
  };
  const Row rows[] = {
      {{0, 0, 0}, 0, true, false}, {{1, 0, 0}, 0, false, true}, {{0, 0, 1}, 0, false, true},
      {{0, 0, 0}, 1, false, true}, {{1, 1, 1}, 1, false, true},
  };
  for (const Row& row : rows) {
    qxtest::Rig rig;
    rig.device->ao_names = {"a", "b", "c"};
    rig.device->ao_values = {{"a", 1.0f}, {"b", 2.0f}, {"c", 3.0f}};
    rig.device->report_flag = row.flag_before;
    rig.framework.queue_results(Op::kCheckAOReport, row.reports);
    rig.framework.set_result(Op::kDoBatchCheckThreshold, row.batch);
    round_output(rig);
    EXPECT_EQ(rig.device->report_flag, row.expected)
        << row.reports[0] << row.reports[1] << row.reports[2] << " batch " << row.batch;
    EXPECT_EQ(rig.framework.calls_of(Op::kCheckAOReport).size(), 3u);
  }
}

TEST(Round, EmptyListsStillRunTheBatchCheck) {
  qxtest::Rig rig;
  rig.device->ao_names = {"only-absent"};
  rig.device->report_flag = true;

  EXPECT_EQ(round_output(rig), "rvSize is 0\n");

  const auto batch = rig.framework.calls_of(Op::kDoBatchCheckThreshold);
  ASSERT_EQ(batch.size(), 1u);
  EXPECT_EQ(batch[0].rule_count, 0u);
  EXPECT_TRUE(rig.framework.calls_of(Op::kCheckAOReport).empty());
  EXPECT_TRUE(rig.framework.calls_of(Op::kCheckThreshold).empty());
  EXPECT_TRUE(rig.device->ao_values.empty());
  EXPECT_FALSE(rig.device->report_flag);

  // Standard output on a file is fully buffered: the line is there as soon as
  // the round returns, without anyone flushing it, as std::endl promises.
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  {
    qxhost::StdoutRedirect redirect(fileno(file));
    std::setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
    rig.complete_round(kBlock1, kBlock2);
    char seen[64] = {};
    const ssize_t n = ::pread(fileno(file), seen, sizeof seen - 1, 0);
    EXPECT_EQ(std::string(seen, n > 0 ? static_cast<std::size_t>(n) : 0), "rvSize is 0\n");
  }
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  std::fclose(file);
}

TEST(Round, StampIsTheLocalTimeOfLastUpdate) {
  for (const char* zone : {"UTC0", "QXT-5:30", "QXW+9"}) {
    ZoneGuard guard(zone);
    qxtest::Rig rig;
    const ptime utc_before = second_clock::universal_time();
    const ptime local_before = second_clock::local_time();
    round_output(rig);
    const ptime local_after = second_clock::local_time();
    const ptime utc_after = second_clock::universal_time();

    const QX7540PM& dev = *rig.device;
    ASSERT_TRUE(dev.data_ready);
    EXPECT_GE(dev.last_update, local_before) << zone;
    EXPECT_LE(dev.last_update, local_after) << zone;
    EXPECT_EQ(dev.last_update.time_of_day().fractional_seconds(), 0);
    // Local, not universal, time: the zone's offset shows in last_update.
    const auto offset = dev.last_update - utc_before;
    const auto expected = local_before - utc_before;
    EXPECT_GE(offset, expected - (utc_after - utc_before)) << zone;
    EXPECT_LE(offset, expected + (local_after - local_before)) << zone;

    const auto rec = qxtest::record_bytes(dev);
    EXPECT_EQ(std::vector<unsigned char>(rec.begin() + 84, rec.end()),
              stamp_bytes(get_ttime(dev.last_update)))
        << zone;
    const auto date = dev.last_update.date();
    const auto tod = dev.last_update.time_of_day();
    EXPECT_EQ(dev.raw_data.year, date.year());
    EXPECT_EQ(dev.raw_data.month, date.month().as_number());
    EXPECT_EQ(dev.raw_data.day, date.day());
    EXPECT_EQ(dev.raw_data.hour, tod.hours());
    EXPECT_EQ(dev.raw_data.minute, tod.minutes());
    EXPECT_EQ(dev.raw_data.second, tod.seconds());
  }
}

TEST(Round, SnapshotCopyHoldsTheLastCompletedRoundMidRound) {
  qxtest::Rig rig;
  round_output(rig);
  const QX7540PM_Data_t first = rig.device->raw_data;

  const std::vector<std::uint16_t> next1(32, 0x3333), next2(8, 0x4444);
  rig.device->RefreshStatus();
  zelfw::deliver_reply(*rig.device, next1.data(), 32);

  EXPECT_EQ(rig.device->raw_data.block1[31], 0x3333);
  EXPECT_EQ(rig.device->raw_data.block2[0], 0x2222);
  EXPECT_EQ(std::memcmp(&rig.device->completed_data, &first, sizeof first), 0);

  qxtest::capture_stdout([&] { zelfw::deliver_reply(*rig.device, next2.data(), 8); });
  EXPECT_EQ(std::memcmp(&rig.device->completed_data, &rig.device->raw_data, 91), 0);
  EXPECT_EQ(rig.device->completed_data.block2[7], 0x4444);
}

// Whether another thread could take the mutex now: asked from a second thread,
// so the answer is sound even when this thread holds it.
template <typename Mutex>
bool free_elsewhere(Mutex& mutex) {
  bool free = false;
  std::thread([&] {
    free = mutex.try_lock();
    if (free) mutex.unlock();
  }).join();
  return free;
}

// The framework may call back into the device while it is being told about a
// round: the snapshot lock is never held across those calls, and queries from
// another thread answer at once with the round already visible.
TEST(Round, FrameworkCallsRunWithTheSnapshotUnlockedAndTheRoundVisible) {
  qxtest::Rig rig;
  QX7540PM& dev = *rig.device;
  std::vector<std::string> seen;
  rig.framework.set_observer([&](const Call& c) {
    if (c.op == Op::kReadRegisters) return;
    const bool free = free_elsewhere(dev.snapshot_mutex);
    seen.push_back(std::string(zelfw::op_name(c.op)) + (free ? "" : " locked"));
    if (free && c.op == Op::kSendSP) {
      std::string answer;
      std::thread([&] {
        try {
          dev.Get_Value(0, "");
        } catch (const std::out_of_range& e) {
          answer = e.what();
        }
      }).join();
      seen.push_back(answer);
    }
  });
  round_output(rig);
  rig.framework.set_observer(nullptr);
  EXPECT_EQ(seen, (std::vector<std::string>{"RefreshStatus", "SendSP", "不支持变量", "Reset",
                                            "CheckThresholdBool", "DoBatchCheckThreshold",
                                            "SaveDeviceHistory"}));
}

// A framework callback on the round's own thread may drive the device again: a
// cache load, a reply, a control request or new settings from inside SendSP.
// Nothing deadlocks, and a round asked for meanwhile runs after the one in
// progress, which publishes and stores its own bytes.
TEST(Round, CallbacksOnTheRoundsThreadNeverInterleaveRounds) {
  qxtest::Rig rig;
  QX7540PM& dev = *rig.device;
  QX7540PM_Data_t cached{};
  cached.block1[0] = 0x7777;
  const auto* cached_bytes = reinterpret_cast<const unsigned char*>(&cached);
  bool nested = false;
  rig.framework.set_observer([&](const Call& c) {
    if (c.op != Op::kSendSP || nested) return;
    nested = true;
    EXPECT_EQ(dev.LoadFromCache(cached_bytes, sizeof cached), 1);
    dev.InitSetting(Json::Value(Json::objectValue));
    int out_size = 0;
    dev.DeviceIoControl(QX7540PM::kControlRequest310, "{}", 2, nullptr, 0, out_size);
  });
  round_output(rig);
  rig.framework.set_observer(nullptr);

  std::vector<Call> stores;
  std::vector<Op> order;
  for (const Call& c : rig.framework.calls()) {
    if (c.op == Op::kSendSP || c.op == Op::kSaveDeviceHistory) {
      order.push_back(c.op);
      stores.push_back(c);
    }
  }
  ASSERT_EQ(order, (std::vector<Op>{Op::kSendSP, Op::kSaveDeviceHistory, Op::kSendSP,
                                    Op::kSaveDeviceHistory}));
  EXPECT_EQ(stores[0].bytes, stores[1].bytes);
  EXPECT_EQ(stores[2].bytes, stores[3].bytes);
  EXPECT_EQ(stores[0].bytes[4], 0x11);  // the polled round
  EXPECT_EQ(stores[2].bytes[4], 0x77);  // then the cached record
  EXPECT_EQ(dev.poll_step, QX7540PM::kControlRequest310);
}

}  // namespace

// The hand-over on its own, with plain numbers for records: who may publish
// how many, what waits, and what a control request or the bound takes.
TEST(RoundHandover, PublisherRoleQueueAndRoundInProgress) {
  RoundHandover<int> rounds;
  const std::thread::id self = std::this_thread::get_id();
  std::thread::id other;
  std::thread([&] { other = std::this_thread::get_id(); }).join();
  int record = 0;

  // Two rounds wait; a call on another thread takes the role for them and its
  // own; this thread's call then leaves its round to it.
  rounds.enqueue(1, false);
  rounds.enqueue(2, false);
  EXPECT_TRUE(rounds.claim(other, rounds.waiting(), 0));
  rounds.enqueue(3, true);
  EXPECT_FALSE(rounds.claim(self, 2, 1));
  EXPECT_FALSE(rounds.begin(self));
  ASSERT_TRUE(rounds.begin(other));
  EXPECT_FALSE(rounds.begin(other));  // already publishing
  // A callback on the publisher's own thread adds its round to the count.
  rounds.enqueue(4, false);
  EXPECT_FALSE(rounds.claim(other, rounds.waiting(), 1));
  std::vector<int> published;
  while (rounds.next(record)) published.push_back(record);
  EXPECT_EQ(published, (std::vector<int>{1, 2, 3}));
  EXPECT_FALSE(rounds.publishing());
  EXPECT_EQ(rounds.waiting(), 1u);  // this thread's round: the next call's

  // A claim given up before publishing frees the role; one being used does not.
  EXPECT_TRUE(rounds.claim(self, rounds.waiting(), 0));
  rounds.drop_claim(self);
  EXPECT_FALSE(rounds.publishing());
  EXPECT_TRUE(rounds.claim(self, rounds.waiting(), 0));
  ASSERT_TRUE(rounds.begin(self));
  rounds.drop_claim(self);
  EXPECT_TRUE(rounds.next(record));
  EXPECT_EQ(record, 4);
  EXPECT_FALSE(rounds.next(record));

  // Cache loads take at most three places; a polled round always finds one,
  // replacing the oldest waiting polled round; a control request gives up the
  // polled ones only, keeping the order of the rest.
  for (int r : {10, 11, 12}) {
    ASSERT_TRUE(rounds.has_place(true));
    EXPECT_FALSE(rounds.enqueue(r, r != 11));
  }
  EXPECT_FALSE(rounds.enqueue(13, true));
  EXPECT_FALSE(rounds.has_place(true));
  EXPECT_TRUE(rounds.has_place(false));
  EXPECT_TRUE(rounds.enqueue(14, false));  // 11 gives way
  EXPECT_EQ(rounds.give_up_polled(), 1u);  // 14
  EXPECT_TRUE(rounds.claim(self, rounds.waiting(), 0));
  ASSERT_TRUE(rounds.begin(self));
  published.clear();
  while (rounds.next(record)) published.push_back(record);
  EXPECT_EQ(published, (std::vector<int>{10, 12, 13}));

  // The round in progress: a block 2 completes only after a block 1 of this
  // round; a repeated block 2 completes it again; a cache load may take the
  // record unless a block 2 is awaited.
  EXPECT_FALSE(rounds.takes_block2());
  rounds.store_block1();
  EXPECT_TRUE(rounds.takes_block2());
  EXPECT_TRUE(rounds.awaits_block2());
  rounds.store_block2();
  EXPECT_TRUE(rounds.takes_block2());
  EXPECT_FALSE(rounds.awaits_block2());
  rounds.restart();
  EXPECT_FALSE(rounds.takes_block2());
}
