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
#include "support/layout_check.h"

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

TEST(NicknameDialog, OpensWithTheFocusInTheNameWhateverButtonClosedItLast) {
    testApplication();
    TForm_nickname d;
    d.Edit_nickname->setText("Back room");
    for (QPushButton* last : {d.Button_Cancel, d.Button_OK, d.Button_Cancel}) {
        QWidget* focused = nullptr;
        bool selected = false;
        QTimer::singleShot(0, last, [&, last] {
            focused = d.focusWidget();
            selected = d.Edit_nickname->selectedText() == d.Edit_nickname->text();
            // The button takes the focus, as a mouse click on it does.
            last->setFocus(Qt::MouseFocusReason);
            last->click();
        });
        d.exec();
        EXPECT_EQ(focused, d.Edit_nickname) << last->text().toStdString();
        EXPECT_TRUE(selected) << "typing replaces the old name";
    }
}

TEST(SettingsDialogs, LaidOutWithoutOverlapsOrCutTexts) {
    testApplication();
    TForm_nickname nickname;
    EXPECT_TRUE(cleanLayout(&nickname, "dialogs", "nickname"));
    TForm_changeMachineClock clock;
    clock.Edit_machineClock->setText("2026-03-14 08:05:07");
    clock.Edit_computerClock->setText("2026-03-15 10:00:00");
    EXPECT_TRUE(cleanLayout(&clock, "dialogs", "machine_clock"));
}
