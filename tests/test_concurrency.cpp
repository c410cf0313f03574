// Rounds and cache loads on one thread while others ask for the snapshot, its
// address, a forwarded code and the value query: readers only ever see whole
// rounds, and a fresh device never answers as timed out.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <json/reader.h>
#include <json/value.h>
#include <json/writer.h>

#include "plugin.h"
#include "qxhost/output.h"
#include "register_map.h"
#include "watchdog.h"

namespace {

// Bounded so that the test stays short under qemu and under ThreadSanitizer.
constexpr int kRounds = 600;
constexpr int kCacheLoadEvery = 5;  // every fifth round is a cache load instead of a poll
constexpr int kReaders = 3;
constexpr int kRequestsPerReader = 400;
constexpr int kMaxRequestsPerReader = 20000;
using qx7540pm::kUpdateTimeKey;

// Every word of round k carries k: register i holds k * 64 + i (k < 1024), so
// "DI" (register 3, unscaled) names the round and any word from another round
// changes a value.
std::vector<std::uint16_t> block_for_round(int k, int first_register, int count) {
  std::vector<std::uint16_t> words(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i)
    words[i] = static_cast<std::uint16_t>(k * 64 + first_register + i);
  return words;
}

std::vector<unsigned char> record_for_round(int k) {
  QX7540PM_Data_t record{};
  const auto block1 = block_for_round(k, QX7540PM_BLOCK1_START, QX7540PM_BLOCK1_COUNT);
  const auto block2 = block_for_round(k, QX7540PM_BLOCK2_START, QX7540PM_BLOCK2_COUNT);
  std::memcpy(record.block1, block1.data(), sizeof record.block1);
  std::memcpy(record.block2, block2.data(), sizeof record.block2);
  const auto* p = reinterpret_cast<const unsigned char*>(&record);
  return std::vector<unsigned char>(p, p + sizeof record);
}

int round_of(const Json::Value& snapshot) {
  return (static_cast<int>(snapshot["DI"].asDouble()) - 3) / 64;
}

std::string stamp_text(const QX7540PM_Data_t& record) {
  return std::to_string(record.year) + "-" + std::to_string(record.month) + "-" +
         std::to_string(record.day) + " " + std::to_string(record.hour) + ":" +
         std::to_string(record.minute) + ":" + std::to_string(record.second);
}

bool parse(const std::string& text, Json::Value& root) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  return reader->parse(text.data(), text.data() + text.size(), &root, &errors);
}

// Makes the next snapshot request render again from the latest completed
// round, as a new time stamp would; taken under the device's own lock.
void invalidate_snapshot(QX7540PM& device) {
  std::lock_guard<std::mutex> lock(device.snapshot_mutex);
  device.snapshot_time = boost::posix_time::ptime();
}

// What one reader saw; checked on the main thread after all have joined.
struct ReaderLog {
  std::vector<std::string> texts;
  int text_failures = 0;    // 801 never fitted the size it asked for
  int stale_answers = 0;    // value query said the data timed out
  int other_answers = 0;    // value query said anything but "not supported"
  int wrong_addresses = 0;  // 803 gave another address or result
  int wrong_forwards = 0;   // 802 did not offer the control status
};

// 801 with a buffer of exactly the size asked for; the text may grow between
// the two calls, so the caller retries with the size the failure reports.
bool read_text_exact(QX7540PM& device, std::string& text) {
  int size = 0;
  device.DeviceIoControl(QX7540PM::kSnapshotText, nullptr, 0, nullptr, 0, size);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::vector<char> buffer(static_cast<std::size_t>(size));
    int written = 0;
    if (device.DeviceIoControl(QX7540PM::kSnapshotText, nullptr, 0, buffer.data(), size, written) ==
        0) {
      text.assign(buffer.data(), static_cast<std::size_t>(written));
      return written <= size;
    }
    size = written;
  }
  return false;
}

// Readers keep asking while rounds complete (and at least kRequestsPerReader
// times); reader 1 forces re-renderings so that they meet many rounds, not one
// per second.
void run_reader(QX7540PM& device, int id, const std::atomic<bool>& go,
                const std::atomic<bool>& rounds_done, ReaderLog& log) {
  while (!go.load()) std::this_thread::yield();
  for (int i = 0; i < kMaxRequestsPerReader && (i < kRequestsPerReader || !rounds_done.load());
       ++i) {
    switch ((i + id) % 4) {
      case 0: {
        std::string text;
        if (id == 0) {
          if (!read_text_exact(device, text)) ++log.text_failures;
        } else {
          std::vector<char> buffer(8192);
          int written = 0;
          if (device.DeviceIoControl(QX7540PM::kSnapshotText, nullptr, 0, buffer.data(),
                                     static_cast<int>(buffer.size()), written) != 0) {
            ++log.text_failures;
          }
          text.assign(buffer.data(), static_cast<std::size_t>(written));
        }
        log.texts.push_back(std::move(text));
        if (id == 1) invalidate_snapshot(device);
        break;
      }
      case 1: {
        const Json::Value* address = nullptr;
        int size = 0;
        const int result = device.DeviceIoControl(QX7540PM::kSnapshotAddress, nullptr, 0, &address,
                                                  sizeof address, size);
        if (result != 0 || size != static_cast<int>(sizeof address) ||
            address != &device.snapshot) {
          ++log.wrong_addresses;
        }
        break;
      }
      case 2: {
        std::int32_t offered = 0;
        int size = 0;
        device.DeviceIoControl(802, nullptr, 0, &offered, sizeof offered, size);
        if (offered != -1 || size != static_cast<int>(sizeof offered)) ++log.wrong_forwards;
        break;
      }
      default: {
        try {
          device.Get_Value(0, "相电压Ua");
          ++log.other_answers;
        } catch (const std::out_of_range& e) {
          if (std::string(e.what()) == "数据已超时") {
            ++log.stale_answers;
          } else if (std::string(e.what()) != "不支持变量") {
            ++log.other_answers;
          }
        }
        break;
      }
    }
  }
}

// The snapshot a single-threaded device renders for round k, without its time.
Json::Value reference_for_round(QX7540PM& reference, int k) {
  const std::vector<unsigned char> record = record_for_round(k);
  EXPECT_EQ(reference.LoadFromCache(record.data(), static_cast<int>(record.size())), 1);
  invalidate_snapshot(reference);
  Json::Value root;
  EXPECT_TRUE(parse(qxtest::snapshot_text(reference), root));
  root.removeMember(kUpdateTimeKey);
  return root;
}

TEST(Concurrency, ReadersSeeWholeRoundsWhileRoundsAndCacheLoadsComplete) {
  qxtest::Rig rig;
  rig.framework.set_recording(false);
  QX7540PM& device = *rig.device;

  // Stamps of completed rounds, and which rounds had each one. Written by the
  // round thread only, read after it has joined.
  std::map<std::string, std::set<int>> rounds_by_stamp;
  const auto complete = [&](int k) {
    if (k % kCacheLoadEvery == 0) {
      const std::vector<unsigned char> record = record_for_round(k);
      device.LoadFromCache(record.data(), static_cast<int>(record.size()));
    } else {
      // Between the two replies the record holds a new first block beside the
      // last round's second: readers get a chance to look then.
      const auto block1 = block_for_round(k, QX7540PM_BLOCK1_START, QX7540PM_BLOCK1_COUNT);
      const auto block2 = block_for_round(k, QX7540PM_BLOCK2_START, QX7540PM_BLOCK2_COUNT);
      device.RefreshStatus();
      zelfw::deliver_reply(device, block1.data(), QX7540PM_BLOCK1_COUNT);
      std::this_thread::yield();
      zelfw::deliver_reply(device, block2.data(), QX7540PM_BLOCK2_COUNT);
    }
    rounds_by_stamp[stamp_text(device.raw_data)].insert(k);
  };

  std::vector<ReaderLog> logs(kReaders);
  qxtest::Rig reference_rig;
  reference_rig.framework.set_recording(false);
  std::map<int, Json::Value> references;
  {
    qxhost::DiscardStdout quiet;
    // Readers start with fresh data: the value query must never say "not ready".
    complete(1);
    std::atomic<bool> go{false};
    std::atomic<bool> rounds_done{false};
    std::vector<std::thread> readers;
    for (int id = 0; id < kReaders; ++id) {
      readers.emplace_back(run_reader, std::ref(device), id, std::cref(go), std::cref(rounds_done),
                           std::ref(logs[id]));
    }
    std::thread rounds([&] {
      while (!go.load()) std::this_thread::yield();
      for (int k = 2; k <= kRounds; ++k) complete(k);
      rounds_done.store(true);
    });
    go.store(true);
    rounds.join();
    for (auto& t : readers) t.join();

    for (const ReaderLog& log : logs) {
      for (const std::string& text : log.texts) {
        Json::Value root;
        if (!parse(text, root) || !root.isObject()) continue;
        const int k = round_of(root);
        if (k >= 1 && k <= kRounds && references.count(k) == 0) {
          references.emplace(k, reference_for_round(*reference_rig.device, k));
        }
      }
    }
  }

  for (int id = 0; id < kReaders; ++id) {
    const ReaderLog& log = logs[id];
    EXPECT_EQ(log.text_failures, 0) << "reader " << id;
    EXPECT_EQ(log.stale_answers, 0) << "reader " << id;
    EXPECT_EQ(log.other_answers, 0) << "reader " << id;
    EXPECT_EQ(log.wrong_addresses, 0) << "reader " << id;
    EXPECT_EQ(log.wrong_forwards, 0) << "reader " << id;
    for (const std::string& text : log.texts) {
      Json::Value root;
      ASSERT_TRUE(parse(text, root)) << text;
      ASSERT_TRUE(root.isObject()) << text;
      ASSERT_EQ(root.size(), 37u) << text;
      const int k = round_of(root);
      ASSERT_TRUE(references.count(k)) << "no such round: " << text;
      const std::string stamp = root[kUpdateTimeKey].asString();
      const auto had = rounds_by_stamp.find(stamp);
      ASSERT_NE(had, rounds_by_stamp.end()) << "no round had the stamp " << stamp;
      EXPECT_EQ(had->second.count(k), 1u) << "round " << k << " never had the stamp " << stamp;
      root.removeMember(kUpdateTimeKey);
      EXPECT_EQ(root, references[k]) << "values of more than one round: " << text;
    }
  }
}

// Two devices on two threads share nothing: each one's rounds and snapshots
// stay its own.
TEST(Concurrency, DevicesOnSeparateThreadsKeepTheirOwnRecords) {
  constexpr int kDevices = 2;
  constexpr int kPerDevice = 200;
  std::vector<std::unique_ptr<qxtest::Rig>> rigs;
  for (int d = 0; d < kDevices; ++d) {
    rigs.push_back(std::make_unique<qxtest::Rig>());
    rigs.back()->framework.set_recording(false);
  }
  std::vector<int> mismatches(kDevices, 0);
  {
    qxhost::DiscardStdout quiet;
    std::vector<std::thread> threads;
    for (int d = 0; d < kDevices; ++d) {
      threads.emplace_back([&, d] {
        qxtest::Rig& rig = *rigs[d];
        for (int i = 0; i < kPerDevice; ++i) {
          // Device d only ever sees rounds d + 1, d + 1 + kDevices, ...
          const int k = d + 1 + kDevices * (i % 300);
          rig.complete_round(block_for_round(k, QX7540PM_BLOCK1_START, QX7540PM_BLOCK1_COUNT),
                             block_for_round(k, QX7540PM_BLOCK2_START, QX7540PM_BLOCK2_COUNT));
          invalidate_snapshot(*rig.device);
          Json::Value root;
          if (!parse(qxtest::snapshot_text(*rig.device), root) || round_of(root) != k) {
            ++mismatches[d];
          }
        }
      });
    }
    for (auto& t : threads) t.join();
  }
  for (int d = 0; d < kDevices; ++d) EXPECT_EQ(mismatches[d], 0) << "device " << d;
}

// The controller's real threading: the reply thread polls, with each reply
// delivered from that thread after the request call returned, while other
// threads send control requests, load cached records, re-apply settings, read
// the snapshot through its address, ask for its text and query a value.

// How far one thread has got, for others to wait on without spinning (a spin
// would starve the threads it waits for under valgrind's one-at-a-time threads).
class Progress {
 public:
  void set(int n) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = n;
    }
    changed_.notify_all();
  }
  void wait_for(int n) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return done_ >= n; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int done_ = 0;
};

// Keeps the device's requests for the reply thread to answer.
class QueuedLink : public zelfw::ModbusLink {
 public:
  void read_registers(SPModbus&, int start, int count) override {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.emplace_back(start, count);
  }
  bool next(std::pair<int, int>& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (requests_.empty()) return false;
    request = requests_.front();
    requests_.pop_front();
    return true;
  }

 private:
  std::mutex mutex_;
  std::deque<std::pair<int, int>> requests_;
};

// The round a published record holds, or -1 when its words come from more
// than one round.
int whole_round_of(const std::vector<unsigned char>& bytes) {
  QX7540PM_Data_t record;
  std::memcpy(&record, bytes.data(), sizeof record);
  const int k = (record.block1[3] - 3) / 64;
  for (int i = 0; i < QX7540PM_BLOCK1_COUNT; ++i) {
    if (record.block1[i] != k * 64 + QX7540PM_BLOCK1_START + i) return -1;
  }
  for (int i = 0; i < QX7540PM_BLOCK2_COUNT; ++i) {
    if (record.block2[i] != k * 64 + QX7540PM_BLOCK2_START + i) return -1;
  }
  return k;
}

// The framework here holds a lock of its own across its round services, and
// the controller's threads hold that same lock around their calls, as a closed
// framework guarding its data bus might: nothing may wait for ever.
TEST(Concurrency, ControlRequestsCacheLoadsAndSettingsDuringPollingLoseNothing) {
  constexpr int kPolls = 300;
  constexpr int kEvery = 5;          // one control request, cache load, settings call per 5 polls
  constexpr int kCachedFirst = 600;  // cached records are rounds 600, 601, ...
  constexpr int kInterruptedBelow = 188;  // rounds below: phase A under 120 V / 100
  const Json::Value monitor_all = [] {
    Json::Value v;
    v["appSetting"]["has_a"] = v["appSetting"]["has_b"] = v["appSetting"]["has_c"] = 1;
    v["appSetting"]["b_mode"] = 1;
    return v;
  }();
  const Json::Value unmonitored = [] {
    Json::Value v;
    v["appSetting"]["has_a"] = v["appSetting"]["has_b"] = v["appSetting"]["has_c"] = 0;
    v["appSetting"]["b_mode"] = 2;
    return v;
  }();

  qxtest::Rig rig;
  QX7540PM& device = *rig.device;
  QueuedLink link;
  rig.framework.set_link(&link);
  rig.framework.set_service_locking(true);
  std::recursive_mutex& controller_lock = rig.framework.service_lock();
  std::mutex refresh_gate;  // no control request overlaps a RefreshStatus
  int completed_polls = 0;  // second replies stored (the reply thread's count)
  std::atomic<int> accepted_loads{0};
  Progress polls;
  std::array<Progress, 3> jobs_done;  // control requests, cache loads, settings calls
  std::vector<std::string> texts;     // 801 texts and copies read through 803
  int wrong_answers = 0;
  std::mutex texts_mutex;

  const auto poll = [&](int k) {
    {
      std::lock_guard<std::mutex> gate(refresh_gate);
      std::lock_guard<std::recursive_mutex> controller(controller_lock);
      device.RefreshStatus();
    }
    std::pair<int, int> request;
    while (link.next(request)) {
      const auto words = block_for_round(k, request.first, request.second);
      // Only the second block's reply answers 0.
      if (!zelfw::deliver_reply(device, words.data(), request.second)) ++completed_polls;
    }
  };
  const auto after_polls = [&](int n) { polls.wait_for(n); };

  {
    qxhost::DiscardStdout quiet;
    qxtest::Watchdog watchdog("polling with control requests, cache loads and settings",
                              std::chrono::seconds(300));
    device.InitSetting(monitor_all);
    poll(1);
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
      for (int k = 2; k <= kPolls; ++k) {
        // The others keep within a few polls of this thread, so that their
        // calls land between replies rather than after the last one.
        for (Progress& done : jobs_done) done.wait_for(k / kEvery - 1);
        poll(k);
        polls.set(k);
      }
    });
    threads.emplace_back([&] {
      for (int j = 1; j * kEvery < kPolls; ++j) {
        after_polls(j * kEvery);
        std::lock_guard<std::mutex> gate(refresh_gate);
        std::lock_guard<std::recursive_mutex> controller(controller_lock);
        int out_size = 0;
        device.DeviceIoControl(j % 2 ? QX7540PM::kControlRequest310 : QX7540PM::kControlRequest320,
                               "{}", 2, nullptr, 0, out_size);
        jobs_done[0].set(j);
      }
    });
    threads.emplace_back([&] {
      for (int j = 1; j * kEvery < kPolls; ++j) {
        after_polls(j * kEvery + 2);
        const auto record = record_for_round(kCachedFirst + j);
        std::lock_guard<std::recursive_mutex> controller(controller_lock);
        accepted_loads += device.LoadFromCache(record.data(), static_cast<int>(record.size()));
        jobs_done[1].set(j);
      }
    });
    threads.emplace_back([&] {
      for (int j = 1; j * kEvery < kPolls; ++j) {
        after_polls(j * kEvery + 1);
        std::lock_guard<std::recursive_mutex> controller(controller_lock);
        device.InitSetting(j % 2 ? unmonitored : monitor_all);
        jobs_done[2].set(j);
      }
    });
    for (int reader = 0; reader < 2; ++reader) {
      threads.emplace_back([&, reader] {
        std::vector<std::string> seen;
        int wrong = 0;
        // Two requests per poll at most: readers that never wait would starve
        // the reply thread where threads run one at a time (valgrind).
        for (int i = 0; i < 2 * kPolls; ++i) {
          polls.wait_for(std::min(kPolls, i / 2));
          std::lock_guard<std::recursive_mutex> controller(controller_lock);
          if ((i + reader) % 3 == 0) {
            std::string text;
            if (!read_text_exact(device, text)) ++wrong;
            seen.push_back(std::move(text));
          } else if ((i + reader) % 3 == 1) {
            // The reader's side of 803: hold the device's snapshot lock while
            // reading through the address.
            const Json::Value* address = nullptr;
            int size = 0;
            device.DeviceIoControl(QX7540PM::kSnapshotAddress, nullptr, 0, &address, sizeof address,
                                   size);
            Json::Value copy;
            {
              std::lock_guard<std::mutex> lock(device.snapshot_mutex);
              copy = *address;
            }
            seen.push_back(Json::FastWriter().write(copy));
          } else {
            try {
              device.Get_Value(0, "");
            } catch (const std::out_of_range& e) {
              // Fresh, or timed out on a slow machine: never "not ready" again.
              const std::string answer = e.what();
              if (answer != "不支持变量" && answer != "数据已超时") ++wrong;
            }
          }
        }
        std::lock_guard<std::mutex> lock(texts_mutex);
        texts.insert(texts.end(), seen.begin(), seen.end());
        wrong_answers += wrong;
      });
    }
    for (auto& t : threads) t.join();
  }
  rig.framework.set_link(nullptr);
  EXPECT_EQ(wrong_answers, 0);

  // The framework's log, in the order the calls reached it: rounds never
  // interleave, each publishes and stores the same bytes of one round, and the
  // alarm check judges that round with one whole set of settings.
  std::map<std::string, std::set<int>> rounds_by_stamp;
  std::vector<unsigned char> published;
  int round = -1;
  int polled_rounds = 0;
  int cached_rounds = 0;
  for (const zelfw::Call& c : rig.framework.calls()) {
    switch (c.op) {
      case zelfw::Op::kSendSP: {
        ASSERT_TRUE(published.empty()) << "a round started inside another";
        published = c.bytes;
        round = whole_round_of(c.bytes);
        ASSERT_GE(round, 1) << "a published record mixes rounds";
        ++(round >= kCachedFirst ? cached_rounds : polled_rounds);
        QX7540PM_Data_t record;
        std::memcpy(&record, c.bytes.data(), sizeof record);
        rounds_by_stamp[stamp_text(record)].insert(round);
        break;
      }
      case zelfw::Op::kCheckThresholdBool:
        // Only the monitoring settings run the check, and with all three flags.
        EXPECT_EQ(c.ints.at(1) != 0, round < kInterruptedBelow) << "round " << round;
        break;
      case zelfw::Op::kSaveDeviceHistory:
        EXPECT_EQ(c.bytes, published) << "round " << round << " stored other bytes";
        published.clear();
        break;
      default:
        break;
    }
  }
  // Every completed poll is published unless a control request gave it up or
  // it waited behind more rounds than the bound; every accepted cache load is.
  EXPECT_GT(polled_rounds, kPolls / 2);
  EXPECT_EQ(polled_rounds + static_cast<int>(device.abandoned_rounds + device.dropped_rounds),
            completed_polls);
  EXPECT_EQ(cached_rounds, accepted_loads.load());
  EXPECT_EQ(accepted_loads.load() + static_cast<int>(device.refused_cache_loads),
            (kPolls - 1) / kEvery);

  // Every text a reader saw is one completed round's.
  qxtest::Rig reference_rig;
  reference_rig.framework.set_recording(false);
  qxhost::DiscardStdout quiet;
  std::map<int, Json::Value> references;
  for (const std::string& text : texts) {
    Json::Value root;
    ASSERT_TRUE(parse(text, root)) << text;
    ASSERT_TRUE(root.isObject() && root.size() == 37u) << text;
    const int k = round_of(root);
    // A round given up by a control request after it completed is shown but
    // never published; any other must have been.
    const auto had = rounds_by_stamp.find(root[kUpdateTimeKey].asString());
    if (device.abandoned_rounds == 0 && device.dropped_rounds == 0) {
      ASSERT_NE(had, rounds_by_stamp.end()) << "no round had this time: " << text;
      ASSERT_EQ(had->second.count(k), 1u) << "round " << k << " was never published: " << text;
    }
    if (references.count(k) == 0) {
      references.emplace(k, reference_for_round(*reference_rig.device, k));
    }
    root.removeMember(kUpdateTimeKey);
    EXPECT_EQ(root, references[k]) << "values of more than one round: " << text;
  }
}

}  // namespace
