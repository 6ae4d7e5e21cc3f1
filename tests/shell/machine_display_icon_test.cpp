// The board's machine pictures as real widgets on the offscreen platform,
// with the pictures the build attaches to this test program.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QSignalSpy>
#include <QTest>
#include <QWidget>
#include <filesystem>

#include "common/text.h"
#include "registry/picture_archive.h"
#include "shell/machine_display_icon.h"
#include "shell/panel_font.h"

using namespace dupmon;

// fontconfig keeps a cache it never frees; under LeakSanitizer that is not
// this program's leak.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace {

QApplication& app() {
    static int argc = 1;
    static char name[] = "machine_display_icon_test";
    static char* argv[] = {name, nullptr};
    // Kept to the end of the process: Qt's own objects (the test mouse) must
    // not outlive it during exit.
    static QApplication* instance = new QApplication(argc, argv);
    return *instance;
}

class DisplayIconTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(store.loadPictures(std::filesystem::read_symlink("/proc/self/exe").string(),
                                     "/nonexistent"),
                  PictureStore::Source::Archive);
        window.resize(600, 350);
        window.setFont(QFont("Courier New", 12));
        window.setAutoFillBackground(true);
        QPalette palette = window.palette();
        palette.setColor(QPalette::Window, QColor(255, 255, 0));
        window.setPalette(palette);
        window.show();
    }
    MachineInfo machine(const char* nick, const char* model) {
        MachineInfo m{};
        m.deviceType = 2;
        m.maxDeviceQty = 40;
        copyField(m.nickName, sizeof m.nickName, nick);
        copyField(m.modelName, sizeof m.modelName, model);
        return m;
    }
    QApplication& application = app(); // before any widget
    PictureStore store;
    QWidget window;
};

TEST_F(DisplayIconTest, TheCornerColourIsSeeThroughAndThePanelIsNot) {
    const int row = pictureRow(machine("", ""));
    ASSERT_EQ(row, 4);
    MACHINE_DISPLAY_ICON icon(&window, 0);
    ASSERT_TRUE(icon.setImages(store.onImage(row), store.offImage(row)));
    icon.moveTo(20, 100);
    icon.reveal();
    EXPECT_TRUE(icon.image()->isVisible());
    EXPECT_TRUE(icon.image()->isEnabled());
    EXPECT_EQ(icon.image()->size(), QSize(130, 100));

    const QImage shown = window.grab().toImage();
    const QImage off =
        QImage::fromData(store.offImage(row).data(), int(store.offImage(row).size()), "BMP");
    EXPECT_EQ(shown.pixelColor(20 + 1, 100 + 1), QColor(255, 255, 0)); // the window shows through
    EXPECT_EQ(shown.pixelColor(20 + 0, 100 + 0), QColor(255, 255, 0));
    EXPECT_EQ(shown.pixelColor(20 + 65, 100 + 50), off.pixelColor(65, 50));
    EXPECT_EQ(shown.pixelColor(20 + 10, 100 + 50), off.pixelColor(10, 50));
}

TEST_F(DisplayIconTest, SwitchesOnAndOffRememberingTheConnection) {
    MACHINE_DISPLAY_ICON icon(&window, 2);
    ASSERT_TRUE(icon.setImages(store.onImage(4), store.offImage(4)));
    icon.moveTo(220, 100);
    icon.reveal();
    EXPECT_FALSE(icon.isOn());
    EXPECT_EQ(icon.connection(), 0);
    const QImage on =
        QImage::fromData(store.onImage(4).data(), int(store.onImage(4).size()), "BMP");

    icon.showOn(3);
    EXPECT_TRUE(icon.isOn());
    EXPECT_EQ(icon.connection(), 3);
    QImage shown = icon.image()->pixmap().toImage();
    EXPECT_EQ(shown.pixelColor(65, 50), on.pixelColor(65, 50));
    EXPECT_EQ(shown.pixelColor(1, 1).alpha(), 0);

    icon.showOff(5);
    EXPECT_FALSE(icon.isOn());
    EXPECT_EQ(icon.connection(), 5);
    shown = icon.image()->pixmap().toImage();
    EXPECT_NE(shown.pixelColor(65, 50), on.pixelColor(65, 50));
}

TEST_F(DisplayIconTest, CaptionIsCentredUnlessWiderThanTheImage) {
    struct Case {
        const char* nick;
        const char* model;
        const char* text;
    } cases[] = {
        {"Left", "UB40", "Left"},
        {"", "UB40", "UB40"},
        {"Duplicator in the back room, second shelf", "UB40",
         "Duplicator in the back room, second shelf"},
    };
    for (const Case& c : cases) {
        MACHINE_DISPLAY_ICON icon(&window, 0);
        ASSERT_TRUE(icon.setImages(store.onImage(4), store.offImage(4)));
        icon.moveTo(20, 100);
        icon.setCaption(machine(c.nick, c.model));
        QLabel* caption = icon.caption();
        // A long name wraps to stay clear of the next picture.
        EXPECT_EQ(caption->text().replace('\n', ' '), c.text);
        EXPECT_LE(caption->width(), MACHINE_DISPLAY_ICON::kCaptionMaxWidth) << c.text;
        EXPECT_EQ(caption->toolTip(), c.text);
        EXPECT_TRUE(caption->isVisible());
        EXPECT_TRUE(caption->isEnabled());
        EXPECT_EQ(caption->y(), 200) << c.text;
        if (caption->width() < 130)
            EXPECT_EQ(caption->x(), 20 + (130 - caption->width()) / 2) << c.text;
        else
            EXPECT_EQ(caption->x(), 20) << c.text;
    }
    // Both branches were taken.
    MACHINE_DISPLAY_ICON narrow(&window, 0), wide(&window, 1);
    narrow.setImages(store.onImage(4), store.offImage(4));
    wide.setImages(store.onImage(4), store.offImage(4));
    narrow.setCaption(machine("Left", ""));
    wide.setCaption(machine(cases[2].nick, ""));
    EXPECT_LT(narrow.caption()->width(), 130);
    EXPECT_GT(narrow.caption()->x(), 0);
    EXPECT_GE(wide.caption()->width(), 130);
    EXPECT_EQ(wide.caption()->x(), 0);
}

TEST_F(DisplayIconTest, ALongNicknameStaysWithinItsPictureColumn) {
    // Fifty characters without a blank, the longest nickname a machine keeps.
    const std::string nick(50, 'W');
    MACHINE_DISPLAY_ICON icon(&window, 0);
    ASSERT_TRUE(icon.setImages(store.onImage(4), store.offImage(4)));
    icon.moveTo(20, 100);
    icon.setCaption(machine(nick.c_str(), "UB40"));
    QLabel* caption = icon.caption();
    EXPECT_LE(caption->width(), MACHINE_DISPLAY_ICON::kCaptionMaxWidth);
    EXPECT_GE(caption->x(), 20);
    // Pictures stand 200 apart: the caption ends before the next one starts, in both directions.
    EXPECT_LT(caption->geometry().right(), 20 + 200);
    EXPECT_LT(caption->geometry().bottom(), 100 + 200);
    EXPECT_LE(caption->text().count('\n'), 2);
    EXPECT_EQ(caption->toolTip().toStdString(), nick);
}

TEST_F(DisplayIconTest, TheStatusDisplayShowsWhatTheMachineDoes) {
    MACHINE_DISPLAY_ICON icon(&window, 0);
    ASSERT_TRUE(icon.setImages(store.onImage(4), store.offImage(4)));
    icon.reveal();
    const QPoint display(PanelDisplay::kLeft + 2,
                         PanelDisplay::kTop + 2); // inside, beside the text
    auto shown = [&] { return icon.image()->pixmap().toImage().pixelColor(display); };
    const QColor off = shown();
    icon.showOn(1);
    const QColor ready = shown();
    EXPECT_GT(ready.green(), 200);
    EXPECT_LT(ready.red(), 150);
    icon.setActivity(MachineActivity::Working);
    const QColor busy = shown();
    EXPECT_GT(busy.red(), 200);
    EXPECT_GT(busy.green(), 150);
    EXPECT_LT(busy.blue(), 100);
    icon.setActivity(MachineActivity::Waiting);
    const QColor waiting = shown();
    EXPECT_GT(waiting.red(), 200);
    EXPECT_LT(waiting.green(), 80);
    EXPECT_FALSE(icon.image()->toolTip().isEmpty());
    // Off, the display is dark whatever the machine last did.
    icon.showOff(1);
    EXPECT_EQ(shown(), off);
    EXPECT_LT(off.green(), 100);
    // Back on, it shows the state it knows.
    icon.showOn(1);
    EXPECT_EQ(shown(), waiting);
    icon.setActivity(MachineActivity::Idle);
    EXPECT_EQ(shown(), ready);
}

TEST_F(DisplayIconTest, AClickReportsThePictureIndexOnceRevealed) {
    MACHINE_DISPLAY_ICON icon(&window, 7);
    ASSERT_TRUE(icon.setImages(store.onImage(11), store.offImage(11)));
    icon.moveTo(20, 100);
    QSignalSpy clicks(&icon, &MACHINE_DISPLAY_ICON::clicked);
    QTest::mouseClick(icon.image(), Qt::LeftButton, {}, QPoint(60, 40));
    EXPECT_EQ(clicks.count(), 0); // hidden and disabled until placed
    icon.reveal();
    QTest::mouseClick(icon.image(), Qt::LeftButton, {}, QPoint(60, 40));
    ASSERT_EQ(clicks.count(), 1);
    EXPECT_EQ(clicks.at(0).at(0).toInt(), 7);
}

TEST_F(DisplayIconTest, APictureThatCannotBeDecodedKeepsItsPlace) {
    MACHINE_DISPLAY_ICON icon(&window, 1);
    EXPECT_FALSE(icon.setImages({'B', 'M', 0, 0}, store.offImage(4)));
    EXPECT_FALSE(icon.setImages({}, {}));
    EXPECT_FALSE(icon.hasImages());
    icon.moveTo(220, 100);
    icon.setCaption(machine("Left", ""));
    icon.reveal();
    icon.showOn(4);
    EXPECT_TRUE(icon.isOn());
    EXPECT_EQ(icon.connection(), 4);
    EXPECT_EQ(icon.image()->size(), QSize(130, 100));
    EXPECT_EQ(icon.caption()->y(), 200);
}

} // namespace
