// The setup dialog as real widgets on the offscreen platform: what a block
// shows, the enabling rules as the operator clicks, TEST, OK and Abort.
#include <gtest/gtest.h>

#include <QButtonGroup>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <array>

#include "common/byte_order.h"
#include "machine_window/widget_support.h"
#include "settings/tform_change_setupvalue.h"
#include "support/layout_check.h"

using namespace dupmon;

namespace {

using Block = std::array<uint8_t, kSetupBlockSize>;

Block machineBlock() {
    Block b;
    for (size_t i = 0; i < b.size(); ++i)
        b[i] = uint8_t(255 - i);
    b[65] = 100;
    b[102] = 0;
    b[104] = 1;
    b[105] = 2;
    b[133] = 10;
    b[146] = 0;
    b[149] = 1;
    b[153] = 0;
    b[155] = 1;
    writeBE16(&b[156], 1);
    writeBE16(&b[158], 75);
    writeBE16(&b[160], 30);
    b[162] = 0;
    writeBE32(&b[196], 6000); // no entry
    b[209] = 0;
    b[220] = 1;
    writeBE16(&b[222], 5);
    b[226] = 3;
    writeBE16(&b[228], 100);
    writeBE32(&b[236], 123456); // more digits than the edit takes
    return b;
}

int checkedItem(TForm_change_setupValue& d, SetupFieldId f) {
    return d.radios(f)->checkedId();
}

} // namespace

TEST(SetupDialog, ShowsTheMachinesValues) {
    testApplication();
    TForm_change_setupValue d;
    const Block b = machineBlock();
    d.loadBlock(b.data());
    EXPECT_EQ(d.windowTitle(), "Setup Machine Parameter");
    EXPECT_EQ(d.edit(SETUP_H3_RANGE)->text(), "100");
    EXPECT_EQ(d.edit(SETUP_READ_SPEED)->text(), "7.5");
    EXPECT_EQ(d.edit(SETUP_WRITE_SPEED)->text(), "3.0");
    EXPECT_EQ(d.edit(SETUP_BURN_LOOP)->text(), "123456");
    EXPECT_EQ(d.combo(SETUP_STARTUP_MENU)->currentText(), "3.Copy+Compare");
    EXPECT_EQ(d.combo(SETUP_WORKING_MODE)->currentText(), "Slowest Mode");
    EXPECT_EQ(d.combo(SETUP_BURN_TIME)->currentText(), " 1 hour ");
    EXPECT_EQ(d.combo(SETUP_ERROR_LIMIT)->currentIndex(), -1);
    EXPECT_EQ(d.combo(SETUP_ERROR_LIMIT)->count(), 54);
    EXPECT_EQ(d.combo(SETUP_BURN_TIME)->count(), 54);
    EXPECT_EQ(checkedItem(d, SETUP_BUTTON_BEEP), 0);
    EXPECT_EQ(checkedItem(d, SETUP_COPY_AREA), 1);
    EXPECT_EQ(checkedItem(d, SETUP_TOLERANCE), 1);
    auto* beep = qobject_cast<QGroupBox*>(d.control(SETUP_BUTTON_BEEP));
    ASSERT_NE(beep, nullptr);
    EXPECT_EQ(beep->title(), "Button Beep:");
    EXPECT_EQ(beep->objectName(), "RadioGroup1");
    // Enabling: tolerance "100% Same", burn loop mode, auto pattern.
    EXPECT_FALSE(d.edit(SETUP_TOLERANCE_PLUS)->isEnabled());
    EXPECT_FALSE(d.combo(SETUP_BURN_TIME)->isEnabled());
    EXPECT_TRUE(d.edit(SETUP_BURN_LOOP)->isEnabled());
    EXPECT_FALSE(d.edit(SETUP_PATTERN)->isEnabled());
    EXPECT_TRUE(cleanLayout(&d, "setup_dialog", "loaded"));

    // The operator picks "Allow Tolerance", "Burn Time" and "User Defined".
    d.radios(SETUP_TOLERANCE)->button(2)->click();
    d.radios(SETUP_BURNIN_MODE)->button(1)->click();
    d.radios(SETUP_PATTERN_MODE)->button(1)->click();
    EXPECT_TRUE(d.edit(SETUP_TOLERANCE_PLUS)->isEnabled());
    EXPECT_TRUE(d.edit(SETUP_TOLERANCE_MINUS)->isEnabled());
    EXPECT_TRUE(d.combo(SETUP_BURN_TIME)->isEnabled());
    EXPECT_FALSE(d.edit(SETUP_BURN_LOOP)->isEnabled());
    EXPECT_TRUE(d.edit(SETUP_PATTERN)->isEnabled());
    EXPECT_TRUE(cleanLayout(&d, "setup_dialog", "all_enabled"));
}

TEST(SetupDialog, TestShowsStoredValuesAndOkGivesTheBlock) {
    testApplication();
    TForm_change_setupValue d;
    const Block b = machineBlock();
    d.loadBlock(b.data());
    d.edit(SETUP_READ_SPEED)->setText("7.5");
    d.edit(SETUP_H3_RANGE)->setText("300");
    d.edit(SETUP_COMPARE_COUNT)->setText("");
    // 300 % is refused with what the field takes, not wrapped to 44 %.
    d.Button_TEST->click();
    EXPECT_TRUE(d.Label_Problem->isVisibleTo(&d));
    EXPECT_EQ(d.Label_Problem->text(),
              "Media Check Test Range: 300 is out of range (allowed 0 to 100 %).");
    EXPECT_EQ(d.edit(SETUP_H3_RANGE)->text(), "300");
    EXPECT_EQ(d.edit(SETUP_COMPARE_COUNT)->text(), "");
    EXPECT_TRUE(cleanLayout(&d, "setup_dialog", "out_of_range"));
    d.edit(SETUP_H3_RANGE)->setText("30");
    d.Button_TEST->click();
    EXPECT_FALSE(d.Label_Problem->isVisibleTo(&d));
    EXPECT_EQ(d.edit(SETUP_READ_SPEED)->text(), "7.5");
    EXPECT_EQ(d.edit(SETUP_H3_RANGE)->text(), "30");
    EXPECT_EQ(d.edit(SETUP_COMPARE_COUNT)->text(), "0");
    Block kept;
    d.takeBlock(kept.data());
    EXPECT_EQ(kept, b); // TEST changes nothing the machine would get

    // OK: the controls go into the dialog's block.
    d.combo(SETUP_WORKING_MODE)->setCurrentIndex(1); // "Slower Mode"
    d.edit(SETUP_H3_RANGE)->setText("90");
    QTimer::singleShot(0, d.Button_OK, [&] { d.Button_OK->click(); });
    EXPECT_EQ(d.exec(), QDialog::Accepted);
    Block out;
    d.takeBlock(out.data());
    Block expected = b;
    expected[220] = 2;
    expected[65] = 90;
    writeBE16(&expected[156], 0);
    EXPECT_EQ(out, expected); // the rest, error limit and burn loop included, as it came

    // Abort keeps the dialog's block as it was.
    d.loadBlock(b.data());
    d.edit(SETUP_H3_RANGE)->setText("1");
    QTimer::singleShot(0, d.Button_Abort, [&] { d.Button_Abort->click(); });
    EXPECT_EQ(d.exec(), TForm_change_setupValue::Aborted);
    d.takeBlock(out.data());
    EXPECT_EQ(out, b);
}

TEST(SetupDialog, OkWithAValueOutOfRangeKeepsTheDialogOpenAndStoresNothing) {
    testApplication();
    TForm_change_setupValue d;
    const Block b = machineBlock();
    d.loadBlock(b.data());
    d.edit(SETUP_POWER_OFF)->setText("16"); // its label says 0 to 15
    bool stillOpen = false;
    QString said;
    QTimer::singleShot(0, &d, [&] {
        d.Button_OK->click();
        stillOpen = d.isVisible();
        said = d.Label_Problem->text();
        EXPECT_EQ(d.focusWidget(), d.edit(SETUP_POWER_OFF)); // where the operator types again
        Block kept;
        d.takeBlock(kept.data());
        EXPECT_EQ(kept, b);
        d.edit(SETUP_POWER_OFF)->setText("15");
        d.Button_OK->click();
    });
    ASSERT_EQ(d.exec(), QDialog::Accepted);
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(said, "Copy-Compare Power Off: 16 is out of range (allowed 0 to 15 Seconds).");
    Block out;
    d.takeBlock(out.data());
    EXPECT_EQ(out[226], 15);

    // A reused dialog starts without the message.
    d.edit(SETUP_POWER_OFF)->setText("99");
    d.Button_TEST->click();
    ASSERT_TRUE(d.Label_Problem->isVisibleTo(&d));
    d.loadBlock(b.data());
    EXPECT_FALSE(d.Label_Problem->isVisibleTo(&d));
}

TEST(SetupDialog, AReusedDialogShowsNoSelectionForUnknownValues) {
    testApplication();
    TForm_change_setupValue d;
    Block known = machineBlock();
    known[149] = 2;
    known[220] = 3;
    d.loadBlock(known.data());
    EXPECT_EQ(checkedItem(d, SETUP_TOLERANCE), 2);
    EXPECT_EQ(d.combo(SETUP_WORKING_MODE)->currentText(), "Faster Mode");

    // Another machine, with values no item stands for: nothing stays selected
    // from the first, and OK gives the bytes back unchanged.
    Block unknown = machineBlock();
    unknown[149] = 9;
    unknown[220] = 7;
    d.loadBlock(unknown.data());
    EXPECT_EQ(checkedItem(d, SETUP_TOLERANCE), -1);
    EXPECT_EQ(d.combo(SETUP_WORKING_MODE)->currentIndex(), -1);
    Block out{};
    d.storeControls(out.data());
    EXPECT_EQ(out[149], 0);
    EXPECT_EQ(out[220], 0);
    QTimer::singleShot(0, d.Button_OK, [&] { d.Button_OK->click(); });
    ASSERT_EQ(d.exec(), QDialog::Accepted);
    d.takeBlock(out.data());
    EXPECT_EQ(out, unknown);
}
