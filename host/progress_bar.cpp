// Drawing the progress bar on a terminal: "\r" returns to the line's start and
// "ESC [ K" clears what the previous drawing left to the right.
#include "host/progress_bar.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kDefaultColumns = 80;
constexpr size_t kShortestBar = 10;
constexpr size_t kLongestBar = 40;
constexpr char kClearToEnd[] = "\033[K";

// `text` cut to at most `limit` bytes without splitting a UTF-8 sequence.
std::string CutToWidth(const std::string& text, size_t limit) {
    if (text.size() <= limit) {
        return text;
    }
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return text.substr(0, end);
}

}  // namespace

std::string RenderProgressBar(const std::string& label, int64_t position, int64_t total,
                              size_t columns) {
    std::string numbers;
    // Filled cells are filled / 1000 of the bar.
    int64_t permille = 0;
    if (total > 0) {
        const int64_t done = position < 0 ? 0 : (position > total ? total : position);
        // done <= total, both below 2^63: done / total * 1000 without overflow.
        permille = static_cast<int64_t>(static_cast<long double>(done) * 1000 / total);
        char text[80];
        std::snprintf(text, sizeof text, "%3d%% %lld/%lld ticks", static_cast<int>(permille / 10),
                      static_cast<long long>(position), static_cast<long long>(total));
        numbers = text;
    } else {
        permille = position > 0 ? 1000 : 0;
        numbers = std::to_string(position) + " ticks, no total";
    }

    const size_t width = columns > 1 ? columns - 1 : 0;
    // label, " [", the bar, "] ", the numbers.
    const size_t fixed = label.size() + 4 + numbers.size();
    size_t cells = width > fixed + kShortestBar ? width - fixed : kShortestBar;
    if (cells > kLongestBar) {
        cells = kLongestBar;
    }
    const size_t filled = static_cast<size_t>(permille) * cells / 1000;
    std::string line = label + " [";
    line.append(filled, '#');
    line.append(cells - filled, '-');
    line += "] " + numbers;
    return CutToWidth(line, width);
}

bool ProgressBar::WantedOn(FILE* stream) {
    if (stream == nullptr || isatty(fileno(stream)) == 0) {
        return false;
    }
    const char* term = std::getenv("TERM");
    return term == nullptr || std::strcmp(term, "dumb") != 0;
}

size_t ProgressBar::Columns() const {
    winsize size{};
    if (ioctl(fileno(terminal_), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return kDefaultColumns;
}

void ProgressBar::Show(const ProgressState& state) {
    if (terminal_ == nullptr) {
        return;
    }
    line_ = RenderProgressBar(label_, state.position(), state.total(), Columns());
    Draw();
}

void ProgressBar::Draw() {
    std::fprintf(terminal_, "\r%s%s", line_.c_str(), kClearToEnd);
    std::fflush(terminal_);
    visible_ = true;
}

void ProgressBar::Hide() {
    if (terminal_ == nullptr || !visible_) {
        return;
    }
    std::fprintf(terminal_, "\r%s", kClearToEnd);
    std::fflush(terminal_);
    visible_ = false;
}

void ProgressBar::Finish() {
    if (terminal_ == nullptr || line_.empty()) {
        return;
    }
    if (!visible_) {
        Draw();
    }
    std::fputc('\n', terminal_);
    std::fflush(terminal_);
    line_.clear();
    visible_ = false;
}
