// RoundHandover: our addition to the record device. It keeps the rounds a
// device has completed until they are published, decides which thread
// publishes them and how many it may, and knows whether the record being
// filled holds a first block of the poll round in progress. It takes no lock
// and calls nothing: every member is called with the device's state lock held,
// so that storing a round's last block and queueing the round are one step.
#pragma once

#include <thread>

template <typename DataT>
class RoundHandover {
 public:
  /// Completed rounds that may wait for their publication. Cache loads may
  /// hold all but one place, so a polled round always finds one.
  static constexpr unsigned kPlaces = 4;

  /// What a thread that has just completed a round, or that calls into the
  /// device, is to do about publishing.
  enum Role {
    kPublish,  ///< publish: it holds the publisher's role now
    kLeave     ///< another call publishes (another thread, or its own further up)
  };

  RoundHandover() : places_(), count_(0), filling_(kNoBlock), running_(false), budget_(0) {}

  // The poll round in progress.

  /// A new round was asked for, a control request came, or a cache load took
  /// the record: the record being filled holds no block of a poll round.
  void restart() { filling_ = kNoBlock; }
  /// The round's first block is stored; its second is awaited.
  void store_block1() { filling_ = kAwaitingBlock2; }
  /// The round's second block is stored and the round completed. A repeated
  /// second block before the next round completes it again, with the same
  /// first block.
  void store_block2() { filling_ = kBlocksStored; }
  /// Whether a second block completes a round: the record holds this round's
  /// first block.
  bool takes_block2() const { return filling_ != kNoBlock; }
  /// Whether a round waits for its second block: a cache load then leaves the
  /// record alone and is published as a round of its own.
  bool awaits_block2() const { return filling_ == kAwaitingBlock2; }

  // Rounds waiting for publication, oldest first.

  unsigned waiting() const { return count_; }
  /// Whether a round of this kind finds a place; a polled round always does.
  bool has_place(bool cached) const {
    if (!cached) return true;
    if (count_ == kPlaces) return false;
    unsigned cached_waiting = 0;
    for (unsigned i = 0; i < count_; ++i) cached_waiting += places_[i].cached ? 1 : 0;
    return cached_waiting + 1 < kPlaces;
  }
  /// Queues a completed round. Returns true when a waiting polled round had to
  /// give way (all places taken: the oldest polled one goes, the newest
  /// reading of the meter being worth more than one nobody has received yet).
  /// The caller has checked has_place for a cache load.
  bool enqueue(const DataT& record, bool cached) {
    bool dropped = false;
    if (count_ == kPlaces) {
      unsigned oldest = 0;
      while (oldest < count_ && places_[oldest].cached) ++oldest;
      remove_at(oldest);
      dropped = true;
    }
    places_[count_].record = record;
    places_[count_].cached = cached;
    ++count_;
    return dropped;
  }
  /// A control request gives up the polled rounds waiting (not those being
  /// published); cache loads stay. Returns how many were given up.
  unsigned give_up_polled() {
    unsigned kept = 0;
    for (unsigned i = 0; i < count_; ++i) {
      if (places_[i].cached) places_[kept++] = places_[i];
    }
    const unsigned given_up = count_ - kept;
    count_ = kept;
    return given_up;
  }

  // Who publishes. A call may publish the rounds that were waiting when it
  // took the device's lock, plus those its own thread completes meanwhile
  // (from callbacks too), oldest first. Rounds that other threads complete
  // meanwhile wait for the next call, so that no call publishes without bound.

  /// A call on `self` that found `waiting` rounds and completed `own` of them
  /// itself. With nobody publishing it takes the publisher's role for that
  /// many and returns true; a role its own thread holds further up the stack
  /// is counted its own rounds; a role another thread holds is left alone.
  bool claim(std::thread::id self, unsigned waiting, unsigned own) {
    if (publisher_ == std::thread::id()) {
      publisher_ = self;
      budget_ = waiting + own;
      running_ = false;
      return true;
    }
    if (publisher_ == self) budget_ += own;
    return false;
  }
  /// Whether `self` holds the role and nobody publishes under it yet; if so,
  /// the caller publishes now.
  bool begin(std::thread::id self) {
    if (publisher_ != self || running_) return false;
    running_ = true;
    return true;
  }
  /// The next round the publisher may publish, moved out of the queue; false
  /// when its count is spent or nothing waits, and the role is then given up.
  bool next(DataT& record) {
    if (budget_ == 0 || count_ == 0) {
      release();
      return false;
    }
    --budget_;
    record = places_[0].record;
    remove_at(0);
    return true;
  }
  /// The publisher stops (a framework call threw): the rounds still waiting go
  /// to the next call, on any thread.
  void release() {
    publisher_ = std::thread::id();
    running_ = false;
    budget_ = 0;
  }
  /// A role `self` took but has not begun to publish under is given up (its
  /// call ends in an exception before publishing).
  void drop_claim(std::thread::id self) {
    if (publisher_ == self && !running_) release();
  }
  bool publishing() const { return publisher_ != std::thread::id(); }

 private:
  struct Place {
    DataT record;
    bool cached;
  };
  void remove_at(unsigned index) {
    for (unsigned i = index + 1; i < count_; ++i) places_[i - 1] = places_[i];
    --count_;
  }

  Place places_[kPlaces];
  unsigned count_;
  enum Filling { kNoBlock, kAwaitingBlock2, kBlocksStored };
  Filling filling_;
  /// The thread holding the publisher's role (none: nobody publishes), whether
  /// it publishes yet, and how many rounds it may still publish.
  std::thread::id publisher_;
  bool running_;
  unsigned budget_;
};
