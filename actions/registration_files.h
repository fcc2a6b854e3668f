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
// Trace lines go through LogLine at LogTrace and never reach the installer log.
#ifndef OSTREL_ACTIONS_REGISTRATION_FILES_H
#define OSTREL_ACTIONS_REGISTRATION_FILES_H

#include "platform/win32.h"

// File names in the installation directory, appended to it without a separator.
#define SVCTAGFNAME WSTR("svctag.xml")
#define OFFREGFNAME WSTR("register.htm")

// Loads the service tag at `serviceTagPath` as XML and hands out, in *urn (the
// caller frees it with SysFreeString), the `urn` attribute of the first element
// matched by "//registration_data/registry". A document that cannot be loaded, no
// such element, or an element without the attribute fails with one line each.
HRESULT ReadRegistryUrn(LPCWSTR serviceTagPath, BSTR* urn);

// Reads the page at `pagePath` and hands out, in *destination (null on entry; the
// caller frees it with StrFree), the UTF-8 bytes between the first `action="` and
// the next double quote, converted to UTF-16. Nothing is unescaped or trimmed. An
// empty attribute gives an empty destination.
HRESULT ReadPayloadDestination(LPCWSTR pagePath, LPWSTR* destination);

// Encodes the `count` bytes of a service tag for the page into *encoded (null on
// entry; the caller frees it with StrFree): the bytes up to the first zero byte (all
// of them when there is none), each double quote written as "%22", then a zero
// byte. The buffer is exactly that long. Zero bytes may only pad the end: a tag
// with any other byte behind its first zero byte (UTF-16 text, say) is refused with
// HRESULT_FROM_WIN32(ERROR_INVALID_DATA) and a line naming the zero byte's offset.
HRESULT EncodeServiceTag(LPSTR* encoded, const BYTE* data, DWORD count);

// Fills the placeholders of the page "register.htm" in `installPath` (which ends in
// a separator) and writes the page back: the first "WXYZ" becomes the registry URN
// (ASCII only, one byte per character), the first "TUVW" from the URN on becomes
// the encoded service tag. The page changes only when every step succeeded.
HRESULT MergeOfflineRegistration(LPCWSTR installPath, LPCWSTR urn, LPCSTR encodedTag);

// The in-memory half of MergeOfflineRegistration, for a page already read: *page
// holds the *size bytes of the page read from `pagePath` (named in the failure
// lines), `urn` has `urnLength` characters and `encodedTag` `tagLength` bytes. The
// merged page is put together once, in a new block of its own length and a zero
// byte (s + u - 4 bytes and a zero byte where the tag is shorter than its
// placeholder), which replaces *page; the page's block is freed. On success *size
// is the merged length, *size + urnLength + tagLength - 8. Sizes whose sum does not
// fit 32 bits fail with HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW) before
// anything is allocated. On failure *page and *size are as they were.
HRESULT FillRegistrationPage(LPCWSTR pagePath, BYTE** page, DWORD* size, LPCWSTR urn,
                             DWORD urnLength, LPCSTR encodedTag, DWORD tagLength);

#endif  // OSTREL_ACTIONS_REGISTRATION_FILES_H
