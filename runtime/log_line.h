// Building one installer log line as UTF-16.
//
// The log's formats are narrow ("%s" a narrow string, "%S" and "%wS" a wide one),
// but a wide argument (a path, a property name or value) may hold any character,
// and narrow formatting would lose every one above U+00FF: the C runtime's "C"
// locale has no byte for it and stops the line there. So the line is built wide:
// the narrow format is rewritten into a wide format of the same meaning and the
// arguments are formatted with the C runtime's wide formatter. For ASCII text the
// line is unchanged, character for character.
//
// Narrow arguments ("%s", "%c") are read byte by byte as U+0000-U+00FF, as the C
// runtime's "C" locale reads them; the library's narrow arguments are ASCII (its
// own messages and action names), so nothing is lost for them. A UTF-8 byte
// sequence would show as one character per byte.
//
// Nothing here allocates: the caller owns both buffers (static ones for the log).
#ifndef OSTREL_RUNTIME_LOG_LINE_H
#define OSTREL_RUNTIME_LOG_LINE_H

#include "platform/win32.h"

// Writes the narrow format `format` into `wide` (`capacity` units, at least 1) as a
// wide format of the same meaning: "%s" becomes "%hs", "%S", "%wS" and "%ls" become
// "%ls", "%c" "%hc" and "%C" "%lc", with their flags, width and precision; every
// other conversion ("%d", "%x", "%I64u", "%%", ...) is kept as it is, and each
// literal byte becomes the character of the same value. A format too long for the
// buffer is cut before the first character or whole conversion that does not fit,
// as is a conversion left unfinished at the format's end, so the result never
// ends inside a conversion. A null format gives the empty format. Returns the
// number of units written before the terminator.
size_t WidenLogFormat(LPCSTR format, LPWSTR wide, size_t capacity);

// One log line, built piece by piece in `text` (`capacity` units, the terminator
// included) with `formatScratch` (as many units) for the widened format. The line
// is always terminated and never longer than capacity - 1 units; a cut never
// leaves the first half of a surrogate pair at its end.
class LogLineBuilder {
  public:
    LogLineBuilder(LPWSTR text, LPWSTR formatScratch, size_t capacity);
    LogLineBuilder(const LogLineBuilder&) = delete;
    LogLineBuilder& operator=(const LogLineBuilder&) = delete;

    // "name:  " for a non-empty name, which is passed as an argument and never read
    // as format text; nothing for an empty one.
    void AppendName(LPCSTR name);
    // "Error 0x%x: " with the status in lower-case hexadecimal.
    void AppendStatus(HRESULT status);
    // The caller's narrow format with its arguments. Output that does not fit is
    // cut. When the C runtime cannot carry the format out, the line holds what was
    // formatted before the failure, or, when that is nothing, the format text
    // itself; never what the buffer held before.
    void AppendV(LPCSTR format, va_list args);

    LPCWSTR text() const { return text_; }
    size_t length() const { return length_; }

  private:
    // Measures what the last step added (the text behind length_ up to its
    // terminator, within the capacity).
    size_t MeasureAdded() const;
    void DropSplitPair();

    LPWSTR text_;
    LPWSTR formatScratch_;
    size_t capacity_;
    size_t length_ = 0;
};

#endif  // OSTREL_RUNTIME_LOG_LINE_H
