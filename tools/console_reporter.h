// The core's reporting on a console: the status rows redrawn in place on a
// terminal, plain lines otherwise; message boxes become "error:" and
// "warning:" lines on standard error.
#pragma once

#include "update/update.h"

#include <array>
#include <string>

namespace kiv::tool {

class ConsoleReporter final : public Reporter {
public:
    ConsoleReporter();

    void setStatusText(StatusRow row, const std::wstring& text) override;
    void setProgress(StatusRow row, int percent) override;
    void setTitle(const std::wstring& title) override;
    void showMessage(const std::wstring& text, MessageIcon icon) override;
    void setClientReady(bool ready) override;

    bool clientReady() const { return clientReady_; }
    bool showedMessage() const { return showedMessage_; }

private:
    struct Row {
        std::wstring text;
        int percent = 0;
        int printedPercent = -1;
    };
    void redraw();
    void printLine(std::wstring_view label, const Row& row);

    bool terminal_;
    bool drawn_ = false;
    bool clientReady_ = false;
    bool showedMessage_ = false;
    std::array<Row, kStatusRowCount> rows_;
};

}  // namespace kiv::tool
