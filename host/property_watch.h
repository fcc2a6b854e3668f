// Following the session's property table while an action runs, for the
// PROPERTY CHANGE lines of the log. The table is compared with what was seen last
// whenever the host gets a look in (each installer message, and the action's
// return), so the changes come out in order with the action's messages; a
// property changed twice between two looks shows as one change.
#ifndef OSTREL_HOST_PROPERTY_WATCH_H
#define OSTREL_HOST_PROPERTY_WATCH_H

#include <map>
#include <string>
#include <vector>

#include "platform/posix/win32_msi.h"

struct PropertyChange {
    std::string name;
    std::string oldValue;  // empty: the property was not set
    std::string newValue;  // empty: the property is gone
};

class PropertyWatch {
  public:
    // Watches the session behind `install`, whose properties are now those set
    // from the command line (names in `initial`, repeats allowed).
    PropertyWatch(MSIHANDLE install, const std::vector<std::string>& initial);

    // The changes since the last call (or since construction), in the order the
    // properties first changed.
    std::vector<PropertyChange> Poll();

    // Every property the session holds, in the order the log dumps them: those of
    // the command line, then those the action added.
    std::vector<std::string> Names() const;

  private:
    MSIHANDLE install_;
    std::map<std::string, std::string> seen_;  // name -> value seen last
    std::vector<std::string> order_;           // names in order of first sight
};

#endif  // OSTREL_HOST_PROPERTY_WATCH_H
