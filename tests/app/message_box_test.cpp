// The program's message boxes keep their whole caption in the title bar,
// however short their text.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <string>
#include <vector>

#include "app/qt_ui_services.h"
#include "machine_window/widget_support.h"

using namespace dupmon;

TEST(MessageBox, TheCaptionFitsBesideTheTitleBarButtons) {
    testApplication();
    QtUiServices ui(false);
    struct Case {
        const char* text;
        const char* caption;
    } cases[] = {{"Illegal Date !", "Error"},
                 {"no contents need to be saved !", "ERROR !"},
                 {"DATABASE_CORRUPT", "Message"},
                 {"x", "Can't Execute this function"}};
    for (const Case& c : cases) {
        int width = 0, need = 0;
        whenModal([&](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            ASSERT_NE(box, nullptr);
            EXPECT_EQ(box->windowTitle(), c.caption);
            width = box->width();
            need = box->fontMetrics().horizontalAdvance(c.caption) + kTitleBarButtons;
            box->accept();
        });
        ui.messageBox(c.text, c.caption);
        EXPECT_GE(width, need) << c.caption;
    }
    // The question too.
    int width = 0, need = 0;
    whenModal([&](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        ASSERT_NE(box, nullptr);
        width = box->width();
        need = box->fontMetrics().horizontalAdvance("Duplicator Monitor") + kTitleBarButtons;
        box->reject();
    });
    ui.askYesNo("Close?", "Duplicator Monitor");
    EXPECT_GE(width, need);
}
