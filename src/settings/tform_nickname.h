#pragma once
// The dialog in which the operator gives a machine a name of their own.
#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

namespace dupmon {

// The dialog's own title; a machine window adds the machine's name after it.
inline constexpr const char* kNicknameCaption = "Nickname";

// "Nickname": the operator's name for a machine, at most 50 characters.
// Created once and reused; the caller fills Edit_nickname before showing it
// and reads it back after an OK.
class TForm_nickname : public QDialog {
    Q_OBJECT
public:
    static constexpr int kMaxLength = 50;

    explicit TForm_nickname(QWidget* parent = nullptr);

    QLabel* Label_title;
    QLineEdit* Edit_nickname;
    QPushButton* Button_OK;
    QPushButton* Button_Cancel;

protected:
    void showEvent(QShowEvent* event) override;
};

} // namespace dupmon
