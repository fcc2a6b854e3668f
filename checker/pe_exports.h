// The names a Windows DLL exports, read from the export directory of its image
// (PE32 or PE32+) as stored in a package's Binary table. Every offset and size
// read from the image is checked against the image before use.
#ifndef OSTREL_CHECKER_PE_EXPORTS_H
#define OSTREL_CHECKER_PE_EXPORTS_H

#include <string>
#include <vector>

// The exported names, in the export directory's order; empty when the bytes are
// not a DLL image with an export directory (or one that points outside them).
std::vector<std::string> PeExportedNames(const std::string& image);

#endif  // OSTREL_CHECKER_PE_EXPORTS_H
