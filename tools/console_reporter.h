// The core's reporting on a console: the two status rows redrawn in place on
// a terminal, plain lines otherwise; message boxes become "error:" and
// "warning:" lines on standard error.
#pragma once

#include "base/base.h"

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
    void invalidateStatusBand() override {}

    bool clientReady() const { return clientReady_; }
    bool showedMessage() const { return showedMessage_; }

private:
    struct Row {
        std::wstring text;
        int percent = 0;
        int printedPercent = -1;
    };
    Row& row(StatusRow which) { return which == StatusRow::version ? version_ : download_; }
    void redraw();
    void printLine(const wchar_t* label, const Row& row);

    bool terminal_;
    bool drawn_ = false;
    bool clientReady_ = false;
    bool showedMessage_ = false;
    Row version_;
    Row download_;
};

}  // namespace kiv::tool
