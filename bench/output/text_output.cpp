// Aligned text on standard output: a block per round, then the summary; a
// block per decoded record; a scan's responders and summary, with its
// progress bar on standard error.
#include "diagnosis/diagnosis_summary.h"
#include "output/output.h"
#include "qxcore/text.h"
#include "qxi18n/i18n.h"
#include "scan_output.h"

namespace qxbench {
namespace {

/// The scan's progress: a bar on a terminal, else a line per setting.
class ScanProgress {
 public:
  ScanProgress(bool terminal, std::size_t settings, std::size_t ids)
      : terminal_(terminal), settings_(settings), ids_(ids) {}

  void begin_setting(const std::string& line) {
    ++setting_;
    in_setting_ = 0;
    line_ = line;
    if (!terminal_) {
      qxcore::say(qxcore::format(_("scan: %s (setting %zu of %zu), %s"), line.c_str(), setting_,
                                 settings_,
                                 qxcore::format(P_("%zu id", "%zu ids", ids_), ids_).c_str()));
      return;
    }
    draw(-1);
  }
  void advance(double elapsed_s) {
    ++done_;
    ++in_setting_;
    if (terminal_) draw(elapsed_s);
  }
  /// Clears the bar; true when there was one to draw again after a message.
  bool clear() {
    if (!drawn_) return false;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    drawn_ = false;
    return true;
  }
  void draw(double elapsed_s) {
    constexpr int kBarWidth = 24;
    const std::size_t total = settings_ * ids_;
    const int filled = total == 0 ? 0 : static_cast<int>(kBarWidth * done_ / total);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(kBarWidth, '.');
    std::string left = "?";
    if (elapsed_s > 0 && done_ > 0) left = duration_text(elapsed_s / done_ * (total - done_));
    std::fprintf(stderr, "\r\033[K[%s] %s  %s", bar.c_str(), line_.c_str(),
                 qxcore::format(_("setting %zu/%zu  %zu ids left  ~%s left"), setting_, settings_,
                                ids_ - in_setting_, left.c_str())
                     .c_str());
    std::fflush(stderr);
    drawn_ = true;
  }

 private:
  const bool terminal_;
  const std::size_t settings_;
  const std::size_t ids_;
  std::size_t setting_ = 0;  ///< settings begun
  std::size_t done_ = 0;     ///< probes done in all
  std::size_t in_setting_ = 0;
  std::string line_;
  bool drawn_ = false;
};

class TextOutput : public Output {
 public:
  TextOutput(std::FILE* out, const OutputContext& context)
      : out_(out), progress_(context.progress, context.scan_settings, context.scan_ids) {}
  void round(const RoundResult& report, const Summary&) override {
    print_round(out_, report);
    diagnosis_.add(report.slave, report.round, report.diagnosis);
  }
  void record(const DecodedRecord& r) override {
    std::fprintf(out_, "%s\n",
                 qxcore::format(_("%s record %zu  data id %d  stored %s"), r.path.c_str(), r.index,
                                r.record.device_data_id, r.stamp.c_str())
                     .c_str());
    print_snapshot_values(out_, r.values);
    std::fflush(out_);
  }
  bool end(const LineSummary& totals, std::string&) override {
    if (!totals.meters.empty()) print_run_summary(out_, totals);
    diagnosis_.print(out_, totals.slaves);
    return true;
  }

  void scan_setting(const std::string& line) override { progress_.begin_setting(line); }
  void scan_probed(double elapsed_s) override { progress_.advance(elapsed_s); }
  void scan_frames(int slave, const std::vector<TracedFrame>& frames) override {
    if (frames.empty()) return;
    const bool bar = progress_.clear();
    for (const TracedFrame& f : frames) {
      std::fprintf(out_, "%s\n",
                   qxcore::format(_("slave %d  %s"), slave, frame_text(f).c_str()).c_str());
    }
    std::fflush(out_);
    if (bar) progress_.draw(-1);
  }
  void scan_responder(const ScanResponder& r) override {
    const bool bar = progress_.clear();
    std::fprintf(out_, "%s\n",
                 qxcore::format(_("slave %d  %s  %s"), r.slave, r.line.c_str(),
                                verdict_of(*r.probe, true).c_str())
                     .c_str());
    if (!r.command.empty()) {
      std::fprintf(out_, "  %s\n", qxcore::format(_("poll it: %s"), r.command.c_str()).c_str());
    }
    std::fflush(out_);
    if (bar) progress_.draw(-1);
    std::fflush(out_);
  }
  void scan_pause() override { progress_.clear(); }
  void scan_end(const ScanSummary& s) override;

 private:
  std::FILE* out_;
  ScanProgress progress_;
  MetersDiagnosis diagnosis_;
};

void TextOutput::scan_end(const ScanSummary& s) {
  progress_.clear();
  const auto n = [](long count) { return static_cast<unsigned long>(count); };
  const std::string settings =
      qxcore::format(P_("%ld of %ld line setting", "%ld of %ld line settings", n(s.settings)),
                     s.settings_tried, s.settings);
  const std::string probes = qxcore::format(P_("%ld probe", "%ld probes", n(s.probes)), s.probes);
  const std::string responders =
      qxcore::format(P_("%ld responder", "%ld responders", n(s.responders)), s.responders);
  const std::string meters = qxcore::format(P_("%ld meter", "%ld meters", n(s.meters)), s.meters);
  std::fprintf(out_, "%s\n",
               qxcore::format(_("scan: %s, %s in %.1f s; %s, %s%s"), settings.c_str(),
                              probes.c_str(), s.elapsed_s, responders.c_str(), meters.c_str(),
                              s.interrupted ? _("; interrupted") : "")
                   .c_str());
  if (s.garbled > 0) {
    std::fprintf(out_, "  %s\n",
                 qxcore::format(P_("%ld answer was not a frame of the id asked (another line "
                                   "setting?)",
                                   "%ld answers were not frames of the id asked (another line "
                                   "setting?)",
                                   static_cast<unsigned long>(s.garbled)),
                                s.garbled)
                     .c_str());
  }
  std::fflush(out_);
}

}  // namespace

bool make_text_output(const OutputContext& context, Outputs& outputs, std::string&) {
  if (screen_of(context) == Screen::kText)
    outputs.push_back(std::make_unique<TextOutput>(context.out, context));
  return true;
}

}  // namespace qxbench
