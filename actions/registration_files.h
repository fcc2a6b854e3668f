// The two registration files of an installed product and the operations on them.
//
//   svctag.xml    the service tag: an XML record of the installed product whose
//                 //registration_data/registry element carries the registry URN in
//                 its `urn` attribute. Its raw bytes are posted unchanged and
//                 encoded into the page; they are never re-serialised.
//   register.htm  the offline registration page: a byte file, never parsed as
//                 HTML. Its form `action` names the registration service's address
//                 (the payload destination).
//
// Every search in the page is a byte-for-byte, case-sensitive match on the raw
// bytes, and only the first occurrence a search meets counts. Each operation logs
// its own failures with one line; the calling action adds a line of its own.
#ifndef OSTREL_ACTIONS_REGISTRATION_FILES_H
#define OSTREL_ACTIONS_REGISTRATION_FILES_H

#include "platform/win32.h"

// File names in the installation directory, appended to it without a separator.
#define SVCTAGFNAME WSTR("svctag.xml")
#define OFFREGFNAME WSTR("register.htm")

// Reads the page at `pagePath` and hands out, in *destination (null on entry; the
// caller frees it with StrFree), the UTF-8 bytes between the first `action="` and
// the next double quote, converted to UTF-16. Nothing is unescaped or trimmed. An
// empty attribute gives an empty destination.
HRESULT ReadPayloadDestination(LPCWSTR pagePath, LPWSTR* destination);

#endif  // OSTREL_ACTIONS_REGISTRATION_FILES_H
