#include "settings/tform_nickname.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace dupmon {

TForm_nickname::TForm_nickname(QWidget* parent) : QDialog(parent) {
    setObjectName("Form_nickname");
    setWindowTitle("Nickname");
    setFixedSize(360, 130);

    Label_title = new QLabel("Change Machine Name", this);
    Label_title->setGeometry(20, 15, 320, 20);

    Edit_nickname = new QLineEdit(this);
    Edit_nickname->setObjectName("Edit_nickname");
    Edit_nickname->setGeometry(20, 40, 320, 24);
    Edit_nickname->setMaxLength(kMaxLength);

    Button_OK = new QPushButton("OK", this);
    Button_OK->setGeometry(70, 85, 100, 28);
    Button_OK->setDefault(true);
    Button_Cancel = new QPushButton("Cancel", this);
    Button_Cancel->setGeometry(190, 85, 100, 28);

    connect(Button_OK, &QPushButton::clicked, this, &QDialog::accept);
    connect(Button_Cancel, &QPushButton::clicked, this, &QDialog::reject);
}

} // namespace dupmon
