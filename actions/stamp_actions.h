// The timestamp and URN actions: CASetRegDateTime stamps the current UTC time into
// the property SysDateTime; CACreateURN stores a fresh "urn:st:uuid:..." identifier
// in the property NewURN. Neither reads input or sends progress.
#ifndef OSTREL_ACTIONS_STAMP_ACTIONS_H
#define OSTREL_ACTIONS_STAMP_ACTIONS_H

#include "module/exports.h"

#endif  // OSTREL_ACTIONS_STAMP_ACTIONS_H
