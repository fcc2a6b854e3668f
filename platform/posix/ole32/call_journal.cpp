// The COM call journal: while a test has it started, the layer's COM functions and
// the WMI client's methods write one line each (name and arguments) as they are
// called, so a test can read the order and the arguments of an action's calls.
// Off by default: then a call costs one atomic read.
#include <atomic>
#include <mutex>

#include "platform/posix/ole32/com_internal.h"
#include "platform/posix/shared/seams.h"
#include "platform/posix/shared/utf.h"

namespace {

struct Journal {
    std::mutex lock;
    std::vector<std::string> lines;
};

Journal& TheJournal() {
    static Journal* journal = new Journal();  // never destroyed: used until exit
    return *journal;
}

std::atomic<bool> g_journalOn{false};

}  // namespace

bool ComJournalOn() {
    return g_journalOn.load(std::memory_order_relaxed);
}

void ComJournal(const std::string& line) {
    if (!ComJournalOn()) {
        return;
    }
    Journal& journal = TheJournal();
    std::lock_guard<std::mutex> guard(journal.lock);
    journal.lines.push_back(line);
}

std::string ComJournalText(const char16_t* text) {
    if (text == nullptr) {
        return "null";
    }
    size_t length = 0;
    while (text[length] != 0) {
        ++length;
    }
    return Utf16ToUtf8(text, length);
}

std::string ComJournalPointer(const void* pointer) {
    return pointer == nullptr ? "null" : "ptr";
}

void SeamComJournalStart() {
    Journal& journal = TheJournal();
    std::lock_guard<std::mutex> guard(journal.lock);
    journal.lines.clear();
    g_journalOn = true;
}

std::vector<std::string> SeamComJournalTake() {
    g_journalOn = false;
    Journal& journal = TheJournal();
    std::lock_guard<std::mutex> guard(journal.lock);
    std::vector<std::string> lines;
    lines.swap(journal.lines);
    return lines;
}
