#include "signals.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdlib>

#include "bench_options.h"
#include "output_file.h"

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

SignalWatcher::SignalWatcher(const sigset_t& set, bool graceful) : set_(set), graceful_(graceful) {
  thread_ = std::thread([this] {
    int received = 0;
    sigwait(&set_, &received);
    if (finished_) return;
    interrupted_ = true;
    Session* const session = session_.load();
    if (session != nullptr) {
      session->request_stop();
      return;
    }
    if (graceful_) return;
    remove_unfinished_outputs();
    static constexpr char kMessage[] = "qx7540pm-bench: interrupted\n";
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
    std::_Exit(kExitInterrupted);
  });
}

void SignalWatcher::finish() {
  if (!thread_.joinable()) return;
  finished_ = true;
  pthread_kill(thread_.native_handle(), SIGUSR1);
  thread_.join();
}

}  // namespace qxbench
