#include "machine_window/tform_continue_or_exit.h"

#include <QPushButton>

namespace dupmon {

TForm_continue_or_exit::TForm_continue_or_exit(QWidget* parent) : QDialog(parent) {
    setObjectName("Form_continue_or_exit");
    setWindowTitle("Waiting");
    setFixedSize(300, 100); // a fixed single border
    setWindowFlag(Qt::MSWindowsFixedSizeDialogHint);

    Button_continue = new QPushButton("Continue", this);
    Button_continue->setGeometry(30, 30, 110, 36);
    Button_finish = new QPushButton("Finish", this);
    Button_finish->setGeometry(160, 30, 110, 36);

    connect(Button_continue, &QPushButton::clicked, this, [this] { Button_continueClick(); });
    connect(Button_finish, &QPushButton::clicked, this, [this] { Button_finishClick(); });
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
