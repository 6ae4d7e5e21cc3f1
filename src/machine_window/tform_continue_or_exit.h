#pragma once
// The Waiting dialog in which the operator tells a machine at the end of a
// job to continue or to finish.
#include <QDialog>

class QLabel;
class QPushButton;

namespace dupmon {

// The dialog's own title; a machine window adds the machine's name after it.
inline constexpr const char* kContinueOrFinishCaption = "Waiting";

// "Waiting": asks whether the machine should continue or finish. Every
// showing starts without an answer, so that closing it without a button
// (Esc, the close box) is no answer, never the answer of an earlier showing.
class TForm_continue_or_exit : public QDialog {
    Q_OBJECT
public:
    enum Answer { None = 0, Continue = 1, Finish = 2 };

    explicit TForm_continue_or_exit(QWidget* parent = nullptr);

    void Button_continueClick();
    void Button_finishClick();
    // The line above the buttons: which machine asks, and what each answer does.
    void setQuestion(const QString& text);
    // Shows the question modal to its parent window, without waiting for the
    // answer: finished() tells it.
    void ask(const QString& text);

    QLabel* Label_question;
    QPushButton* Button_continue;
    QPushButton* Button_finish;
    int answer = None;
};

} // namespace dupmon
