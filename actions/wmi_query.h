// The WMI inventory action: CAQueryWMI runs the WQL statement of its input
// (WMIQuery, or CustomActionData when deferred) against ROOT\CIMV2 and sets one
// property per class and column, "<table>_<column>", to the column's text, where
// the table is the class name behind "Win32_". Values of several rows that differ
// in their first four characters are gathered into a comma-separated list.
#ifndef OSTREL_ACTIONS_WMI_QUERY_H
#define OSTREL_ACTIONS_WMI_QUERY_H

#include "module/exports.h"

// The text of a column value, by its type:
//   VT_NULL   "<null>"
//   VT_I2     "%hu (0x%hX)", the 16 bits taken as unsigned (-2: "65534 (0xFFFE)")
//   VT_I4     "%d (0x%X)" (-2: "-2 (0xFFFFFFFE)")
//   VT_R4, VT_R8  "%10.4f" (2.5: "    2.5000")
//   VT_BSTR   the string up to its first NUL; "(null)" for a null BSTR
//   VT_BOOL   "TRUE" when non-zero, else "FALSE"
//   VT_UI1    "'%c' (%hu, 0x%hX)" for 32 and above ("'A' (65, 0x41)"), else
//             "%hu (0x%hX)" ("9 (0x9)")
//   any other type, arrays and references included: "BAD_TYPE"
// into the heap string *text. A failure is logged ("Failed to convert Variant to
// String.") and returned.
HRESULT VariantToText(const VARIANT* value, LPWSTR* text);

#endif  // OSTREL_ACTIONS_WMI_QUERY_H
