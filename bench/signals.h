// Ctrl-C and SIGTERM end a bench run cleanly: a watcher thread takes them
// and asks the run to stop, so the summary of what was done still prints.
// Before a run polls (inputs being read, the plug-in loading) and after it,
// they end the bench at once, leaving no temporary output file behind.
#pragma once

#include <signal.h>

#include <atomic>
#include <thread>

#include "session.h"

namespace qxbench {

/// Blocks the signals the watcher takes; every thread started afterwards inherits the mask.
sigset_t block_signals();

/// Ends the run on SIGINT or SIGTERM; a wake-up from finish() just returns.
class SignalWatcher {
 public:
  /// graceful: a signal only marks the watcher interrupted (see
  /// interrupted()), also while no run is watched: the caller stops itself.
  explicit SignalWatcher(const sigset_t& set, bool graceful = false);
  ~SignalWatcher() { finish(); }
  /// The run to stop on a signal (one that came already stops it at once);
  /// nullptr: a signal ends the bench.
  void watch(Session* session) {
    session_ = session;
    if (interrupted_ && session != nullptr) session->request_stop();
  }
  bool interrupted() const { return interrupted_; }
  /// Ends the watcher thread; idempotent.
  void finish();

 private:
  sigset_t set_;
  const bool graceful_;
  std::atomic<bool> finished_{false};
  std::atomic<bool> interrupted_{false};
  std::atomic<Session*> session_{nullptr};
  std::thread thread_;
};

}  // namespace qxbench
