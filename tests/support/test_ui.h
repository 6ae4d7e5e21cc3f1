#pragma once
#include <functional>
#include <string>
#include <vector>

#include "common/ui_services.h"

namespace dupmon {

// Captures message boxes; a waiting request's event loop runs `onProcessEvents`.
class TestUi final : public UiServices {
public:
    struct Message {
        std::string text, caption;
    };
    void messageBox(std::string_view text, std::string_view caption) override {
        messages.push_back({std::string(text), std::string(caption)});
    }
    bool askYesNo(std::string_view text, std::string_view caption) override {
        questions.push_back({std::string(text), std::string(caption)});
        return answerYes;
    }
    bool processEvents() override {
        if (++passes > maxPasses)
            return false;
        if (onProcessEvents)
            onProcessEvents();
        return true;
    }
    std::vector<Message> messages;
    std::vector<Message> questions; // asked with askYesNo, answered with `answerYes`
    bool answerYes = true;
    std::function<void()> onProcessEvents;
    long passes = 0;
    long maxPasses = 10'000'000;
};

} // namespace dupmon
