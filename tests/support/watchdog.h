// Ends the test program with a clear message when a test that must finish has
// not finished in time: a device that waits for another thread for ever would
// otherwise hang the whole run.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace qxtest {

class Watchdog {
 public:
  Watchdog(std::string what, std::chrono::seconds limit)
      : thread_([this, what, limit] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!done_changed_.wait_for(lock, limit, [this] { return done_; })) {
            std::fprintf(stderr,
                         "watchdog: %s did not finish within %lld s: a thread waits for another "
                         "that waits for it\n",
                         what.c_str(), static_cast<long long>(limit.count()));
            std::fflush(stderr);
            std::_Exit(3);
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    done_changed_.notify_all();
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable done_changed_;
  bool done_ = false;
  std::thread thread_;  // last: starts once the members it uses exist
};

}  // namespace qxtest
