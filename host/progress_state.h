// The installer's progress bar as the messages of an action leave it. Progress
// records (type 0x0A000000) carry the kind in field 1:
//   0 reset      the bar starts again with the total in field 2
//   1 action     field 3 = 0: the action sends explicit progress reports;
//                otherwise each action-data message moves the bar field 2 ticks
//   2 report     the bar moves by field 2 ticks
//   3 addition   field 2 ticks are added to the expected total
// An immediate action adds its ticks to the total (3); a deferred one announces
// explicit reports (1) and then moves the bar (2).
#ifndef OSTREL_HOST_PROGRESS_STATE_H
#define OSTREL_HOST_PROGRESS_STATE_H

#include <cstddef>
#include <cstdint>

#include "platform/posix/msi/installer_session.h"

// The field's value as the installer reads an integer: an integer field, or text
// that is a whole decimal number; anything else, a null or missing field
// included, counts as 0.
int64_t MessageFieldInteger(const InstallerMessage& message, size_t index);

class ProgressState {
  public:
    // What a progress record was, by its field 1.
    enum class Record { Reset, ActionInfo, Report, Addition, Unknown };

    // Applies a progress record and returns its kind. Not for other messages.
    Record ApplyProgress(const InstallerMessage& message);
    // Applies any message: a progress record as above; an action-data message
    // moves the bar when the action asked for that; other kinds change nothing.
    void Apply(const InstallerMessage& message);

    // True once a progress record has arrived: only then is there a bar to show.
    bool started() const { return started_; }
    int64_t total() const { return total_; }
    int64_t position() const { return position_; }

  private:
    bool started_ = false;
    // The numbers saturate rather than wrap: the action chooses them.
    int64_t total_ = 0;
    int64_t position_ = 0;
    // Ticks each action-data message moves the bar; 0: action data does not move it.
    int64_t ticksPerActionData_ = 0;
};

#endif  // OSTREL_HOST_PROGRESS_STATE_H
