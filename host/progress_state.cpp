// The installer's progress bar state, kept from the progress records and
// action-data messages an action sends.
#include "host/progress_state.h"

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/posix/shared/utf.h"

namespace {

// Adds without overflow: the bar's numbers saturate rather than wrap.
int64_t SaturatingAdd(int64_t a, int64_t b) {
    int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        return b > 0 ? INT64_MAX : INT64_MIN;
    }
    return sum;
}

uint32_t Kind(const InstallerMessage& message) {
    return static_cast<uint32_t>(message.type) & 0xFF000000u;
}

}  // namespace

int64_t MessageFieldInteger(const InstallerMessage& message, size_t index) {
    if (index >= message.fields.size() || message.fields[index].isNull) {
        return 0;
    }
    const InstallerField& field = message.fields[index];
    if (field.isInteger) {
        return field.integer;
    }
    const std::string text = Utf16ToUtf8(field.text);
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    return (errno == 0 && !text.empty() && *end == '\0') ? value : 0;
}

ProgressState::Record ProgressState::ApplyProgress(const InstallerMessage& message) {
    started_ = true;
    const int64_t value = MessageFieldInteger(message, 2);
    switch (MessageFieldInteger(message, 1)) {
        case 0:
            total_ = value;
            position_ = 0;
            return Record::Reset;
        case 1:
            ticksPerActionData_ = MessageFieldInteger(message, 3) == 0 ? 0 : value;
            return Record::ActionInfo;
        case 2:
            position_ = SaturatingAdd(position_, value);
            return Record::Report;
        case 3:
            total_ = SaturatingAdd(total_, value);
            return Record::Addition;
        default:
            return Record::Unknown;
    }
}

void ProgressState::Apply(const InstallerMessage& message) {
    const uint32_t kind = Kind(message);
    if (kind == INSTALLMESSAGE_PROGRESS) {
        ApplyProgress(message);
    } else if (kind == INSTALLMESSAGE_ACTIONDATA && ticksPerActionData_ != 0) {
        position_ = SaturatingAdd(position_, ticksPerActionData_);
    }
}
