// The nickname and machine clock dialogs: texts, limits and results.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "machine_window/widget_support.h"
#include "settings/tform_change_machine_clock.h"
#include "settings/tform_nickname.h"

using namespace dupmon;

namespace {

// Show `dialog` modally, press `button` once it is up, return the result.
int pressWhileModal(QDialog& dialog, QPushButton* button) {
    QTimer::singleShot(0, button, [button] { button->click(); });
    return dialog.exec();
}

} // namespace

TEST(NicknameDialog, TextsLimitAndResults) {
    testApplication();
    TForm_nickname d;
    EXPECT_EQ(d.windowTitle(), "Nickname");
    EXPECT_EQ(d.Label_title->text(), "Change Machine Name");
    EXPECT_EQ(d.Button_OK->text(), "OK");
    EXPECT_EQ(d.Button_Cancel->text(), "Cancel");

    d.Edit_nickname->setText(QString(60, 'x'));
    EXPECT_EQ(d.Edit_nickname->text().size(), 50);

    EXPECT_EQ(pressWhileModal(d, d.Button_OK), QDialog::Accepted);
    EXPECT_EQ(pressWhileModal(d, d.Button_Cancel), QDialog::Rejected);
    // Reused: the text stays for the caller to read or replace.
    EXPECT_EQ(d.Edit_nickname->text(), QString(50, 'x'));
}

TEST(MachineClockDialog, TextsAndResults) {
    testApplication();
    TForm_changeMachineClock d;
    EXPECT_EQ(d.windowTitle(), "Change Machine Clock");
    EXPECT_EQ(d.Label_machineClock->text(), "Machine Clock:");
    EXPECT_EQ(d.Label_computerClock->text(), "Computer Clock:");
    EXPECT_EQ(d.Button_synchronize->text(), "Synchronize Machine Clock");
    EXPECT_EQ(d.Button_abort->text(), "Abort");
    EXPECT_TRUE(d.Edit_machineClock->isReadOnly());
    EXPECT_TRUE(d.Edit_computerClock->isReadOnly());

    EXPECT_EQ(pressWhileModal(d, d.Button_synchronize), QDialog::Accepted);
    EXPECT_EQ(pressWhileModal(d, d.Button_abort), TForm_changeMachineClock::Aborted);
}
