#include "settings/tform_change_machine_clock.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace dupmon {

TForm_changeMachineClock::TForm_changeMachineClock(QWidget* parent) : QDialog(parent) {
    setObjectName("Form_changeMachineClock");
    setWindowTitle("Change Machine Clock");
    setFixedSize(420, 150);

    Label_machineClock = new QLabel("Machine Clock:", this);
    Label_machineClock->setGeometry(20, 20, 130, 22);
    Edit_machineClock = new QLineEdit(this);
    Edit_machineClock->setObjectName("Edit_machineClock");
    Edit_machineClock->setGeometry(160, 20, 240, 24);
    Edit_machineClock->setReadOnly(true);

    Label_computerClock = new QLabel("Computer Clock:", this);
    Label_computerClock->setGeometry(20, 55, 130, 22);
    Edit_computerClock = new QLineEdit(this);
    Edit_computerClock->setObjectName("Edit_computerClock");
    Edit_computerClock->setGeometry(160, 55, 240, 24);
    Edit_computerClock->setReadOnly(true);

    Button_synchronize = new QPushButton("Synchronize Machine Clock", this);
    Button_synchronize->setGeometry(20, 100, 240, 30);
    Button_abort = new QPushButton("Abort", this);
    Button_abort->setGeometry(280, 100, 120, 30);

    connect(Button_synchronize, &QPushButton::clicked, this, &QDialog::accept);
    connect(Button_abort, &QPushButton::clicked, this, [this] { done(Aborted); });
}

} // namespace dupmon
