// The C runtime's bounded formatters, _vsnprintf and _vsnwprintf, and the wide
// counting formatter _vscwprintf, over the shared Microsoft printf language of the
// format engine.
#include "platform/posix/shared/format_engine.h"
#include "platform/posix/win32_strings.h"

namespace {

FormatOutcome Run(char* buffer, size_t count, const char* format, va_list args) {
    return FormatNarrow(buffer, count, format, args);
}

FormatOutcome Run(char16_t* buffer, size_t count, const char16_t* format, va_list args) {
    return FormatWide(buffer, count, format, args);
}

// The C runtime's rule for a bounded formatter: the terminator only when it fits,
// -1 when the output does not fit, and the length needed for a null buffer of 0.
// A format that cannot be carried out gives -1 too, the text then ending where the
// output stopped (terminated there when room is left), as msvcrt leaves it.
template <typename Ch>
int BoundedFormat(Ch* buffer, size_t count, const Ch* format, va_list args) {
    if (format == nullptr || (buffer == nullptr && count != 0)) {
        return -1;
    }
    const FormatOutcome outcome = Run(buffer, count, format, args);
    if (outcome.failed && buffer != nullptr && outcome.written < count) {
        buffer[outcome.written] = 0;
    }
    if (!outcome.complete) {
        return -1;
    }
    if (buffer == nullptr) {
        return static_cast<int>(outcome.needed);
    }
    if (outcome.written < count) {
        buffer[outcome.written] = 0;
    }
    return static_cast<int>(outcome.written);
}

}  // namespace

int _vsnprintf(char* buffer, size_t count, const char* format, va_list args) {
    return BoundedFormat(buffer, count, format, args);
}

int _vsnwprintf(WCHAR* buffer, size_t count, const WCHAR* format, va_list args) {
    return BoundedFormat(buffer, count, format, args);
}

int _vscwprintf(const WCHAR* format, va_list args) {
    if (format == nullptr) {
        return -1;
    }
    const FormatOutcome outcome = FormatWide(nullptr, 0, format, args);
    return outcome.failed ? -1 : static_cast<int>(outcome.needed);
}
