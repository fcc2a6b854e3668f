// The standard output of ostrel-ca-run. Progress records are shown with the state
// the installer reads from them (see host/progress_state.h).
#include "host/log_printer.h"

#include <cstdint>
#include <cstdio>

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

}  // namespace

std::string MessageText(const InstallerMessage& message) {
    const uint32_t kind = static_cast<uint32_t>(message.type) & 0xFF000000u;
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

std::string LogPrinter::DescribeProgress(const InstallerMessage& message) {
    std::string line = "Progress:";
    for (size_t i = 1; i < message.fields.size(); ++i) {
        line += " ";
        line += message.fields[i].isNull ? "-" : FieldText(message.fields[i]);
    }
    switch (progress_.ApplyProgress(message)) {
        case ProgressState::Record::Reset:
            line += " (reset, total " + std::to_string(progress_.total()) + ")";
            break;
        case ProgressState::Record::ActionInfo:
            if (MessageFieldInteger(message, 3) == 0) {
                line += " (explicit progress reports)";
            } else {
                line += " (" + std::to_string(MessageFieldInteger(message, 2)) +
                        " ticks per action data message)";
            }
            break;
        case ProgressState::Record::Report:
            line += " (position " + std::to_string(progress_.position()) + " of total " +
                    std::to_string(progress_.total()) + ")";
            break;
        case ProgressState::Record::Addition:
            line += " (total " + std::to_string(progress_.total()) + ")";
            break;
        case ProgressState::Record::Unknown:
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
    progress_.Apply(message);
    return MessageText(message);
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

void LogPrinter::Finish() {
    if (bar_ != nullptr) {
        bar_->Finish();
    }
}

void LogPrinter::PrintLine(const std::string& line) {
    if (bar_ != nullptr) {
        bar_->Hide();
    }
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    if (bar_ != nullptr && progress_.started()) {
        bar_->Show(progress_);
    }
}
