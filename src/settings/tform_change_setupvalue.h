#pragma once
// The dialog in which the operator changes a machine's setup parameters.
#include <QDialog>
#include <array>
#include <cstdint>

#include "settings/setup_block.h"

class QButtonGroup;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace dupmon {

// The dialog's own title; a machine window adds the machine's name after it.
inline constexpr const char* kSetupCaption = "Setup Machine Parameter";

// The machine's setup parameters: one control per known field of the
// 256-byte block, built from the field table. Created once and reused; the
// caller loads a block, shows the dialog and, on OK, takes the block back.
// What the controls mean and how they are stored is SetupBlockEditor's.
class TForm_change_setupValue : public QDialog {
    Q_OBJECT
public:
    // The result of the "Abort" button.
    static constexpr int Aborted = 3;

    explicit TForm_change_setupValue(QWidget* parent = nullptr);

    // Keep a copy of the block and set every control from it.
    void loadBlock(const uint8_t* block);
    // Write every field from the controls into `block`.
    void storeControls(uint8_t* block) const;
    // Copy the dialog's block out.
    void takeBlock(uint8_t* out) const { editor_.take(out); }

    // The control of a field: a QLineEdit, a QGroupBox of radio buttons or a QComboBox.
    QWidget* control(SetupFieldId field) const { return controls_[size_t(field)]; }
    QLineEdit* edit(SetupFieldId field) const;
    QComboBox* combo(SetupFieldId field) const;
    QButtonGroup* radios(SetupFieldId field) const { return groups_[size_t(field)]; }

    // Under the fields: the typed value that is out of range, when OK or
    // TEST met one (the dialog then stays open and nothing is stored).
    QLabel* Label_Problem;
    QPushButton* Button_OK;
    QPushButton* Button_TEST;
    QPushButton* Button_Abort;

private:
    void readControls(SetupControls& out) const;
    void showControls(const SetupControls& values);
    void applyEnabling();
    // True (and the field shown) when a typed value is out of its range.
    bool refuseOutOfRange();
    void OKClick();
    void TESTClick();

    SetupBlockEditor editor_;
    std::array<QWidget*, kSetupFieldCount> controls_{};
    std::array<QButtonGroup*, kSetupFieldCount> groups_{};
};

} // namespace dupmon
