#pragma once
// The dialog that shows a machine's clock beside the PC's and lets the
// operator set the machine to the PC's time.
#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

namespace dupmon {

// The dialog's own title; a machine window adds the machine's name after it.
inline constexpr const char* kMachineClockCaption = "Change Machine Clock";

// "Change Machine Clock": the machine's clock beside the PC's. Created once
// and reused; the caller fills both fields, and on "Synchronize Machine
// Clock" (the Accepted result) has the machine take the PC's time.
class TForm_changeMachineClock : public QDialog {
    Q_OBJECT
public:
    // The result of the "Abort" button.
    static constexpr int Aborted = 3;

    explicit TForm_changeMachineClock(QWidget* parent = nullptr);

    QLabel* Label_machineClock;
    QLabel* Label_computerClock;
    QLineEdit* Edit_machineClock;
    QLineEdit* Edit_computerClock;
    QPushButton* Button_synchronize;
    QPushButton* Button_abort;
};

} // namespace dupmon
