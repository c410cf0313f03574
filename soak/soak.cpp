// Soak: completes rounds through the stand-in framework (recording off), with
// an 801 snapshot request after each, and reports the heap in use and the peak
// resident set at 1,000, 100,000 and the last round. Any growth past the first
// checkpoint beyond a small allowance is a leak: the exit status is then 1.
//
//   qx7540pm_soak [--rounds N]     (default 1000000)
#include <malloc.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "qxhost/output.h"
#include "qxhost/rig.h"

namespace {

constexpr long long kDefaultRounds = 1000000;
constexpr long long kCheckpoints[] = {1000, 100000};
// A leak of one byte per round passes 4 KiB long before the second checkpoint.
constexpr long long kHeapAllowanceBytes = 4096;
constexpr long long kRssAllowanceKiB = 1024;

struct Usage {
  long long heap_bytes;  // in use by malloc
  long long peak_rss_kib;
};

long long peak_rss_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atoll(line.c_str() + 6);
  }
  return -1;
}

Usage measure() {
  const struct mallinfo2 info = mallinfo2();
  return Usage{static_cast<long long>(info.uordblks), peak_rss_kib()};
}

}  // namespace

int main(int argc, char** argv) {
  long long rounds = kDefaultRounds;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::atoll(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--rounds N]\n", argv[0]);
      return 2;
    }
  }
  if (rounds < 1) rounds = 1;
  // The device writes a line per round to standard output; the report goes to
  // the original standard output, the device's lines to /dev/null.
  qxhost::DiscardStdout quiet;
  std::FILE* report = quiet.own_stdout();
  // Written before the first measurement so that the report's own buffer counts in it.
  std::fprintf(report, "soak: %lld rounds, an 801 after each\n", rounds);
  std::fflush(report);

  qxhost::Rig rig;
  rig.framework.set_recording(false);
  QX7540PM& device = *rig.device;
  std::vector<std::uint16_t> block1(QX7540PM_BLOCK1_COUNT), block2(QX7540PM_BLOCK2_COUNT);
  std::vector<char> text(8192);

  bool have_first = false;
  Usage first{};
  bool grew = false;
  std::size_t next_checkpoint = 0;
  for (long long n = 1; n <= rounds; ++n) {
    // A different record every round, so every rendering differs too.
    for (std::size_t i = 0; i < block1.size(); ++i) block1[i] = static_cast<std::uint16_t>(n + i);
    for (std::size_t i = 0; i < block2.size(); ++i)
      block2[i] = static_cast<std::uint16_t>(n * 3 + i);
    rig.complete_round(block1, block2);
    int written = 0;
    if (device.DeviceIoControl(QX7540PM::kSnapshotText, nullptr, 0, text.data(),
                               static_cast<int>(text.size()), written) != 0) {
      std::fprintf(report, "round %lld: the snapshot did not fit %zu bytes\n", n, text.size());
      return 1;
    }

    const bool checkpoint =
        n == rounds || (next_checkpoint < sizeof kCheckpoints / sizeof kCheckpoints[0] &&
                        n == kCheckpoints[next_checkpoint]);
    if (!checkpoint) continue;
    if (n != rounds) ++next_checkpoint;
    const Usage now = measure();
    std::fprintf(report, "rounds %9lld: heap in use %9lld bytes, peak RSS %7lld KiB", n,
                 now.heap_bytes, now.peak_rss_kib);
    if (!have_first) {
      first = now;
      have_first = true;
      std::fprintf(report, " (baseline)\n");
    } else {
      const long long heap_growth = now.heap_bytes - first.heap_bytes;
      const long long rss_growth = now.peak_rss_kib - first.peak_rss_kib;
      std::fprintf(report, " (%+lld bytes, %+lld KiB)\n", heap_growth, rss_growth);
      if (heap_growth > kHeapAllowanceBytes || rss_growth > kRssAllowanceKiB) grew = true;
    }
    std::fflush(report);
  }
  std::fprintf(report, grew ? "FAIL: memory grew after the first checkpoint\n"
                            : "ok: no growth after the first checkpoint\n");
  std::fflush(report);
  return grew ? 1 : 0;
}
