// One schedule: a fresh meter on a recording stand-in framework, the scripts
// on the explorer's threads, the device operations as a sane framework and
// controller make them, and the walk from one schedule to the next.
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <stdexcept>

#include <json/reader.h>

#include "engine.h"

namespace qxexplore {
namespace {

constexpr int kMaxThreads = 3;
constexpr std::size_t kTextRoom = 8192;

Json::Value parse_json(const std::string& text) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value value;
  std::string error;
  if (!reader->parse(text.data(), text.data() + text.size(), &value, &error))
    return Json::Value(text);
  return value;
}

}  // namespace

std::vector<unsigned char> cache_record(int c) {
  QX7540PM_Data_t record{};
  record.device_data_id = 0x7100 + c;
  for (unsigned i = 0; i < QX7540PM_BLOCK1_COUNT; ++i)
    record.block1[i] = static_cast<std::uint16_t>(0x8000 + c * 64 + static_cast<int>(i));
  for (unsigned i = 0; i < QX7540PM_BLOCK2_COUNT; ++i)
    record.block2[i] = static_cast<std::uint16_t>(0x8000 + c * 64 + 32 + static_cast<int>(i));
  const auto* p = reinterpret_cast<const unsigned char*>(&record);
  return std::vector<unsigned char>(p, p + sizeof record);
}

void Engine::work(int index) {
  t_worker = index;
  Worker& w = *workers_[static_cast<std::size_t>(index)];
  for (;;) {
    while (sem_wait(&w.go) != 0) {
    }
    if (w.quit) return;
    for (std::size_t i = 0; i < w.script.size(); ++i) {
      if (index == 0 && i == w.prelude) prelude_ = false;
      w.script_op = static_cast<int>(i);
      w.calls.clear(), w.anchor.clear(), w.since_anchor.clear();
      run_op(static_cast<OpKind>(w.script[i]));
    }
    w.script_op = static_cast<int>(w.script.size());
    w.calls.clear(), w.anchor.clear(), w.since_anchor.clear();
    if (index == 0) prelude_ = false;
    finish();
  }
}

void Engine::finish() {
  Worker& w = self();
  w.finished = true;
  w.pending = Pending{Pending::kDone};
  const int next = decide();
  if (next >= 0) {
    sem_post(&workers_[static_cast<std::size_t>(next)]->go);
    return;
  }
  bool all = true;
  for (int t = 0; t < threads_; ++t) all = all && workers_[static_cast<std::size_t>(t)]->finished;
  if (all) {
    // The framework's next poll, alone: whatever is still waiting then must
    // be published by it.
    w.finished = false;
    epilogue_ = true;
    run_op(OpKind::kRefresh);
    w.finished = true;
    sem_post(&main_done_);
  } else {
    deadlock();
  }
}

void Engine::run_op(OpKind kind) {
  Worker& w = self();
  const int id = static_cast<int>(trace_.ops.size());
  OpRecord record;
  record.id = id;
  record.thread = t_worker;
  record.parent = innermost(w);
  record.kind = kind;
  record.start = ++seq_;
  trace_.ops.push_back(record);
  w.ops.push_back(id);
  try {
    device_op(kind, id);
  } catch (const Injected&) {
    trace_.ops[static_cast<std::size_t>(id)].threw = true;
    trace_.ops[static_cast<std::size_t>(id)].injected = true;
  } catch (const std::exception& e) {
    trace_.ops[static_cast<std::size_t>(id)].threw = true;
    trace_.ops[static_cast<std::size_t>(id)].error = e.what();
  }
  release_token(id);
  w.ops.pop_back();
  trace_.ops[static_cast<std::size_t>(id)].end = ++seq_;
}

void Engine::device_op(OpKind kind, int id) {
  QX7540PM& device = *device_;
  auto rec = [&]() -> OpRecord& { return trace_.ops[static_cast<std::size_t>(id)]; };
  switch (kind) {
    case OpKind::kRefresh:
      // The link is the framework's from here until the request is issued.
      acquire_token(id);
      rec().result = device.RefreshStatus();
      break;
    case OpKind::kReply:
    case OpKind::kDuplicate: {
      acquire_token(id);
      // The latest request of the round being polled: a later request
      // supersedes an earlier one, and a new round every older one.
      int q = -1;
      for (int r = static_cast<int>(trace_.requests.size()) - 1; r >= 0 && q < 0; --r)
        if (trace_.requests[static_cast<std::size_t>(r)].chain == chain_ && chain_ >= 0) q = r;
      if (q >= 0) {
        Request& r = trace_.requests[static_cast<std::size_t>(q)];
        if (kind == OpKind::kReply ? r.answered : !r.block2) q = -1;
      }
      if (q < 0) return;  // nothing to answer
      trace_.requests[static_cast<std::size_t>(q)].answered = true;
      rec().answered = q;
      std::uint16_t words[QX7540PM_BLOCK1_COUNT];
      for (int i = 0; i < static_cast<int>(QX7540PM_BLOCK1_COUNT); ++i) words[i] = reply_word(q, i);
      rec().result = zelfw::deliver_reply(device, words, QX7540PM_BLOCK1_COUNT);
      break;
    }
    case OpKind::kCache: {
      const int c = caches_++;
      rec().cache = c;
      const std::vector<unsigned char> bytes = cache_record(c);
      rec().result = device.LoadFromCache(bytes.data(), static_cast<int>(bytes.size()));
      break;
    }
    case OpKind::kControl310:
    case OpKind::kControl320: {
      const char body[] = "{\"signal_id\":\"1\"}";
      char out[64];
      int size = 0;
      rec().result =
          device.DeviceIoControl(kind == OpKind::kControl310 ? 310 : 320, body,
                                 static_cast<int>(sizeof body - 1), out, sizeof out, size);
      break;
    }
    case OpKind::kSettings: {
      Json::Value setting;
      setting["appSetting"]["has_a"] = 1;
      setting["appSetting"]["has_b"] = "1";
      setting["appSetting"]["b_mode"] = 1;
      rec().result = device.InitSetting(setting);
      break;
    }
    case OpKind::kText: {
      std::vector<char> out(kTextRoom);
      int size = 0;
      rec().result =
          device.DeviceIoControl(801, nullptr, 0, out.data(), static_cast<int>(out.size()), size);
      if (rec().result == 0 && size >= 0 && static_cast<std::size_t>(size) <= out.size()) {
        rec().snapshot = parse_json(std::string(out.data(), static_cast<std::size_t>(size)));
        rec().has_snapshot = true;
      }
      break;
    }
    case OpKind::kReader: {
      const Json::Value* address = nullptr;
      int size = 0;
      rec().result = device.DeviceIoControl(803, nullptr, 0, &address, sizeof address, size);
      if (rec().result != 0 || address == nullptr) break;
      // The controller's reader, as the device's documentation shows it.
      pthread_mutex_t* m = device.snapshot_mutex.native_handle();
      lock(m, true);
      Json::Value copy = *address;
      point(Pending{Pending::kHold});
      unlock(m, true);
      rec().snapshot = copy;
      rec().has_snapshot = true;
      break;
    }
  }
}

RunResult Engine::run(const Scenario& scenario, int bound, const std::vector<int>& forced,
                      const std::vector<Choice>* replay) {
  scenario_ = &scenario;
  bound_ = bound;
  forced_ = forced;
  replay_ = replay;
  replay_mismatch_ = false;
  replay_reached_.assign(replay != nullptr ? replay->size() : 0, false);
  threads_ = static_cast<int>(std::min<std::size_t>(scenario.scripts.size(), kMaxThreads));
  points_.clear();
  current_ = -1, preemptions_ = 0, extras_used_ = 0, seq_ = 0, chain_ = -1, caches_ = 0;
  prelude_ = !scenario.prelude.empty();
  deadlocked_ = reader_stall_reported_ = epilogue_ = false;
  owners_.clear();
  token_owner_ = -1;
  token_ops_.clear();
  trace_ = Trace{};

  auto* framework = new zelfw::Framework();
  framework->set_observer([this](const zelfw::Call& c) { on_logged(c); });
  framework->set_call_hook([this](zelfw::Op op, zelfw::Phase phase) { on_call(op, phase); });
  qxhost::MeterPtr meter = plugin_.create_meter();
  framework->attach(*meter);
  device_ = meter.get();
  framework_ = framework;
  trace_.counters = counters_;
  if (counters_) trace_.counters_before = meter->abandoned_rounds + meter->dropped_rounds;

  while (workers_.size() < static_cast<std::size_t>(threads_)) workers_.emplace_back(nullptr);
  for (int t = 0; t < threads_; ++t) {
    auto& slot = workers_[static_cast<std::size_t>(t)];
    if (!slot) {
      slot.reset(new Worker());
      slot->thread = std::thread([this, t] { work(t); });
    }
    Worker& w = *slot;
    w.script =
        (t == 0 ? scenario.prelude : std::string()) + scenario.scripts[static_cast<std::size_t>(t)];
    w.prelude = t == 0 ? scenario.prelude.size() : 0;
    w.pending = Pending{Pending::kStart};
    w.finished = w.stuck = w.reading = false;
    w.extra = 0;
    w.ops.clear(), w.held.clear(), w.entered_requests.clear(), w.sends.clear();
    w.last_unlock = -1;
  }
  const int first = decide();
  sem_post(&workers_[static_cast<std::size_t>(first)]->go);
  while (sem_wait(&main_done_) != 0) {
  }

  RunResult result;
  if (deadlocked_) {
    // Threads that wait forever keep the device, its framework and their
    // own slots: all are given up, and new threads take the slots.
    for (int t = 0; t < threads_; ++t) {
      auto& slot = workers_[static_cast<std::size_t>(t)];
      if (slot->finished) continue;
      slot->leaked = true;
      slot->thread.detach();
      slot.release();
    }
    meter.release();
  } else {
    if (counters_) trace_.counters_after = meter->abandoned_rounds + meter->dropped_rounds;
    framework->set_call_hook(nullptr);
    meter.reset();
    delete framework;
  }
  framework_ = nullptr;
  device_ = nullptr;
  result.trace = std::move(trace_);
  for (const Point& p : points_) {
    if (p.chosen != 0) result.deviations.push_back(p.alts[static_cast<std::size_t>(p.chosen)]);
  }
  result.preemptions = preemptions_;
  for (bool reached : replay_reached_) replay_mismatch_ = replay_mismatch_ || !reached;
  result.violations = result.trace.online;
  if (!deadlocked_) {
    const std::vector<Violation> found = check(result.trace, plugin_);
    result.violations.insert(result.violations.end(), found.begin(), found.end());
  }
  return result;
}

struct Explorer::Impl {
  Engine engine;
  Impl(const qxhost::Plugin& plugin, bool counters) : engine(plugin, counters) {}
};

Explorer::Explorer(const qxhost::Plugin& plugin, bool counters)
    : impl_(new Impl(plugin, counters)) {}
Explorer::~Explorer() { delete impl_; }

long Explorer::explore(const Scenario& scenario, int bound, bool stop_first,
                       void (*report)(const Scenario&, const RunResult&, void*), void* context) {
  std::vector<int> forced;
  long schedules = 0;
  for (;;) {
    const RunResult result = impl_->engine.run(scenario, bound, forced, nullptr);
    ++schedules;
    if (!result.violations.empty()) {
      report(scenario, result, context);
      if (stop_first) break;
    }
    // Depth first: the deepest point with a choice not yet taken.
    const std::vector<Point>& points = impl_->engine.points();
    int i = static_cast<int>(points.size()) - 1;
    while (i >= 0 && points[static_cast<std::size_t>(i)].chosen + 1 >=
                         static_cast<int>(points[static_cast<std::size_t>(i)].alts.size()))
      --i;
    if (i < 0) break;
    forced.clear();
    for (int k = 0; k < i; ++k) forced.push_back(points[static_cast<std::size_t>(k)].chosen);
    forced.push_back(points[static_cast<std::size_t>(i)].chosen + 1);
  }
  return schedules;
}

RunResult Explorer::replay(const Scenario& scenario, const std::vector<Choice>& choices) {
  RunResult result = impl_->engine.run(scenario, 1 << 20, {}, &choices);
  result.mismatch = impl_->engine.replay_mismatch();
  return result;
}

// A choice string lists the points where the schedule leaves the default
// (go on with the running thread, else the lowest-numbered one that can):
// "name@thread" (a point's name, see Choice; a bare number is the point's
// place in the schedule), then "!" for a framework call that throws or "+L"
// for a callback of operation L, separated by commas.
std::string format_choices(const std::vector<Choice>& choices, const Scenario& scenario) {
  std::ostringstream out;
  for (std::size_t i = 0; i < choices.size(); ++i) {
    const Choice& c = choices[i];
    if (i > 0) out << ',';
    out << (c.label.empty() ? std::to_string(c.point) : c.label) << '@' << c.thread;
    if (c.extra == 1) out << '!';
    if (c.extra >= 2) out << '+' << scenario.callbacks[static_cast<std::size_t>(c.extra - 2)];
  }
  return choices.empty() ? std::string("-") : out.str();
}

bool parse_choices(const std::string& text, const Scenario& scenario, std::vector<Choice>& out) {
  out.clear();
  if (text == "-" || text.empty()) return true;
  std::istringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    Choice c{0, 0, 0, std::string()};
    const std::size_t at = item.rfind('@');
    if (at == std::string::npos || at == 0) return false;
    const std::string name = item.substr(0, at);
    if (name.find_first_not_of("0123456789") == std::string::npos) {
      if (name.size() > 9) return false;
      c.point = std::stoi(name);
    } else {
      c.label = name;
    }
    std::istringstream one(item.substr(at + 1));
    if (!(one >> c.thread)) return false;
    char mark = 0;
    if (one >> mark) {
      if (mark == '!') {
        c.extra = 1;
      } else if (mark == '+') {
        char op = 0;
        if (!(one >> op)) return false;
        const std::size_t k = scenario.callbacks.find(op);
        if (k == std::string::npos) return false;
        c.extra = 2 + static_cast<int>(k);
      } else {
        return false;
      }
    }
    out.push_back(c);
  }
  return true;
}

}  // namespace qxexplore
