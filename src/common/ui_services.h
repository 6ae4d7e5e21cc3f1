#pragma once
// What core code may ask of the user interface (message boxes, a yes/no
// question, one pass of the event loop), so that engines run without windows.
#include <string_view>

namespace dupmon {

// What core code needs from the user interface: a modal message box with one
// OK button, and one pass of the event loop for requests that wait. The
// program answers with QMessageBox and a nested event loop; tests capture the
// message and step a stand-in machine instead.
class UiServices {
public:
    virtual ~UiServices() = default;
    virtual void messageBox(std::string_view text, std::string_view caption) = 0;
    // A modal question with Yes and No; true for Yes. Where nobody can be
    // asked (no windows), the answer is Yes.
    virtual bool askYesNo(std::string_view /*text*/, std::string_view /*caption*/) { return true; }
    // The same box, shown once the caller has returned to the event loop:
    // for messages raised while a machine is stepped, so that the other
    // machines keep being stepped while the operator reads it.
    virtual void messageBoxLater(std::string_view text, std::string_view caption) {
        messageBox(text, caption);
    }
    // Let pending events (timers, input) run once; returns false when the
    // program is shutting down and waiting must stop.
    virtual bool processEvents() = 0;
};

// The user interface as machine connections and their engines see it: every
// message box they raise comes from inside a step, so it waits for the step
// to return.
class StepUiServices final : public UiServices {
public:
    explicit StepUiServices(UiServices& ui) : ui_(ui) {}
    void messageBox(std::string_view text, std::string_view caption) override {
        ui_.messageBoxLater(text, caption);
    }
    bool askYesNo(std::string_view text, std::string_view caption) override {
        return ui_.askYesNo(text, caption);
    }
    bool processEvents() override { return ui_.processEvents(); }

private:
    UiServices& ui_;
};

} // namespace dupmon
