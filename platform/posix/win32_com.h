// posix substitutes: COM basics, OLE Automation strings and variants, and the
// MSXML DOM interfaces the library calls.
#ifndef OSTREL_PLATFORM_POSIX_WIN32_COM_H
#define OSTREL_PLATFORM_POSIX_WIN32_COM_H

#include "platform/posix/win32_base.h"

#endif  // OSTREL_PLATFORM_POSIX_WIN32_COM_H
