// The explorer's scheduler: scripted threads that run one at a time and hand
// over at each scheduling point, the model of who holds which plug-in mutex
// and the framework's reply link, and the depth-first walk over every
// schedule within the preemption bound.
#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <semaphore.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "engine.h"

namespace qxexplore {
namespace {

using MutexFn = int (*)(pthread_mutex_t*);
MutexFn real_lock = nullptr, real_unlock = nullptr, real_trylock = nullptr;

void resolve_mutex_functions() {
  real_lock = reinterpret_cast<MutexFn>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
  real_unlock = reinterpret_cast<MutexFn>(dlsym(RTLD_NEXT, "pthread_mutex_unlock"));
  real_trylock = reinterpret_cast<MutexFn>(dlsym(RTLD_NEXT, "pthread_mutex_trylock"));
}

std::atomic<std::uintptr_t> plugin_lo{0}, plugin_hi{0};
Engine* g_engine = nullptr;

bool from_plugin(void* return_address) {
  const auto a = reinterpret_cast<std::uintptr_t>(return_address);
  return a >= plugin_lo.load(std::memory_order_relaxed) &&
         a < plugin_hi.load(std::memory_order_relaxed);
}

}  // namespace

thread_local int t_worker = -1;
}  // namespace qxexplore

// The plug-in's own lock operations are scheduling points on scripted threads;
// every other caller goes straight to the C library.
extern "C" int pthread_mutex_lock(pthread_mutex_t* m) {
  using namespace qxexplore;
  if (real_lock == nullptr) resolve_mutex_functions();
  if (t_worker >= 0 && g_engine != nullptr && from_plugin(__builtin_return_address(0)))
    return g_engine->lock(m, false);
  return real_lock(m);
}
extern "C" int pthread_mutex_trylock(pthread_mutex_t* m) {
  using namespace qxexplore;
  if (real_trylock == nullptr) resolve_mutex_functions();
  if (t_worker >= 0 && g_engine != nullptr && from_plugin(__builtin_return_address(0)))
    return g_engine->trylock(m);
  return real_trylock(m);
}
extern "C" int pthread_mutex_unlock(pthread_mutex_t* m) {
  using namespace qxexplore;
  if (real_unlock == nullptr) resolve_mutex_functions();
  if (t_worker >= 0 && g_engine != nullptr && from_plugin(__builtin_return_address(0)))
    return g_engine->unlock(m, false);
  return real_unlock(m);
}

namespace qxexplore {

void set_plugin_range(const std::string& path) {
  // The loaded object whose file is the plug-in's: its segments' span.
  struct Search {
    const char* real;
    std::uintptr_t lo = UINTPTR_MAX, hi = 0;
  };
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) return;
  Search search{resolved};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        auto* s = static_cast<Search*>(data);
        char name[PATH_MAX];
        if (info->dlpi_name == nullptr || realpath(info->dlpi_name, name) == nullptr ||
            std::strcmp(name, s->real) != 0)
          return 0;
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& ph = info->dlpi_phdr[i];
          if (ph.p_type != PT_LOAD) continue;
          s->lo = std::min<std::uintptr_t>(s->lo, info->dlpi_addr + ph.p_vaddr);
          s->hi = std::max<std::uintptr_t>(s->hi, info->dlpi_addr + ph.p_vaddr + ph.p_memsz);
        }
        return 1;
      },
      &search);
  plugin_lo = search.lo;
  plugin_hi = search.hi;
}

Engine::Engine(const qxhost::Plugin& plugin, bool counters) : plugin_(plugin), counters_(counters) {
  if (real_lock == nullptr) resolve_mutex_functions();
  set_plugin_range(plugin.path());
  if (plugin_hi.load() == 0) {
    std::fprintf(stderr, "explorer: cannot find %s among the loaded objects\n",
                 plugin.path().c_str());
    std::exit(2);
  }
  sem_init(&main_done_, 0, 0);
  g_engine = this;
}

Engine::~Engine() {
  g_engine = nullptr;
  for (auto& w : workers_) {
    if (!w || w->leaked) continue;
    w->quit = true;
    sem_post(&w->go);
    w->thread.join();
  }
}

Engine::Worker& Engine::self() { return *workers_[static_cast<std::size_t>(t_worker)]; }

int Engine::owner(pthread_mutex_t* m) const {
  for (const auto& o : owners_)
    if (o.first == m) return o.second;
  return -1;
}

void Engine::set_owner(pthread_mutex_t* m, int thread) {
  owners_.erase(
      std::remove_if(owners_.begin(), owners_.end(),
                     [m](const std::pair<pthread_mutex_t*, int>& o) { return o.first == m; }),
      owners_.end());
  if (thread >= 0) owners_.emplace_back(m, thread);
}

int Engine::innermost(const Worker& w) const { return w.ops.empty() ? -1 : w.ops.back(); }

bool Engine::enabled(int t) {
  Worker& w = *workers_[static_cast<std::size_t>(t)];
  if (w.finished || w.stuck) return false;
  if (prelude_ && t != 0) return false;
  switch (w.pending.kind) {
    case Pending::kLock: {
      const int o = owner(w.pending.mutex);
      if (o == t) {
        w.stuck = true;
        violate(7, "thread " + std::to_string(t) + " locks a plug-in mutex it already holds");
        return false;
      }
      return o < 0;
    }
    case Pending::kToken:
      return token_owner_ < 0 || token_owner_ == t;
    default:
      return true;
  }
}

int Engine::extras_for(int t) const {
  const Worker& w = *workers_[static_cast<std::size_t>(t)];
  if (prelude_ || epilogue_ || extras_used_ > 0 || w.pending.kind != Pending::kEnter) return 0;
  const auto& at = scenario_->extras_at;
  if (!at.empty() && std::find(at.begin(), at.end(), w.pending.op) == at.end()) return 0;
  return static_cast<int>(scenario_->callbacks.size()) + 1;  // 1: throw (if the scenario throws)
}

void Engine::check_reader_stall() {
  if (reader_stall_reported_) return;
  for (std::size_t t = 0; t < workers_.size(); ++t) {
    Worker& w = *workers_[t];
    if (w.finished || w.pending.kind != Pending::kLock || w.ops.empty()) continue;
    const OpKind kind = trace_.ops[static_cast<std::size_t>(w.ops.back())].kind;
    bool publishing = false;
    for (const Publication& p : trace_.pubs) publishing |= p.op == w.ops.back();
    if (kind != OpKind::kReply && kind != OpKind::kDuplicate && kind != OpKind::kCache &&
        !publishing)
      continue;
    // Follow who waits for whom until a reader holding snapshot_mutex.
    pthread_mutex_t* m = w.pending.mutex;
    for (int hops = 0; hops < 4; ++hops) {
      const int o = owner(m);
      if (o < 0 || o == static_cast<int>(t)) break;
      Worker& holder = *workers_[static_cast<std::size_t>(o)];
      if (holder.reading) {
        reader_stall_reported_ = true;
        violate(6, "thread " + std::to_string(t) + " (" + static_cast<char>(kind) +
                       ") waits for a plug-in mutex while an 803 reader on thread " +
                       std::to_string(o) + " holds snapshot_mutex");
        return;
      }
      if (holder.pending.kind != Pending::kLock) break;
      m = holder.pending.mutex;
    }
  }
}

int Engine::decide() {
  const int n = static_cast<int>(workers_.size());
  std::vector<bool> on(static_cast<std::size_t>(n));
  int first = -1;
  for (int t = 0; t < n; ++t) {
    on[static_cast<std::size_t>(t)] = t < threads_ && enabled(t);
    if (on[static_cast<std::size_t>(t)] && first < 0) first = t;
  }
  check_reader_stall();
  if (first < 0) return -1;
  const bool current_on = current_ >= 0 && on[static_cast<std::size_t>(current_)];
  const int d = current_on ? current_ : first;
  const std::string label = point_label();
  Point point;
  auto consider = [&](int t) {
    const int extras = extras_for(t);
    for (int e = 0; e <= extras; ++e) {
      if (e == 1 && !scenario_->throws) continue;
      const int cost = ((current_on && t != current_) ? 1 : 0) + (e > 0 ? 1 : 0);
      if (preemptions_ + cost > bound_) continue;
      point.alts.push_back(Choice{static_cast<int>(points_.size()), t, e, label});
    }
  };
  consider(d);
  for (int t = 0; t < n; ++t)
    if (t != d && on[static_cast<std::size_t>(t)]) consider(t);
  const std::size_t index = points_.size();
  int chosen = 0;
  if (replay_ != nullptr) {
    for (std::size_t k = 0; k < replay_->size(); ++k) {
      const Choice& c = (*replay_)[k];
      if (c.label.empty() ? c.point != static_cast<int>(index) : c.label != label) continue;
      replay_reached_[k] = true;
      for (std::size_t a = 0; a < point.alts.size(); ++a)
        if (point.alts[a].thread == c.thread && point.alts[a].extra == c.extra)
          chosen = static_cast<int>(a);
      if (chosen == 0) replay_mismatch_ = true;
    }
  } else if (index < forced_.size()) {
    chosen = std::min(forced_[index], static_cast<int>(point.alts.size()) - 1);
  }
  point.chosen = chosen;
  const Choice c = point.alts[static_cast<std::size_t>(chosen)];
  if (current_on && c.thread != current_) ++preemptions_;
  if (c.extra > 0) ++preemptions_, ++extras_used_;
  workers_[static_cast<std::size_t>(c.thread)]->extra = c.extra;
  points_.push_back(std::move(point));
  current_ = c.thread;
  return c.thread;
}

std::string Engine::point_label() {
  if (t_worker < 0) return "s";
  Worker& w = self();
  std::string event;
  switch (w.pending.kind) {
    case Pending::kLock:
      event = "l";
      break;
    case Pending::kTrylock:
      event = "t";
      break;
    case Pending::kUnlock:
      event = "u";
      break;
    case Pending::kEnter:
      event = std::string(">") + zelfw::op_name(w.pending.op);
      break;
    case Pending::kReturn:
      event = std::string("<") + zelfw::op_name(w.pending.op);
      break;
    case Pending::kToken:
      event = "k";
      break;
    case Pending::kHold:
      event = "h";
      break;
    case Pending::kDone:
      event = "e";
      break;
    default:
      event = "s";
      break;
  }
  const std::string where = std::to_string(t_worker) + "." + std::to_string(w.script_op);
  if (w.pending.kind == Pending::kEnter || w.pending.kind == Pending::kReturn) {
    w.anchor = event + std::to_string(++w.calls[event]);
    w.since_anchor.clear();
    return where + w.anchor;
  }
  return where + w.anchor + ":" + event + std::to_string(++w.since_anchor[event]);
}

void Engine::deadlock() {
  std::string waiting;
  for (int t = 0; t < threads_; ++t) {
    const Worker& w = *workers_[static_cast<std::size_t>(t)];
    if (w.finished) continue;
    waiting += " thread " + std::to_string(t) +
               (w.pending.kind == Pending::kToken ? " (the reply link)" : " (a plug-in mutex)");
  }
  violate(7, "deadlock: every unfinished thread waits:" + waiting);
  deadlocked_ = true;
  sem_post(&main_done_);
}

void Engine::point(Pending pending) {
  Worker& w = self();
  w.pending = pending;
  const int next = decide();
  if (next < 0) {
    deadlock();
    for (;;) sem_wait(&w.go);  // this thread is given up with the device
  }
  if (next != t_worker) {
    sem_post(&workers_[static_cast<std::size_t>(next)]->go);
    while (sem_wait(&w.go) != 0) {
    }
  }
  w.pending = Pending{};
}

int Engine::lock(pthread_mutex_t* m, bool reader) {
  point(Pending{Pending::kLock, m, zelfw::Op::kCount});
  Worker& w = self();
  const int op = innermost(w);
  if (op >= 0 && trace_.ops[static_cast<std::size_t>(op)].first_lock < 0)
    trace_.ops[static_cast<std::size_t>(op)].first_lock = ++seq_;
  if (real_trylock(m) != 0) {
    std::fprintf(stderr, "explorer: a plug-in mutex is held where the explorer saw none\n");
    std::abort();
  }
  set_owner(m, t_worker);
  w.held.push_back(m);
  w.reading = reader;
  return 0;
}

int Engine::trylock(pthread_mutex_t* m) {
  point(Pending{Pending::kTrylock, m, zelfw::Op::kCount});
  const int rc = real_trylock(m);
  if (rc == 0) {
    set_owner(m, t_worker);
    self().held.push_back(m);
  }
  return rc;
}

int Engine::unlock(pthread_mutex_t* m, bool reader) {
  point(Pending{Pending::kUnlock, m, zelfw::Op::kCount});
  Worker& w = self();
  const int rc = real_unlock(m);
  set_owner(m, -1);
  w.held.erase(std::remove(w.held.begin(), w.held.end(), m), w.held.end());
  if (reader) w.reading = false;
  w.last_unlock = ++seq_;
  // A reply's registers are the device's once it lets go of its first lock.
  const int op = innermost(w);
  if (!reader && op >= 0 && token_owner_ == t_worker && !token_ops_.empty() &&
      token_ops_.back() == op && trace_.ops[static_cast<std::size_t>(op)].kind != OpKind::kRefresh)
    release_token(op);
  return rc;
}

void Engine::acquire_token(int op) {
  point(Pending{Pending::kToken, nullptr, zelfw::Op::kCount});
  token_owner_ = t_worker;
  token_ops_.push_back(op);
}

void Engine::release_token(int op) {
  if (token_ops_.empty() || token_ops_.back() != op) return;
  token_ops_.pop_back();
  if (token_ops_.empty()) token_owner_ = -1;
  OpRecord& o = trace_.ops[static_cast<std::size_t>(op)];
  if (o.stored < 0) o.stored = ++seq_;
}

void Engine::on_call(zelfw::Op op, zelfw::Phase phase) {
  if (t_worker < 0) return;
  Worker& w = self();
  if (phase == zelfw::Phase::kReturn) {
    point(Pending{Pending::kReturn, nullptr, op});
    ++seq_;
    return;
  }
  if (!w.held.empty())
    violate(7, std::string("a plug-in lock is held at the framework call ") + zelfw::op_name(op));
  point(Pending{Pending::kEnter, nullptr, op});
  const long s = ++seq_;
  const int extra = w.extra;
  w.extra = 0;
  const int current = innermost(w);
  if (extra == 1) {
    trace_.throws.push_back(s);
    for (int p : w.sends) trace_.pubs[static_cast<std::size_t>(p)].end = s;
    w.sends.clear();
    if (op == zelfw::Op::kSendSP) {
      Publication p;
      p.thread = t_worker, p.op = current, p.send = s, p.end = s, p.send_threw = true;
      p.last_unlock = w.last_unlock;
      trace_.pubs.push_back(p);
    }
    throw Injected{};
  }
  if (op == zelfw::Op::kReadRegisters) {
    Request r;
    r.op = current;
    r.seq = s;
    const int q = static_cast<int>(trace_.requests.size());
    const OpRecord* o = current >= 0 ? &trace_.ops[static_cast<std::size_t>(current)] : nullptr;
    if (o != nullptr && o->kind == OpKind::kRefresh) {
      r.chain = q;
      chain_ = q;
    } else if (o != nullptr && o->answered >= 0) {
      r.block2 = true;
      r.parent = o->answered;
      r.chain = trace_.requests[static_cast<std::size_t>(o->answered)].chain;
    } else {
      r.chain = -2;  // not part of a round the explorer answers
    }
    trace_.requests.push_back(r);
    w.entered_requests.push_back(q);
    if (o != nullptr && o->kind == OpKind::kRefresh) release_token(current);
  } else if (op == zelfw::Op::kSendSP) {
    Publication p;
    p.thread = t_worker, p.op = current, p.send = s, p.last_unlock = w.last_unlock;
    w.sends.push_back(static_cast<int>(trace_.pubs.size()));
    trace_.pubs.push_back(p);
  }
  if (extra >= 2)
    run_op(static_cast<OpKind>(scenario_->callbacks[static_cast<std::size_t>(extra - 2)]));
}

void Engine::on_logged(const zelfw::Call& c) {
  if (t_worker < 0) return;
  Worker& w = self();
  if (c.op == zelfw::Op::kReadRegisters && !w.entered_requests.empty()) {
    Request& r = trace_.requests[static_cast<std::size_t>(w.entered_requests.back())];
    w.entered_requests.pop_back();
    r.start = static_cast<int>(c.ints.at(0));
    r.count = static_cast<int>(c.ints.at(1));
  } else if (c.op == zelfw::Op::kSendSP && !w.sends.empty()) {
    trace_.pubs[static_cast<std::size_t>(w.sends.back())].sent = c.bytes;
  } else if (c.op == zelfw::Op::kSaveDeviceHistory && !w.sends.empty()) {
    Publication& p = trace_.pubs[static_cast<std::size_t>(w.sends.back())];
    w.sends.pop_back();
    p.save = p.end = seq_;
    p.saved = c.bytes;
  }
}

void Engine::violate(int item, const std::string& what) {
  trace_.online.push_back(Violation{item, what});
}

}  // namespace qxexplore
