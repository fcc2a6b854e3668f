// posix substitutes: files (CreateFileW, ReadFile, WriteFile, ...) over POSIX.
#ifndef OSTREL_PLATFORM_POSIX_WIN32_FILES_H
#define OSTREL_PLATFORM_POSIX_WIN32_FILES_H

#include "platform/posix/win32_base.h"

#endif  // OSTREL_PLATFORM_POSIX_WIN32_FILES_H
