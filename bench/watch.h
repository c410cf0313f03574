// --watch: one screen per cycle on a terminal, a row per meter with its
// latest round, redrawn in place instead of scrolling.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "round_format.h"

namespace qxbench {

class WatchScreen {
 public:
  WatchScreen(std::FILE* out, std::vector<int> slaves);
  /// Keeps a meter's latest round and its counts so far.
  void update(const RoundResult& report, const Summary& counts);
  /// Clears the terminal and draws every meter's row and the bus cycle.
  void draw(const LineSummary& totals);

 private:
  struct Row {
    bool seen = false;
    RoundResult report;
    Summary counts;
  };
  std::FILE* out_;
  std::vector<int> slaves_;
  std::vector<Row> rows_;
};

}  // namespace qxbench
