#include "signals.h"

#include <pthread.h>

namespace qxbench {

sigset_t block_signals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return signals;
}

SignalWatcher::SignalWatcher(const sigset_t& set) : set_(set) {
  thread_ = std::thread([this] {
    int received = 0;
    sigwait(&set_, &received);
    if (finished_) return;
    interrupted_ = true;
    if (session_ != nullptr) session_.load()->request_stop();
  });
}

void SignalWatcher::finish() {
  if (!thread_.joinable()) return;
  finished_ = true;
  pthread_kill(thread_.native_handle(), SIGUSR1);
  thread_.join();
}

}  // namespace qxbench
