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

}  // namespace

ConsoleReporter::ConsoleReporter() : terminal_(isatty(fileno(stderr)) != 0) {}

void ConsoleReporter::printLine(const wchar_t* label, const Row& line) {
    err(padded(label, 14) + bar(line.percent) + L" " + padded(std::to_wstring(std::clamp(line.percent, 0, 100)), 3) +
        L"%  " + line.text);
}

void ConsoleReporter::redraw() {
    if (drawn_) err(L"\x1b[2A");
    err(L"\r\x1b[2K");
    printLine(L"VERSION CHECK", version_);
    err(L"\n\x1b[2K");
    printLine(L"FILE DOWNLOAD", download_);
    err(L"\n");
    drawn_ = true;
}

void ConsoleReporter::setStatusText(StatusRow which, const std::wstring& text) {
    row(which).text = text;
    if (terminal_) {
        redraw();
    } else {
        err((which == StatusRow::version ? L"VERSION CHECK: " : L"FILE DOWNLOAD: ") + text + L"\n");
    }
}

void ConsoleReporter::setProgress(StatusRow which, int percent) {
    Row& line = row(which);
    line.percent = percent;
    if (terminal_) {
        redraw();
        return;
    }
    // Plain output gets a line for each tenth, not one per chunk.
    int step = std::clamp(percent, 0, 100) / 10 * 10;
    if (step != line.printedPercent) {
        line.printedPercent = step;
        err((which == StatusRow::version ? L"VERSION CHECK: " : L"FILE DOWNLOAD: ") + std::to_wstring(percent) +
            L"%\n");
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
