// The window geometry checker of the widget tests finds each kind of fault
// it is meant to find, and passes a window that has none.
#include <gtest/gtest.h>

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QVBoxLayout>
#include <functional>
#include <memory>

#include "machine_window/widget_support.h"
#include "support/layout_check.h"

using namespace dupmon;

namespace {

bool mentions(const std::vector<std::string>& problems, const std::string& what,
              const std::string& name) {
    for (const std::string& p : problems)
        if (p.find(what) != std::string::npos && p.find(name) != std::string::npos)
            return true;
    return false;
}

std::string joined(const std::vector<std::string>& problems) {
    std::string s;
    for (const std::string& p : problems)
        s += p + "\n";
    return s;
}

QLabel* namedLabel(QWidget* parent, const char* name, const char* text) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(name);
    return l;
}

struct Case {
    const char* title;
    std::function<void(QWidget*)> build; // on a 400 x 300 window
    const char* expected;                // part of the problem text; empty: no problem
    const char* control;                 // the control it names
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.title;
}

class LayoutCheck : public ::testing::TestWithParam<Case> {};

TEST_P(LayoutCheck, FindsWhatIsWrongAndOnlyThat) {
    testApplication();
    auto window = std::make_unique<QWidget>();
    window->resize(400, 300);
    GetParam().build(window.get());
    const std::vector<std::string> problems = layoutProblems(window.get());
    if (std::string(GetParam().expected).empty()) {
        EXPECT_TRUE(problems.empty()) << joined(problems);
    } else {
        EXPECT_TRUE(mentions(problems, GetParam().expected, GetParam().control))
            << "found instead:\n"
            << joined(problems);
    }
}

const Case kCases[] = {
    {"clean",
     [](QWidget* w) {
         auto* l = namedLabel(w, "Label_A", "JOB TITLE:");
         l->move(10, 10);
         l->adjustSize();
         auto* b = new QPushButton("Continue", w);
         b->setObjectName("Button_B");
         b->setGeometry(10, 60, 120, 36);
     },
     "", ""},
    {"overlapping labels",
     [](QWidget* w) {
         namedLabel(w, "Label_A", "JOB TITLE:")->setGeometry(10, 10, 120, 30);
         namedLabel(w, "Label_B", "Log:")->setGeometry(60, 20, 60, 30);
     },
     "overlaps", "Label_A"},
    {"a hidden control is not in the way",
     [](QWidget* w) {
         namedLabel(w, "Label_A", "JOB TITLE:")->setGeometry(10, 10, 120, 30);
         auto* hidden = namedLabel(w, "Label_B", "Log:");
         hidden->setGeometry(60, 20, 60, 30);
         hidden->hide();
     },
     "", ""},
    {"a control past the window's edge",
     [](QWidget* w) { namedLabel(w, "Label_Far", "FAIL:")->setGeometry(360, 10, 100, 30); },
     "outside the visible area", "Label_Far"},
    {"a control over its group box's title",
     [](QWidget* w) {
         auto* box = new QGroupBox("#01", w);
         box->setObjectName("GroupBox_Port");
         box->setGeometry(10, 10, 160, 80);
         auto* e = new QLineEdit(" ", box);
         e->setObjectName("Edit_Line");
         e->setReadOnly(true);
         e->setGeometry(2, 1, 150, e->sizeHint().height());
     },
     "outside the visible area", "Edit_Line"},
    {"a label too narrow for its text",
     [](QWidget* w) {
         namedLabel(w, "Label_Cut", "TIME PER COPY: 00:00:00")->setGeometry(10, 10, 40, 30);
     },
     "needs", "Label_Cut"},
    {"a read-only field too low for its font",
     [](QWidget* w) {
         auto* e = new QLineEdit("Ready   7450M", w);
         e->setObjectName("Edit_Low");
         e->setReadOnly(true);
         e->setGeometry(10, 10, 300, 8);
     },
     "needs", "Edit_Low"},
    {"a group box title wider than the box",
     [](QWidget* w) {
         auto* box = new QGroupBox("A machine with a very long nickname indeed", w);
         box->setObjectName("GroupBox_Narrow");
         box->setGeometry(10, 10, 60, 60);
     },
     "title needs", "GroupBox_Narrow"},
    {"large content in a scroll area is fine",
     [](QWidget* w) {
         auto* area = new QScrollArea(w);
         area->setGeometry(0, 0, 400, 300);
         auto* content = new QWidget;
         content->resize(1200, 900);
         namedLabel(content, "Label_Deep", "#121")->setGeometry(1100, 850, 60, 30);
         area->setWidget(content);
     },
     "", ""},
    {"content cut off where the scroll area does not scroll",
     [](QWidget* w) {
         auto* area = new QScrollArea(w);
         area->setObjectName("Area");
         area->setGeometry(0, 0, 400, 300);
         area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
         auto* content = new QWidget;
         content->setObjectName("Content");
         content->resize(1200, 200);
         area->setWidget(content);
     },
     "outside the visible area", "Content"},
    {"a deliberate overlay marked as such",
     [](QWidget* w) {
         namedLabel(w, "Label_A", "JOB TITLE:")->setGeometry(10, 10, 120, 30);
         auto* badge = namedLabel(w, "Badge", "!");
         badge->setGeometry(100, 10, 20, 20);
         badge->setProperty("layoutCheckIgnore", true);
     },
     "", ""},
};

INSTANTIATE_TEST_SUITE_P(Faults, LayoutCheck, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             std::string name;
                             for (const char* c = info.param.title; *c; ++c)
                                 name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             return name;
                         });

TEST(LayoutCheckWindow, AWindowLargerThanItsScreenIsReported) {
    testApplication();
    QWidget window;
    const QRect avail = window.screen()->availableGeometry();
    window.setGeometry(avail.x(), avail.y(), avail.width() + 50, 100);
    namedLabel(&window, "Label_A", "YIELD:")->setGeometry(10, 10, 100, 30);
    EXPECT_TRUE(mentions(layoutProblems(&window), "does not fit the screen", "QWidget"));
}

TEST(LayoutCheckWindow, MenusMustBeReachableFromTheKeyboard) {
    testApplication();
    QMainWindow window;
    window.resize(300, 200);
    window.setCentralWidget(new QLabel("PASS:"));
    QMenu* machine = window.menuBar()->addMenu("&Machine");
    machine->addAction("Change &Nickname");
    machine->addAction("Setup Machine Parameter"); // no letter
    QMenu* action = window.menuBar()->addMenu("&Action");
    action->addAction("&Copy");
    action->addAction("&Compare"); // the same letter as Copy
    QAction* hidden = action->addAction("Capacity Check");
    hidden->setVisible(false); // hidden items are not reached anyway
    const std::vector<std::string> problems = layoutProblems(&window);
    EXPECT_TRUE(mentions(problems, "no underlined letter", "Setup Machine Parameter"))
        << joined(problems);
    EXPECT_TRUE(mentions(problems, "share their underlined letter", "&Compare"))
        << joined(problems);
    EXPECT_FALSE(mentions(problems, "", "Capacity Check")) << joined(problems);
    EXPECT_EQ(problems.size(), 2u) << joined(problems);
}

TEST(LayoutCheckWindow, AnEmptyWindowIsNotPassedUnchecked) {
    testApplication();
    QWidget window;
    window.resize(200, 100);
    EXPECT_TRUE(mentions(layoutProblems(&window), "nothing visible", "QWidget"));
}

TEST(LayoutCheckWindow, WritesThePictureWhereTheTestSays) {
    testApplication();
    QWidget window;
    window.resize(200, 100);
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(new QLabel("PASS:"));
    const std::filesystem::path file = writeScreenshot(&window, "layout_check", "picture");
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(file, screenshotDir() / "layout_check" / "picture.png");
    QImage image(QString::fromStdString(file.string()));
    EXPECT_EQ(image.size(), window.size() * window.devicePixelRatio());
}

} // namespace

TEST(LayoutCheckWindow, AControlIsWholeInViewOnlyWhenNothingCutsIt) {
    testApplication();
    QWidget window;
    window.resize(400, 300);
    auto* area = new QScrollArea(&window);
    area->setGeometry(0, 0, 400, 300);
    auto* content = new QWidget;
    content->resize(1200, 900);
    QLabel* near = namedLabel(content, "Label_Near", "#01");
    near->setGeometry(10, 10, 60, 30);
    QLabel* far = namedLabel(content, "Label_Far", "#121");
    far->setGeometry(1100, 850, 60, 30);
    QLabel* edge = namedLabel(content, "Label_Edge", "#02");
    edge->setGeometry(370, 10, 60, 30); // half under the view's right edge
    area->setWidget(content);
    window.show();
    QApplication::processEvents();
    EXPECT_TRUE(wholeInView(near));
    EXPECT_FALSE(wholeInView(far));
    EXPECT_FALSE(wholeInView(edge));
    area->ensureWidgetVisible(far, 0, 0);
    EXPECT_TRUE(wholeInView(far));
    EXPECT_FALSE(wholeInView(near));
    far->hide();
    EXPECT_FALSE(wholeInView(far));
}
