// The installer log lines of ostrel-ca-run. Progress records are shown with the
// state the installer reads from them:
//   0 reset      the bar starts again with the total in field 2
//   1 action     field 3 = 0: the action sends explicit progress reports;
//                otherwise each action-data message moves the bar field 2 ticks
//   2 report     the bar moves by field 2 ticks
//   3 addition   field 2 ticks are added to the expected total
#include "host/log_printer.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "platform/posix/shared/utf.h"

namespace {

std::string FieldText(const InstallerField& field) {
    if (field.isNull) {
        return std::string();
    }
    if (field.isInteger) {
        return std::to_string(field.integer);
    }
    return Utf16ToUtf8(field.text);
}

// The field's value as the installer reads an integer: an integer field, or
// text that is a whole decimal number; anything else counts as 0.
int64_t FieldInteger(const InstallerMessage& message, size_t index) {
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

// Adds without overflow: the bar's numbers saturate rather than wrap.
int64_t SaturatingAdd(int64_t a, int64_t b) {
    int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        return b > 0 ? INT64_MAX : INT64_MIN;
    }
    return sum;
}

}  // namespace

std::string LogPrinter::DescribeProgress(const InstallerMessage& message) {
    std::string line = "Progress:";
    for (size_t i = 1; i < message.fields.size(); ++i) {
        line += " ";
        line += message.fields[i].isNull ? "-" : FieldText(message.fields[i]);
    }
    const int64_t kind = FieldInteger(message, 1);
    const int64_t value = FieldInteger(message, 2);
    switch (kind) {
        case 0:
            total_ = value;
            position_ = 0;
            line += " (reset, total " + std::to_string(total_) + ")";
            break;
        case 1:
            if (FieldInteger(message, 3) == 0) {
                line += " (explicit progress reports)";
            } else {
                line += " (" + std::to_string(value) + " ticks per action data message)";
            }
            break;
        case 2:
            position_ = SaturatingAdd(position_, value);
            line += " (position " + std::to_string(position_) + " of total " +
                    std::to_string(total_) + ")";
            break;
        case 3:
            total_ = SaturatingAdd(total_, value);
            line += " (total " + std::to_string(total_) + ")";
            break;
        default:
            line += " (unknown progress type)";
            break;
    }
    return line;
}

std::string LogPrinter::DescribeMessage(const InstallerMessage& message) {
    const uint32_t kind = static_cast<uint32_t>(message.type) & 0xFF000000u;
    if (kind == INSTALLMESSAGE_PROGRESS) {
        return DescribeProgress(message);
    }
    if (kind == INSTALLMESSAGE_INFO) {
        return message.fields.empty() ? std::string() : FieldText(message.fields[0]);
    }
    // Other kinds are not sent by the actions; show them plainly.
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "Message 0x%08x:", static_cast<unsigned>(kind));
    std::string line = prefix;
    for (const InstallerField& field : message.fields) {
        line += " ";
        line += field.isNull ? "-" : FieldText(field);
    }
    return line;
}

void LogPrinter::PrintMessage(const InstallerMessage& message) {
    PrintLine(DescribeMessage(message));
}

void LogPrinter::PrintProperty(const std::string& name, const std::string& value) {
    PrintLine("Property(S): " + name + " = " + value);
}

void LogPrinter::PrintActionEnded(const std::string& action, unsigned returnValue) {
    PrintLine("Action ended: " + action + ". Return value " + std::to_string(returnValue) + ".");
}

void LogPrinter::PrintLine(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    if (logFile_ != nullptr) {
        std::fwrite(line.data(), 1, line.size(), logFile_);
        std::fputc('\n', logFile_);
        std::fflush(logFile_);
    }
}
