// What must hold after every schedule, judged from the stand-in's log of the
// framework calls (the records published and stored, the requests) and the
// explorer's own record of each device operation.
#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <string>

#include "explorer.h"
#include "qxhost/snapshot.h"
#include "register_map.h"

namespace qxexplore {
namespace {

constexpr int kWaitingPlaces = 4;  // rounds a device keeps waiting for publication

bool is_reply(OpKind k) { return k == OpKind::kReply || k == OpKind::kDuplicate; }
bool is_control(OpKind k) { return k == OpKind::kControl310 || k == OpKind::kControl320; }

/// A record's origin: polled (block 1 request, block 2 request) or cached (its number).
struct Origin {
  bool polled = false, cached = false;
  int a = -1, b = -1;
  std::string what;
  std::string key() const {
    return (cached ? "C" : "P") + std::to_string(a) + "." + std::to_string(b);
  }
};

std::string op_label(const OpRecord& o) {
  return std::string(1, static_cast<char>(o.kind)) + "#" + std::to_string(o.id) + " on thread " +
         std::to_string(o.thread);
}

// Where a block's words come from: "request q", "cache record c" or a mix.
std::string block_source(const std::uint16_t* words, int n, int offset, int& request, int& cache) {
  request = cache = -1;
  const int q = (words[0] - 0x0400) / 64;
  bool all = words[0] >= 0x0400 && words[0] < 0x8000;
  for (int i = 0; i < n && all; ++i) all = words[i] == reply_word(q, i);
  if (all) {
    request = q;
    return "the reply to request " + std::to_string(q);
  }
  const int c = (words[0] - 0x8000 - offset) / 64;
  all = words[0] >= 0x8000;
  for (int i = 0; i < n && all; ++i) all = words[i] == 0x8000 + c * 64 + offset + i;
  if (all) {
    cache = c;
    return "cache record " + std::to_string(c);
  }
  return "words of no single origin";
}

Origin origin_of(const std::vector<unsigned char>& bytes, const Trace& trace) {
  Origin o;
  if (bytes.size() != QX7540PM_RECORD_SIZE) {
    o.what = "a record of " + std::to_string(bytes.size()) + " bytes";
    return o;
  }
  QX7540PM_Data_t r;
  std::memcpy(&r, bytes.data(), sizeof r);
  int q1, c1, q2, c2;
  const std::string s1 = block_source(r.block1, QX7540PM_BLOCK1_COUNT, 0, q1, c1);
  const std::string s2 = block_source(r.block2, QX7540PM_BLOCK2_COUNT, 32, q2, c2);
  if (c1 >= 0 && c1 == c2 && std::memcmp(bytes.data(), cache_record(c1).data(), 84) == 0) {
    o.cached = true, o.a = c1;
    return o;
  }
  const auto& rq = trace.requests;
  if (q1 >= 0 && q2 >= 0 && q1 < static_cast<int>(rq.size()) && q2 < static_cast<int>(rq.size()) &&
      !rq[static_cast<std::size_t>(q1)].block2 && rq[static_cast<std::size_t>(q2)].block2 &&
      rq[static_cast<std::size_t>(q2)].parent == q1) {
    o.polled = true, o.a = q1, o.b = q2;
    return o;
  }
  o.what = "block 1 from " + s1 + " beside block 2 from " + s2;
  if (c1 >= 0 && c1 == c2) o.what = "cache record " + std::to_string(c1) + " with another header";
  return o;
}

std::vector<unsigned char> polled_record(int q1, int q2) {
  QX7540PM_Data_t r{};
  for (int i = 0; i < QX7540PM_BLOCK1_COUNT; ++i) r.block1[i] = reply_word(q1, i);
  for (int i = 0; i < QX7540PM_BLOCK2_COUNT; ++i) r.block2[i] = reply_word(q2, i);
  const auto* p = reinterpret_cast<const unsigned char*>(&r);
  return std::vector<unsigned char>(p, p + sizeof r);
}

/// The completions: a reply to a block 2 request that returned 0 (or threw
/// from a framework call, which only a round's publication makes), a cache
/// load that returned 1 (or threw so).
bool completes(const OpRecord& o, const Trace& t, Origin& origin) {
  if (is_reply(o.kind) && o.answered >= 0) {
    const Request& r = t.requests[static_cast<std::size_t>(o.answered)];
    if (!r.block2 || !(o.result == 0 || o.injected) || (o.threw && !o.injected)) return false;
    origin.polled = true, origin.a = r.parent, origin.b = o.answered;
    return true;
  }
  if (o.kind == OpKind::kCache && (o.result == 1 || o.injected)) {
    origin.cached = true, origin.a = o.cache;
    return true;
  }
  return false;
}

const Json::Value& rendering(const qxhost::Plugin& plugin,
                             const std::vector<unsigned char>& record) {
  static std::map<std::string, Json::Value> rendered;
  const std::string key(record.begin(), record.begin() + 84);
  auto found = rendered.find(key);
  if (found != rendered.end()) return found->second;
  Json::Value value = qxhost::render_stored_record(plugin, record);
  if (value.isObject()) value.removeMember(qx7540pm::kUpdateTimeKey);
  return rendered.emplace(key, value).first->second;
}

}  // namespace

std::vector<Violation> check(const Trace& t, const qxhost::Plugin& plugin) {
  std::vector<Violation> out;
  auto fail = [&out](int item, const std::string& what) { out.push_back(Violation{item, what}); };
  const long kNever = LONG_MAX;

  std::vector<int> done;  // completion operations
  std::vector<Origin> done_origin;
  for (const OpRecord& o : t.ops) {
    Origin origin;
    if (completes(o, t, origin)) done.push_back(o.id), done_origin.push_back(origin);
    if (o.threw && !o.injected) fail(7, op_label(o) + " threw: " + o.error);
  }
  auto op = [&t](int id) -> const OpRecord& { return t.ops[static_cast<std::size_t>(id)]; };

  // 1: every record published and stored is one round, or one cache load; and pairs never overlap.
  std::map<std::string, int> published;
  std::vector<Origin> pub_origin(t.pubs.size());
  int lost = 0;
  for (std::size_t i = 0; i < t.pubs.size(); ++i) {
    const Publication& p = t.pubs[i];
    if (p.send_threw) {
      ++lost;
      continue;
    }
    pub_origin[i] = origin_of(p.sent, t);
    if (!pub_origin[i].polled && !pub_origin[i].cached)
      fail(1, "thread " + std::to_string(p.thread) + " published " + pub_origin[i].what);
    else
      ++published[pub_origin[i].key()];
    if (p.save >= 0 && p.saved != p.sent)
      fail(1, "SaveDeviceHistory stored other bytes than SendSP published");
    if (p.end < 0) fail(7, "a round published without its history saved, and nothing threw");
    for (std::size_t j = 0; j < t.pubs.size(); ++j) {
      const Publication& other = t.pubs[j];
      if (j != i && other.thread != p.thread && other.send > p.send &&
          other.send < (p.end < 0 ? kNever : p.end))
        fail(7, "SendSP on thread " + std::to_string(other.thread) + " while thread " +
                    std::to_string(p.thread) + " was between SendSP and SaveDeviceHistory");
    }
  }
  for (const OpRecord& o : t.ops) {
    if (!o.has_snapshot) continue;
    bool before = false;
    for (int d : done) before = before || op(d).end < o.start;
    if (o.snapshot.isNull()) {
      if (before) fail(1, op_label(o) + " read no snapshot after a round had completed");
      continue;
    }
    Json::Value seen = o.snapshot;
    if (seen.isObject()) seen.removeMember(qx7540pm::kUpdateTimeKey);
    bool match = false;
    for (std::size_t k = 0; k < done.size() && !match; ++k) {
      if (op(done[k]).start > o.end) continue;
      const Origin& d = done_origin[k];
      match = rendering(plugin, d.cached ? cache_record(d.a) : polled_record(d.a, d.b)) == seen;
    }
    if (!match) fail(1, op_label(o) + " read a snapshot of no round and no cache load completed");
  }

  // 2 and 5: each completion published at most once, or given up, by round.
  std::map<std::string, int> completed;
  for (const Origin& d : done_origin) ++completed[d.key()];
  for (const auto& p : published) {
    const int c = completed.count(p.first) ? completed[p.first] : 0;
    if (p.second > c)
      fail(2, "round " + p.first + " published " + std::to_string(p.second) + " times, completed " +
                  std::to_string(c));
  }
  // Waiting rounds at most: completions begun less publications begun, over time.
  int most_waiting = 0;
  for (const OpRecord& o : t.ops) {
    int begun = 0, sent = 0;
    for (int d : done) begun += op(d).start <= o.start ? 1 : 0;
    for (const Publication& p : t.pubs) sent += p.send <= o.start ? 1 : 0;
    most_waiting = std::max(most_waiting, begun - sent);
  }
  std::map<std::string, int> seen;
  int unpublished = 0, unjustified = 0, lost_left = lost;
  for (std::size_t k = 0; k < done.size(); ++k) {
    const std::string key = done_origin[k].key();
    if (++seen[key] <= (published.count(key) ? published[key] : 0)) continue;
    ++unpublished;
    const OpRecord& u = op(done[k]);
    bool justified = most_waiting >= kWaitingPlaces;
    for (const OpRecord& c : t.ops)
      justified = justified || (is_control(c.kind) && c.end > u.start);
    if (justified) continue;
    if (lost_left > 0) {
      --lost_left;  // its publication's SendSP threw
      continue;
    }
    // A publisher threw while or after the round was handed over.
    bool threw_after = false;
    for (long s : t.throws)
      for (const OpRecord& o : t.ops)
        threw_after = threw_after || (o.injected && o.start < s && s < o.end && o.end > u.start);
    ++unjustified;
    fail(threw_after ? 5 : 2, "round " + key + " completed by " + op_label(u) +
                                  (threw_after ? " was left waiting after a framework call threw"
                                               : " was never published nor given up"));
  }
  if (t.counters && unjustified == 0) {
    const long growth = static_cast<long>(t.counters_after - t.counters_before);
    if (growth != unpublished - lost)
      fail(2, "abandoned_rounds + dropped_rounds grew by " + std::to_string(growth) + ", " +
                  std::to_string(unpublished - lost) + " rounds were given up");
  }
  // 5: the next RefreshStatus, reply or cache load after a throw publishes what waited.
  for (long s : t.throws) {
    long top_end = s;
    for (const OpRecord& o : t.ops)
      if (o.start < s && o.end > s && o.parent < 0) top_end = o.end;
    const OpRecord* next = nullptr;
    for (const OpRecord& o : t.ops)
      if ((o.kind == OpKind::kRefresh || is_reply(o.kind) || o.kind == OpKind::kCache) &&
          o.start > top_end && (next == nullptr || o.start < next->start))
        next = &o;
    if (next == nullptr) continue;
    bool busy = false;
    for (const OpRecord& c : t.ops) busy = busy || (is_control(c.kind) && c.start < next->end);
    for (const Publication& p : t.pubs)
      busy = busy ||
             (p.thread != next->thread && p.send < next->end && (p.end < 0 || p.end > next->end));
    int waited = 0, sent = 0;
    for (int d : done) waited += op(d).end <= top_end ? 1 : 0;
    for (const Publication& p : t.pubs) sent += p.send <= next->end ? 1 : 0;
    if (!busy && sent < waited)
      fail(5,
           "rounds waiting when a framework call threw were not published by " + op_label(*next));
  }

  // 3: after a control request returns, until the next RefreshStatus, no reply is stored
  // and no polled round begins publishing that had not begun already.
  for (const OpRecord& c : t.ops) {
    if (!is_control(c.kind)) continue;
    // Until a RefreshStatus sets its step after the request did (its lock
    // comes later); the link is the RefreshStatus's from its start.
    long until = kNever;
    for (const OpRecord& r : t.ops) {
      if (r.kind != OpKind::kRefresh) continue;
      if (r.first_lock > c.first_lock) until = std::min(until, r.first_lock);
      if (r.first_lock < 0 && r.start > c.end) until = std::min(until, r.start);
    }
    for (const OpRecord& r : t.ops) {
      if (!is_reply(r.kind) || r.answered < 0 || r.stored <= c.end || r.stored >= until) continue;
      bool stored = false;
      for (int d : done) stored = stored || d == r.id;
      for (const Request& q : t.requests) stored = stored || q.op == r.id;
      if (stored) fail(3, op_label(r) + " stored a reply after " + op_label(c) + " returned");
    }
    for (std::size_t i = 0; i < t.pubs.size(); ++i) {
      const Publication& p = t.pubs[i];
      if (p.send <= c.end || p.send >= until || pub_origin[i].cached) continue;
      if (p.last_unlock >= 0 && c.first_lock >= 0 && p.last_unlock < c.first_lock) continue;
      fail(3, "thread " + std::to_string(p.thread) + " began publishing a polled round after " +
                  op_label(c) + " returned");
    }
  }

  // 4: no call publishes more than was waiting when it first took the
  // device's lock, plus what its thread completed meanwhile.
  for (const OpRecord& d : t.ops) {
    int pubs = 0, waiting = 0, own = 0;
    const long began = d.first_lock >= 0 ? d.first_lock : d.start;
    for (const Publication& p : t.pubs) {
      if (p.thread == d.thread && p.send > d.start && p.send < d.end) ++pubs;
      if (p.send < began) --waiting;
    }
    for (int k : done) {
      const OpRecord& c = op(k);
      if (c.start < began && (c.thread != d.thread || c.start < d.start)) ++waiting;
      if (c.thread == d.thread && c.start >= d.start && c.end <= d.end) ++own;
    }
    if (pubs > std::max(0, waiting) + own)
      fail(4, op_label(d) + " published " + std::to_string(pubs) + " rounds; " +
                  std::to_string(std::max(0, waiting)) + " were waiting and its thread completed " +
                  std::to_string(own));
  }
  return out;
}

}  // namespace qxexplore
