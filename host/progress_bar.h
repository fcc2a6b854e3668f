// The progress bar ostrel-ca-run draws on standard error when that is a
// terminal: one line, redrawn in place, that follows the installer's progress
// state. Lines printed meanwhile on the same terminal go above it: the bar is
// erased before each and drawn again after it, and stays as the last line when
// the run ends. When standard error is not a terminal (a pipe, a file) nothing
// is drawn at all.
#ifndef OSTREL_HOST_PROGRESS_BAR_H
#define OSTREL_HOST_PROGRESS_BAR_H

#include <cstddef>
#include <cstdio>
#include <string>
#include <utility>

#include "host/progress_state.h"

// The bar's line for `label` at `position` of `total` ticks, at most `columns - 1`
// characters wide (the last column is left free so that the terminal never wraps
// the line), without a line end:
//   CAQueryWMI [##########----------]  50% 1000/2000 ticks
// The bar has 10 to 40 cells, as the width allows.
// With no total (0 or less) the bar is full once the position has moved:
//   CAUpdateOfflineReg [####################] 3000 ticks, no total
std::string RenderProgressBar(const std::string& label, int64_t position, int64_t total,
                              size_t columns);

class ProgressBar {
  public:
    // Draws on `terminal` (standard error); a null `terminal` makes every call a
    // no-op.
    ProgressBar(FILE* terminal, std::string label)
        : terminal_(terminal), label_(std::move(label)) {}

    // True when `stream` is a terminal that can take a bar: a tty whose TERM is
    // not "dumb".
    static bool WantedOn(FILE* stream);

    // Draws the bar for `state`, in place of the one drawn before.
    void Show(const ProgressState& state);
    // Erases the bar, so that a line printed next starts at the left margin.
    void Hide();
    // Leaves the bar as drawn last (again if hidden), with a line end after it;
    // nothing when no bar was drawn.
    void Finish();

  private:
    size_t Columns() const;
    void Draw();

    FILE* terminal_;
    std::string label_;
    std::string line_;  // the bar drawn last; empty: none yet
    bool visible_ = false;
};

#endif  // OSTREL_HOST_PROGRESS_BAR_H
