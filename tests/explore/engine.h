// The explorer's scheduler and the device operations its threads run.
#pragma once

#include <pthread.h>
#include <semaphore.h>

#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "explorer.h"

namespace qxexplore {

/// The scripted thread running this code, or -1.
extern thread_local int t_worker;

/// What a framework call throws when the explorer says so.
struct Injected {};

/// What a scripted thread does next, as the scheduler sees it.
struct Pending {
  enum Kind { kRunning, kStart, kLock, kTrylock, kUnlock, kEnter, kReturn, kToken, kHold, kDone };
  Kind kind = kRunning;
  pthread_mutex_t* mutex = nullptr;
  zelfw::Op op = zelfw::Op::kCount;
};

/// One scheduling point: the choices open there, in the order they are tried
/// (the default first), and the one taken.
struct Point {
  std::vector<Choice> alts;
  int chosen = 0;
};

class Engine {
 public:
  Engine(const qxhost::Plugin& plugin, bool counters);
  ~Engine();

  /// One schedule: forced choices by index at each point (depth-first walk),
  /// or choices as given in a choice string (replay).
  RunResult run(const Scenario& scenario, int bound, const std::vector<int>& forced,
                const std::vector<Choice>* replay);
  const std::vector<Point>& points() const { return points_; }
  bool replay_mismatch() const { return replay_mismatch_; }

  // Scheduling points, called on scripted threads.
  int lock(pthread_mutex_t* m, bool reader);
  int trylock(pthread_mutex_t* m);
  int unlock(pthread_mutex_t* m, bool reader);
  void on_call(zelfw::Op op, zelfw::Phase phase);
  void on_logged(const zelfw::Call& call);

 private:
  struct Worker {
    sem_t go;
    std::thread thread;
    bool quit = false, leaked = false;
    std::string script;
    std::size_t prelude = 0;  ///< leading operations of the script that are the prelude
    Pending pending;
    bool finished = true, stuck = false, reading = false;
    int extra = 0;
    std::vector<int> ops;  ///< operations running, outermost first
    std::vector<pthread_mutex_t*> held;
    std::vector<int> entered_requests, sends;
    long last_unlock = -1;
    /// For point names: the script operation running, how often it has
    /// reached each framework call's entry and return, the last of those (the
    /// anchor), and how often each other event has been reached since.
    int script_op = -1;
    std::map<std::string, int> calls;
    std::string anchor;
    std::map<std::string, int> since_anchor;
    Worker() { sem_init(&go, 0, 0); }
  };

  Worker& self();
  void work(int index);
  void finish();
  void run_op(OpKind kind);
  void device_op(OpKind kind, int id);
  void point(Pending pending);
  int decide();
  std::string point_label();
  bool enabled(int t);
  int extras_for(int t) const;
  void check_reader_stall();
  void deadlock();
  int owner(pthread_mutex_t* m) const;
  void set_owner(pthread_mutex_t* m, int thread);
  int innermost(const Worker& w) const;
  void acquire_token(int op);
  void release_token(int op);
  void violate(int item, const std::string& what);

  const qxhost::Plugin& plugin_;
  const bool counters_;
  std::vector<std::unique_ptr<Worker>> workers_;
  sem_t main_done_;

  // The schedule being run.
  const Scenario* scenario_ = nullptr;
  int bound_ = 0, threads_ = 0;
  std::vector<int> forced_;
  const std::vector<Choice>* replay_ = nullptr;
  bool replay_mismatch_ = false;
  std::vector<bool> replay_reached_;  ///< which of the replay's choices met their point
  std::vector<Point> points_;
  int current_ = -1, preemptions_ = 0, extras_used_ = 0;
  bool prelude_ = false, deadlocked_ = false, reader_stall_reported_ = false;
  bool epilogue_ = false;  ///< the last thread's closing RefreshStatus runs
  long seq_ = 0;
  std::vector<std::pair<pthread_mutex_t*, int>> owners_;
  int token_owner_ = -1;
  std::vector<int> token_ops_;
  int chain_ = -1;  ///< the round being polled: its block 1 request
  int caches_ = 0;
  Trace trace_;
  zelfw::Framework* framework_ = nullptr;
  QX7540PM* device_ = nullptr;
};

}  // namespace qxexplore
