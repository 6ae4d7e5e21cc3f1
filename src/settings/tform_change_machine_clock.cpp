// The Change Machine Clock dialog's layout: both clocks, and the Synchronize
// and Abort buttons.
#include "settings/tform_change_machine_clock.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace dupmon {

TForm_changeMachineClock::TForm_changeMachineClock(QWidget* parent) : QDialog(parent) {
    setObjectName("Form_changeMachineClock");
    setWindowTitle(kMachineClockCaption);

    Label_machineClock = new QLabel("Machine Clock:", this);
    Edit_machineClock = new QLineEdit(this);
    Edit_machineClock->setObjectName("Edit_machineClock");
    Edit_machineClock->setReadOnly(true);
    Label_computerClock = new QLabel("Computer Clock:", this);
    Edit_computerClock = new QLineEdit(this);
    Edit_computerClock->setObjectName("Edit_computerClock");
    Edit_computerClock->setReadOnly(true);
    // Wide enough for "YYYY-MM-DD hh:mm:ss" in the field's own font.
    const int clockWidth =
        Edit_machineClock->fontMetrics().horizontalAdvance("0000-00-00 00:00:00  ") + 16;
    Edit_machineClock->setMinimumWidth(clockWidth);
    Edit_computerClock->setMinimumWidth(clockWidth);

    Button_synchronize = new QPushButton("Synchronize Machine Clock", this);
    Button_abort = new QPushButton("Abort", this);

    auto* fields = new QGridLayout;
    fields->addWidget(Label_machineClock, 0, 0);
    fields->addWidget(Edit_machineClock, 0, 1);
    fields->addWidget(Label_computerClock, 1, 0);
    fields->addWidget(Edit_computerClock, 1, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(Button_synchronize);
    buttons->addStretch(1);
    buttons->addWidget(Button_abort);
    auto* column = new QVBoxLayout(this);
    column->addLayout(fields);
    column->addSpacing(Edit_machineClock->fontMetrics().height() / 2);
    column->addLayout(buttons);
    column->setSizeConstraint(QLayout::SetFixedSize); // a fixed border, sized by the font

    connect(Button_synchronize, &QPushButton::clicked, this, &QDialog::accept);
    connect(Button_abort, &QPushButton::clicked, this, [this] { done(Aborted); });
}

} // namespace dupmon
