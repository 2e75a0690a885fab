#include "tools/console_reporter.h"

#include "tools/kivtool.h"

#include <algorithm>
#include <cstdio>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace kiv::tool {

namespace {

std::wstring bar(int percent) {
    const int width = 30;
    int filled = std::clamp(percent, 0, 100) * width / 100;
    return L"[" + std::wstring(static_cast<std::size_t>(filled), L'#') +
           std::wstring(static_cast<std::size_t>(width - filled), L'.') + L"]";
}

std::wstring padded(std::wstring text, std::size_t width) {
    if (text.size() < width) text.append(width - text.size(), L' ');
    return text;
}

// One plain line: the row's label, then what it reports.
std::wstring plainLine(StatusRow row, const std::wstring& text) {
    return std::wstring(kStatusRowLabels[rowIndex(row)]) + L": " + text + L"\n";
}

}  // namespace

ConsoleReporter::ConsoleReporter() : terminal_(isatty(fileno(stderr)) != 0) {}

void ConsoleReporter::printLine(std::wstring_view label, const Row& line) {
    err(padded(std::wstring(label), 14) + bar(line.percent) + L" " +
        padded(std::to_wstring(std::clamp(line.percent, 0, 100)), 3) + L"%  " + line.text);
}

void ConsoleReporter::redraw() {
    // Back up over the rows drawn last time and draw each again in its place.
    if (drawn_) err(L"\x1b[" + std::to_wstring(rows_.size()) + L"A");
    err(L"\r");
    for (std::size_t index = 0; index < rows_.size(); ++index) {
        err(L"\x1b[2K");
        printLine(kStatusRowLabels[index], rows_[index]);
        err(L"\n");
    }
    drawn_ = true;
}

void ConsoleReporter::setStatusText(StatusRow which, const std::wstring& text) {
    rows_[rowIndex(which)].text = text;
    if (terminal_) {
        redraw();
    } else {
        err(plainLine(which, text));
    }
}

void ConsoleReporter::setProgress(StatusRow which, int percent) {
    Row& line = rows_[rowIndex(which)];
    line.percent = percent;
    if (terminal_) {
        redraw();
        return;
    }
    // Plain output gets a line for each tenth, not one per chunk.
    int step = std::clamp(percent, 0, 100) / 10 * 10;
    if (step != line.printedPercent) {
        line.printedPercent = step;
        err(plainLine(which, std::to_wstring(percent) + L"%"));
    }
}

void ConsoleReporter::setTitle(const std::wstring& title) {
    if (terminal_) {
        drawn_ = false;
    }
    err(L"title: " + title + L"\n");
}

void ConsoleReporter::showMessage(const std::wstring& text, MessageIcon icon) {
    showedMessage_ = true;
    if (terminal_) drawn_ = false;
    std::wstring flat = text;
    std::replace(flat.begin(), flat.end(), L'\n', L' ');
    err((icon == MessageIcon::error ? L"kivtool: error: " : L"kivtool: warning: ") + flat + L"\n");
}

void ConsoleReporter::setClientReady(bool ready) { clientReady_ = ready; }

}  // namespace kiv::tool
