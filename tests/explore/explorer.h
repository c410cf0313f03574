// An interleaving explorer for the meter's operations on several controller
// threads: it runs short scripts of device operations, one scripted thread at
// a time, switching only at the device's lock operations and at its calls into
// the framework, and tries every schedule up to a preemption bound. What
// happened in each schedule (a record per device operation, per request, per
// publication) is judged afterwards by the checks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

#include "qxhost/plugin.h"
#include "zelfw/standin.h"

namespace qxexplore {

/// Device operations a script is made of, one letter each.
enum class OpKind : char {
  kRefresh = 'R',     ///< RefreshStatus
  kReply = 'P',       ///< the reply to the latest outstanding request, if any
  kDuplicate = 'D',   ///< the reply to the latest block 2 request, once more
  kCache = 'C',       ///< LoadFromCache with a record of its own
  kControl310 = 'X',  ///< DeviceIoControl 310
  kControl320 = 'Y',  ///< DeviceIoControl 320
  kSettings = 'S',    ///< InitSetting
  kText = 'T',        ///< DeviceIoControl 801
  kReader = 'A',      ///< DeviceIoControl 803, then reading under snapshot_mutex
};

struct Scenario {
  const char* name;
  const char* purpose;
  /// Run by thread 0 before the others start: no choices there.
  std::string prelude;
  /// One script per thread.
  std::vector<std::string> scripts;
  /// Operations the framework may call back with at a call's entry.
  std::string callbacks;
  /// Whether a framework call may throw at its entry.
  bool throws = false;
  /// Framework calls where callbacks and throws are tried; empty: all.
  std::vector<zelfw::Op> extras_at;
};

/// One device operation as it ran. Sequence numbers (seq) order everything
/// that happened in a schedule.
struct OpRecord {
  int id = 0;
  int thread = 0;
  int parent = -1;  ///< the operation this one was called back from
  OpKind kind = OpKind::kRefresh;
  long start = 0, end = 0;
  long long result = 0;
  bool threw = false;
  bool injected = false;  ///< an exception the explorer made a framework call throw
  std::string error;      ///< what() of anything else thrown
  int answered = -1;      ///< replies: the request answered (-1: nothing outstanding)
  long stored = -1;       ///< replies: when the device let go of reg_buffer
  long first_lock = -1;   ///< first plug-in lock taken
  int cache = -1;         ///< cache loads: the record's number
  bool has_snapshot = false;
  Json::Value snapshot;  ///< 801 text parsed, or what an 803 reader read
};

struct Request {
  int op = -1;      ///< the operation that made it
  int parent = -1;  ///< block 2: the block 1 request whose reply preceded it
  int chain = -1;   ///< the round's block 1 request
  bool block2 = false;
  long seq = 0;
  int start = -1, count = -1;
  bool answered = false;
};

struct Publication {
  int thread = 0;
  int op = -1;            ///< innermost operation running on that thread
  long send = 0;          ///< SendSP entry
  long save = -1;         ///< its SaveDeviceHistory, if it got there
  long end = -1;          ///< that, or the throw that ended the round
  long last_unlock = -1;  ///< the thread's last plug-in unlock before SendSP
  bool send_threw = false;
  std::vector<unsigned char> sent, saved;
};

struct Violation {
  int item;  ///< 1..6; 7: locks, overlap, deadlock, unexpected exceptions
  std::string what;
};

/// Everything one schedule produced.
struct Trace {
  std::vector<OpRecord> ops;
  std::vector<Request> requests;
  std::vector<Publication> pubs;
  std::vector<long> throws;  ///< framework calls made to throw
  std::vector<Violation> online;
  unsigned long counters_before = 0, counters_after = 0;
  bool counters = false;
};

/// Register word i of the reply to request q.
inline std::uint16_t reply_word(int q, int i) {
  return static_cast<std::uint16_t>(0x0400 + q * 64 + i);
}
/// Cache record c, 91 bytes with a stamp of zeros.
std::vector<unsigned char> cache_record(int c);

/// The checks of one schedule; the plug-in renders snapshot candidates.
std::vector<Violation> check(const Trace& trace, const qxhost::Plugin& plugin);

/// How the explorer runs one schedule: which choice at each point.
/// A point is named by what the thread that reached it was doing: its thread
/// and script operation, then a framework call's entry (>) or return (<) with
/// its count in that operation ("0.2>SendSP1"), or else the last such call
/// (none at first) and the event since it with its count: l lock, t
/// try-lock, u unlock, k the reply link, h an 803 reader's hold, s start, e
/// end ("1.1:l2", "0.2>SaveDeviceHistory1:l1"). Names stay valid for another
/// build whose operations lock differently, where a point's number would not.
struct Choice {
  int point;
  int thread;
  int extra;  ///< 0 none, 1 throw, 2+k the k-th callback
  std::string label;
};
std::string format_choices(const std::vector<Choice>& choices, const Scenario& scenario);
bool parse_choices(const std::string& text, const Scenario& scenario, std::vector<Choice>& out);

struct RunResult {
  Trace trace;
  std::vector<Violation> violations;
  std::vector<Choice> deviations;  ///< the schedule as a choice string
  int preemptions = 0;
  /// Replay: a choice the string names was not open at its point (the
  /// default was taken there); another build may switch at other points.
  bool mismatch = false;
};

class Explorer {
 public:
  /// counters: the plug-in has this build's class layout, so its public
  /// round counters can be read.
  Explorer(const qxhost::Plugin& plugin, bool counters);
  ~Explorer();
  Explorer(const Explorer&) = delete;
  Explorer& operator=(const Explorer&) = delete;
  /// Every schedule up to the bound; calls report for each one that fails.
  /// Returns the number of schedules run.
  long explore(const Scenario& scenario, int bound, bool stop_first,
               void (*report)(const Scenario&, const RunResult&, void*), void* context);
  /// One schedule, following the choices given (defaults elsewhere).
  RunResult replay(const Scenario& scenario, const std::vector<Choice>& choices);

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace qxexplore
