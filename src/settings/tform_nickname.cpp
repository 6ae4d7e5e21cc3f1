// The Nickname dialog's layout: the name field and its OK and Cancel buttons.
#include "settings/tform_nickname.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace dupmon {

TForm_nickname::TForm_nickname(QWidget* parent) : QDialog(parent) {
    setObjectName("Form_nickname");
    setWindowTitle(kNicknameCaption);

    Label_title = new QLabel("Change Machine Name", this);
    Edit_nickname = new QLineEdit(this);
    Edit_nickname->setObjectName("Edit_nickname");
    Edit_nickname->setMaxLength(kMaxLength);
    // Room for a good part of the longest name; the field scrolls for the rest.
    Edit_nickname->setMinimumWidth(
        Edit_nickname->fontMetrics().horizontalAdvance(QString(32, 'N')));
    Label_title->setBuddy(Edit_nickname);

    Button_OK = new QPushButton("OK", this);
    Button_OK->setDefault(true);
    Button_Cancel = new QPushButton("Cancel", this);

    // Laid out from the font's own sizes; the dialog keeps the size it needs
    // (a fixed border).
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(Button_OK);
    buttons->addWidget(Button_Cancel);
    buttons->addStretch(1);
    auto* column = new QVBoxLayout(this);
    column->addWidget(Label_title);
    column->addWidget(Edit_nickname);
    column->addSpacing(Edit_nickname->fontMetrics().height() / 2);
    column->addLayout(buttons);
    column->setSizeConstraint(QLayout::SetFixedSize);

    connect(Button_OK, &QPushButton::clicked, this, &QDialog::accept);
    connect(Button_Cancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TForm_nickname::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Typing goes to the name whatever button closed the dialog the last time.
    Edit_nickname->setFocus(Qt::OtherFocusReason);
    Edit_nickname->selectAll();
}

} // namespace dupmon
