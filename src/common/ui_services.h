#pragma once
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
    // Let pending events (timers, input) run once; returns false when the
    // program is shutting down and waiting must stop.
    virtual bool processEvents() = 0;
};

} // namespace dupmon
