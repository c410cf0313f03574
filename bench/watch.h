// --watch: one screen per cycle on a terminal, a row per meter with its
// latest round, redrawn in place instead of scrolling. The rows fit the
// terminal's width: columns are narrowed or left out in a fixed order, and a
// note under the table says which.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "round_format.h"

namespace qxbench {

/// Columns of the terminal `out` writes to: its window size, else $COLUMNS,
/// else 80.
int terminal_columns(std::FILE* out);

class WatchScreen {
 public:
  /// `columns` 0: the terminal's width, asked again at every screen.
  WatchScreen(std::FILE* out, std::vector<int> slaves, int columns = 0);
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
  int columns_;
};

}  // namespace qxbench
