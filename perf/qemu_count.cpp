// A qemu-user TCG plug-in that counts the guest instructions executed between
// two marker calls (count_marker.h), per translated block, and writes them out
// for perf/qemu_split.py to attribute by object and function.
//
//   qemu-mipsel -plugin libqx_qemu_count.so,out=FILE PROGRAM ...
//
// Every block's executions are counted in one of two tallies: library code run
// while the last non-library code was the stand-in framework's goes to the
// second, so that the stand-in's library calls can be left out as callgrind's
// split leaves them out. Only the thread that opened the window is counted.
//
// qemu ships no header for its plug-in API; the few functions used are
// declared below as qemu 7.2 defines them (plug-in API version 1).
#include <atomic>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "count_marker.h"

extern "C" {

typedef std::uint64_t qemu_plugin_id_t;
struct qemu_plugin_tb;
struct qemu_plugin_insn;

struct qemu_info_t {
  const char* target_name;
  struct {
    int min;
    int cur;
  } version;
  bool system_emulation;
  union {
    struct {
      int smp_vcpus;
      int max_vcpus;
    } system;
  };
};

enum qemu_plugin_cb_flags { QEMU_PLUGIN_CB_NO_REGS, QEMU_PLUGIN_CB_R_REGS, QEMU_PLUGIN_CB_RW_REGS };

typedef void (*qemu_plugin_vcpu_tb_trans_cb_t)(qemu_plugin_id_t id, qemu_plugin_tb* tb);
typedef void (*qemu_plugin_vcpu_udata_cb_t)(unsigned int vcpu_index, void* userdata);
typedef void (*qemu_plugin_vcpu_syscall_cb_t)(qemu_plugin_id_t id, unsigned int vcpu_index,
                                              std::int64_t num, std::uint64_t a1, std::uint64_t a2,
                                              std::uint64_t a3, std::uint64_t a4, std::uint64_t a5,
                                              std::uint64_t a6, std::uint64_t a7, std::uint64_t a8);

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id, qemu_plugin_vcpu_tb_trans_cb_t cb);
void qemu_plugin_register_vcpu_tb_exec_cb(qemu_plugin_tb* tb, qemu_plugin_vcpu_udata_cb_t cb,
                                          qemu_plugin_cb_flags flags, void* userdata);
void qemu_plugin_register_vcpu_syscall_cb(qemu_plugin_id_t id, qemu_plugin_vcpu_syscall_cb_t cb);
std::size_t qemu_plugin_tb_n_insns(const qemu_plugin_tb* tb);
std::uint64_t qemu_plugin_tb_vaddr(const qemu_plugin_tb* tb);
qemu_plugin_insn* qemu_plugin_tb_get_insn(const qemu_plugin_tb* tb, std::size_t idx);
const void* qemu_plugin_insn_data(const qemu_plugin_insn* insn);
std::size_t qemu_plugin_insn_size(const qemu_plugin_insn* insn);
void qemu_plugin_outs(const char* string);

__attribute__((visibility("default"))) extern const int qemu_plugin_version;
__attribute__((visibility("default"))) int qemu_plugin_install(qemu_plugin_id_t id,
                                                               const qemu_info_t* info, int argc,
                                                               char** argv);

}  // extern "C"

const int qemu_plugin_version = 1;

namespace {

using qxperf::CodeClass;

struct Block {
  std::uint64_t vaddr;
  std::uint32_t insns;
  std::uint32_t fp_insns;  ///< floating-point instructions (MIPS32 only)
  CodeClass code;
  std::uint64_t runs = 0;          ///< executions in the window
  std::uint64_t standin_runs = 0;  ///< ... of library code on the stand-in's behalf
};

struct Range {
  std::uint64_t start, end;
  CodeClass code;
};

struct State {
  std::mutex mutex;  // guards blocks (growth) and ranges
  std::deque<Block> blocks;
  std::vector<Range> ranges;
  std::string out_path;
  bool mips = false;
  std::atomic<bool> counting{false};
  // Touched only by the counted thread while a window is open.
  unsigned counting_vcpu = 0;
  bool in_standin = false;
  std::uint64_t window = 0;
};

State& state() {
  static State s;
  return s;
}

CodeClass classify_locked(const State& s, std::uint64_t vaddr) {
  for (const Range& r : s.ranges) {
    if (vaddr >= r.start && vaddr < r.end) return r.code;
  }
  return qxperf::kCodeLibrary;
}

// MIPS32 instructions that need the FPU: COP1, COP1X and the FPU loads/stores.
bool is_mips_fp(std::uint32_t word) {
  switch (word >> 26) {
    case 0x11:  // COP1
    case 0x13:  // COP1X
    case 0x31:  // LWC1
    case 0x35:  // LDC1
    case 0x39:  // SWC1
    case 0x3d:  // SDC1
      return true;
    default:
      return false;
  }
}

void on_exec(unsigned int vcpu, void* userdata) {
  State& s = state();
  if (!s.counting.load(std::memory_order_relaxed) || vcpu != s.counting_vcpu) return;
  Block& b = *static_cast<Block*>(userdata);
  if (b.code == qxperf::kCodeLibrary) {
    ++(s.in_standin ? b.standin_runs : b.runs);
  } else {
    s.in_standin = b.code == qxperf::kCodeStandin;
    ++b.runs;
  }
}

void on_translate(qemu_plugin_id_t, qemu_plugin_tb* tb) {
  State& s = state();
  const std::size_t n = qemu_plugin_tb_n_insns(tb);
  std::uint32_t fp = 0;
  for (std::size_t i = 0; s.mips && i < n; ++i) {
    const qemu_plugin_insn* insn = qemu_plugin_tb_get_insn(tb, i);
    std::uint32_t word = 0;
    if (qemu_plugin_insn_size(insn) != sizeof word) continue;
    std::memcpy(&word, qemu_plugin_insn_data(insn), sizeof word);  // little-endian guest
    fp += is_mips_fp(word) ? 1 : 0;
  }
  Block* block;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    const std::uint64_t vaddr = qemu_plugin_tb_vaddr(tb);
    s.blocks.push_back(Block{vaddr, static_cast<std::uint32_t>(n), fp, classify_locked(s, vaddr)});
    block = &s.blocks.back();
  }
  qemu_plugin_register_vcpu_tb_exec_cb(tb, on_exec, QEMU_PLUGIN_CB_NO_REGS, block);
}

void write_window(State& s) {
  std::FILE* out = std::fopen(s.out_path.c_str(), "a");
  if (out == nullptr) {
    qemu_plugin_outs(("qemu_count: cannot write " + s.out_path + "\n").c_str());
    return;
  }
  std::fprintf(out, "window %" PRIu64 "\n", s.window);
  std::lock_guard<std::mutex> lock(s.mutex);
  for (const Block& b : s.blocks) {
    if (b.runs == 0 && b.standin_runs == 0) continue;
    std::fprintf(out, "%" PRIx64 " %u %u %" PRIu64 " %" PRIu64 "\n", b.vaddr, b.insns, b.fp_insns,
                 b.runs, b.standin_runs);
  }
  std::fprintf(out, "end\n");
  std::fclose(out);
}

void on_syscall(qemu_plugin_id_t, unsigned int vcpu, std::int64_t, std::uint64_t a1,
                std::uint64_t a2, std::uint64_t a3, std::uint64_t a4, std::uint64_t a5,
                std::uint64_t, std::uint64_t, std::uint64_t) {
  if (static_cast<std::uint32_t>(a1) != qxperf::kMarkerMagic) return;
  State& s = state();
  switch (static_cast<std::uint32_t>(a2)) {
    case qxperf::kMarkBegin: {
      std::lock_guard<std::mutex> lock(s.mutex);
      for (Block& b : s.blocks) b.runs = b.standin_runs = 0;
      s.window = a3;
      s.counting_vcpu = vcpu;
      s.in_standin = false;
      s.counting = true;
      break;
    }
    case qxperf::kMarkEnd:
      if (!s.counting || vcpu != s.counting_vcpu) break;
      s.counting = false;
      write_window(s);
      break;
    case qxperf::kMarkRange: {
      std::lock_guard<std::mutex> lock(s.mutex);
      s.ranges.push_back(Range{a3, a4, static_cast<CodeClass>(a5)});
      // Blocks translated before the range was known are classified again.
      for (Block& b : s.blocks) b.code = classify_locked(s, b.vaddr);
      break;
    }
    default:
      break;
  }
}

}  // namespace

int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t* info, int argc, char** argv) {
  State& s = state();
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "out=", 4) == 0) s.out_path = argv[i] + 4;
  }
  if (s.out_path.empty() || info->system_emulation) {
    qemu_plugin_outs("qemu_count: user mode only, and out=FILE is required\n");
    return -1;
  }
  s.mips = std::strcmp(info->target_name, "mipsel") == 0;
  std::FILE* out = std::fopen(s.out_path.c_str(), "w");
  if (out == nullptr) return -1;
  std::fprintf(out, "target %s\n", info->target_name);
  std::fclose(out);
  qemu_plugin_register_vcpu_tb_trans_cb(id, on_translate);
  qemu_plugin_register_vcpu_syscall_cb(id, on_syscall);
  return 0;
}
