// Installer properties and action input: reading a property into a heap string
// with the installer's two-pass length protocol, expanding installer-formatted
// text, testing whether a property has a value, and choosing where an action's
// input comes from (its own property when run immediately, CustomActionData when
// run deferred). Every failure is logged here, each layer adding its own line.
#ifndef OSTREL_RUNTIME_PROPERTY_H
#define OSTREL_RUNTIME_PROPERTY_H

#include "platform/win32.h"

// Input-mode flag values of ReadActionInput.
constexpr DWORD kInputImmediate = 1;
constexpr DWORD kInputDeferred = 0;

// 1 when the property (narrow name) has a non-empty value, else 0. Cannot fail.
int PropertyIsSet(LPCSTR name);
// Reads the property into *value (null, or a heap string whose capacity is reused).
// An unset property reads as the empty string.
HRESULT PropertyGet(LPCWSTR name, LPWSTR* value);
// Expands installer-formatted text ([Property] references) into *value.
HRESULT FormatText(LPCWSTR text, LPWSTR* value);
// Reads the property and expands its value into *value.
HRESULT PropertyGetFormatted(LPCWSTR name, LPWSTR* value);
// Reads the action's input: CustomActionData, unexpanded, when the action runs
// deferred (scheduled, rollback or commit; *inputMode becomes 0), else the named
// property, expanded and then removed from the property table (*inputMode stays 1).
// Callers pass a null *value and *inputMode set to 1. E_INVALIDARG when there is
// no input.
HRESULT ReadActionInput(LPCWSTR name, LPWSTR* value, DWORD* inputMode);

#endif  // OSTREL_RUNTIME_PROPERTY_H
