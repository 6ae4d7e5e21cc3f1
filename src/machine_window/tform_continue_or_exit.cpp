// The Waiting dialog's layout, its question line and its two answers.
#include "machine_window/tform_continue_or_exit.h"

#include <QLabel>
#include <QPushButton>
#include <algorithm>

namespace dupmon {

namespace {
constexpr int kMargin = 12;
constexpr int kButtonWidth = 110;
constexpr int kButtonHeight = 36;
constexpr int kButtonGap = 20;
constexpr int kMaxWidth = 520;
} // namespace

TForm_continue_or_exit::TForm_continue_or_exit(QWidget* parent) : QDialog(parent) {
    setObjectName("Form_continue_or_exit");
    setWindowTitle(kContinueOrFinishCaption);
    setWindowFlag(Qt::MSWindowsFixedSizeDialogHint);

    Label_question = new QLabel(this);
    Label_question->setObjectName("Label_question");
    Button_continue = new QPushButton("Continue", this);
    Button_finish = new QPushButton("Finish", this);
    setQuestion(QString());

    connect(Button_continue, &QPushButton::clicked, this, [this] { Button_continueClick(); });
    connect(Button_finish, &QPushButton::clicked, this, [this] { Button_finishClick(); });
}

void TForm_continue_or_exit::setQuestion(const QString& text) {
    // One line above the buttons; a long machine name wraps rather than
    // widening the dialog past a small screen.
    Label_question->setText(text);
    Label_question->setWordWrap(true);
    const int buttons = 2 * kButtonWidth + kButtonGap;
    const int lineWidth = Label_question->fontMetrics().horizontalAdvance(text);
    const int width = std::clamp(lineWidth + 2 * kMargin + 4, buttons + 2 * kMargin, kMaxWidth);
    const int labelHeight = Label_question->heightForWidth(width - 2 * kMargin);
    Label_question->setGeometry(kMargin, kMargin, width - 2 * kMargin, std::max(0, labelHeight));
    const int top = kMargin + std::max(0, labelHeight) + kMargin;
    const int left = (width - buttons) / 2;
    Button_continue->setGeometry(left, top, kButtonWidth, kButtonHeight);
    Button_finish->setGeometry(left + kButtonWidth + kButtonGap, top, kButtonWidth, kButtonHeight);
    setFixedSize(width, top + kButtonHeight + kMargin);
}

void TForm_continue_or_exit::ask(const QString& text) {
    answer = None;
    setQuestion(text);
    open();
}

void TForm_continue_or_exit::Button_continueClick() {
    answer = Continue;
    accept();
}

void TForm_continue_or_exit::Button_finishClick() {
    answer = Finish;
    accept();
}

} // namespace dupmon
