#pragma once
// The adapter that lets a machine connection drive its TFormMachine window,
// which may outlive the connection on screen.
#include <QPointer>
#include <functional>
#include <memory>

#include "connection/machine.h"
#include "machine_window/tform_machine.h"

namespace dupmon {

// The machine window as the connection sees it.
class MachineWindowAdapter final : public MachineWindowView {
public:
    explicit MachineWindowAdapter(TFormMachine* window) : window_(window) {}
    ~MachineWindowAdapter() override {
        // A window on screen when its machine goes may stay to say so.
        if (window_ && window_->isVisible() && keepWhenUnplugged && keepWhenUnplugged(window_))
            return;
        // The window may be in one of its own dialogs' event loops right now:
        // let it go once control is back in the main loop.
        if (window_) {
            window_->hide();
            window_->deleteLater();
        }
    }
    void onStatus(int code, const void* data) override {
        if (window_)
            window_->OnStatus(code, data);
    }
    void setLogNumber(int number) override {
        if (window_)
            window_->SetLogNumber(number);
    }
    void showImageBankInfo(const uint8_t* block256) override {
        if (window_)
            window_->showImageBankInfo(block256);
    }
    void showImageBankTable(const uint8_t* table, uint32_t count) override {
        if (window_)
            window_->showImageBankTable(table, count);
    }
    void addLogRecord(const uint8_t* record128) override {
        if (window_ && window_->logRecordArrived)
            window_->logRecordArrived(record128);
    }
    void showWindow() override {
        if (!window_)
            return;
        window_->show();
        window_->raise();
        window_->activateWindow();
    }
    TFormMachine* window() const { return window_; }
    // Asked when the machine goes while its window is on screen; true when
    // the callee took the window over.
    std::function<bool(TFormMachine*)> keepWhenUnplugged;

private:
    QPointer<TFormMachine> window_;
};

} // namespace dupmon
