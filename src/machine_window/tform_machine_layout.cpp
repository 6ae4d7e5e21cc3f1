// How the machine window is laid out: the function field and job panels,
// the column beside them (log number, save button, master port, image bank),
// the grid of port boxes below, and the sizes all of it takes from the fonts
// the desktop really has.
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScrollArea>
#include <QStatusBar>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "machine_window/tform_machine.h"
#include "machine_window/widget_helpers.h"
#include "protocol/machine_names.h"

namespace dupmon {

void TFormMachine::buildPortMap() {
    layout_ = computePortMap(info_);
    const PortMapLayout& L = layout_;
    // 2. The window holds at most 256 ports.
    if (L.tooManyPorts) {
        ui_.messageBox("Wrong (totalPortQty > MAX_PORT_PER_MACHINE)", "");
        return;
    }
    // 7, 12. Panel and group box, in a view that scrolls when the window is smaller.
    scrollArea = new QScrollArea(this);
    scrollArea->setFrameShape(QFrame::NoFrame);
    content = new QWidget;
    Panel_Main = panel(content, 0, 0, 1, 1);
    Panel_Main->setObjectName("Panel_Main");
    GroupBox_Machine = new QGroupBox(QString::fromStdString(windowTitle_), Panel_Main);
    GroupBox_Machine->setObjectName("GroupBox_Machine");
    GroupBox_Machine->setFont(namedFont("Courier New", 12));

    // 8. Every size comes from the fonts the desktop really has, with the
    // first drawing's sizes as the least: nothing overlaps, no text is cut.
    // The function field and the job panels first, the rest beside them,
    // the port grid below.
    const bool panelKind = L.kind != LayoutKind::Ordinary;
    const int top = std::max(30, groupBoxContentTop(GroupBox_Machine) + 8);
    Edit_Function = edit(GroupBox_Machine, "Edit_Function", "JOB", 10, top, L.jobWidth, L.jobHeight,
                         namedFont("Book Antiqua", L.functionFontSize, true), true);
    setTextColour(Edit_Function, bgr(kBlue));
    {
        int widest = editSizeFor(Edit_Function, "COPY+COMPARE(P. WP)").width();
        for (int code = 0; code < 256; ++code)
            widest = std::max(
                widest,
                editSizeFor(Edit_Function, QString::fromStdString(functionName(code))).width());
        Edit_Function->resize(std::max(L.jobWidth, widest),
                              std::max(L.jobHeight, Edit_Function->minimumSizeHint().height()));
    }
    buildJobPanels();

    // Beside the job panels, one under the other: the log number, the
    // save-screen button and the master port, the image bank.
    const QRect info = Panel_JobInfo->geometry();
    const int besideLeft = info.right() + 1 + 10;
    int besideTop = top;
    int besideRight = info.right() + 1;
    const QFont bookAntiqua12 = namedFont("Book Antiqua", 12);
    Label_Log =
        label(GroupBox_Machine, "Label_Log", "Log:", besideLeft, besideTop, 50, 16, bookAntiqua12);
    Edit_LogNo = edit(GroupBox_Machine, "Edit_LogNo", " ", 0, besideTop, 80, 16,
                      namedFont("Book Antiqua", 16), true);
    setTextColour(Edit_LogNo, bgr(kBlue));
    {
        const QSize number = editSizeFor(Edit_LogNo, "4294967295");
        const int rowHeight = std::max({16, Label_Log->sizeHint().height(), number.height()});
        Label_Log->setGeometry(besideLeft, besideTop, Label_Log->width(), rowHeight);
        Edit_LogNo->setGeometry(Label_Log->geometry().right() + 1 + 10, besideTop,
                                std::max(80, number.width()), rowHeight);
    }
    const bool logKept = menuVisibility(info_).logData;
    Label_Log->setVisible(logKept);
    Edit_LogNo->setVisible(logKept);
    if (logKept) {
        besideTop = Edit_LogNo->geometry().bottom() + 1 + 10;
        besideRight = std::max(besideRight, Edit_LogNo->geometry().right() + 1);
    }
    if (panelKind) {
        // 儲存畫面 ("save screen")
        Button_SaveScreen =
            new QPushButton(QString::fromUtf8("\u5132\u5b58\u756b\u9762"), GroupBox_Machine);
        Button_SaveScreen->setObjectName("Button_SaveScreen");
        Button_SaveScreen->setToolTip("Save a picture of this window (JPEG, in the "
                                      "SavePicture folder of the working folder)");
        Button_SaveScreen->setFont(sizedFont(14));
        setTextColour(Button_SaveScreen, bgr(kRed));
        Button_SaveScreen->setGeometry(
            besideLeft, besideTop, std::max(160, Button_SaveScreen->sizeHint().width()),
            std::max(Edit_Function->height() + 10, Button_SaveScreen->sizeHint().height()));
        connect(Button_SaveScreen, &QPushButton::clicked, this,
                [this] { Button_SaveScreenClick(); });
        besideTop = Button_SaveScreen->geometry().bottom() + 1 + 10;
        besideRight = std::max(besideRight, Button_SaveScreen->geometry().right() + 1);
    }

    // The port boxes take their size from their font; the master port of
    // the panel kinds goes beside the function field, below the button.
    buildPorts();
    if (panelKind && !GroupBox_Port.empty() && GroupBox_Port[0]) {
        GroupBox_Port[0]->move(besideLeft, besideTop);
        besideRight = std::max(besideRight, GroupBox_Port[0]->geometry().right() + 1);
        besideTop = GroupBox_Port[0]->geometry().bottom() + 1;
    }
    if (L.hasImageBank) {
        // Last in the column beside the job panels.
        buildSourceImageBox(besideLeft, besideTop);
        besideRight = std::max(besideRight, GroupBox_SourceImage->geometry().right() + 1);
        besideTop = GroupBox_SourceImage->geometry().bottom() + 1;
    }
    const int headerRight = besideRight;
    const int headerBottom =
        std::max({info.bottom() + 1, Panel_JobTime->geometry().bottom() + 1, besideTop});

    // The grid below, and the sizes of the group box and the panel.
    PortMapMetrics metrics;
    metrics.portWidth = portBoxSize_.width();
    metrics.portHeight = portBoxSize_.height();
    metrics.headerWidth = std::max(headerRight + 10, GroupBox_Machine->sizeHint().width());
    metrics.headerHeight = headerBottom;
    const PortMapGeometry g = L.place(metrics);
    for (int i = 0; i < int(GroupBox_Port.size()); ++i)
        if (GroupBox_Port[size_t(i)] && !L.ports[i].apart)
            GroupBox_Port[size_t(i)]->move(L.portLeft(i, metrics), L.portTop(i, metrics, g));
    alignHeaderWithFirstPort(g.mapWidth - L.portMargin - headerRight);
    GroupBox_Machine->setGeometry(5, 5, g.groupBoxWidth, g.groupBoxHeight);
    Panel_Main->resize(g.panelWidth, g.panelHeight);

    content->resize(Panel_Main->size());
    scrollArea->setWidget(content);
    // The port map, under a notice that shows only once the machine is unplugged.
    auto* central = new QWidget;
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    Label_Unplugged = new QLabel(central);
    Label_Unplugged->setObjectName("Label_Unplugged");
    Label_Unplugged->setWordWrap(true);
    Label_Unplugged->setMargin(6);
    Label_Unplugged->setAutoFillBackground(true);
    setBackground(Label_Unplugged, QColor(255, 236, 150));
    Label_Unplugged->hide();
    column->addWidget(Label_Unplugged);
    Label_Silent = new QLabel(central);
    Label_Silent->setObjectName("Label_Silent");
    Label_Silent->setWordWrap(true);
    Label_Silent->setMargin(6);
    Label_Silent->setAutoFillBackground(true);
    setBackground(Label_Silent, QColor(255, 190, 190));
    Label_Silent->hide();
    column->addWidget(Label_Silent);
    Panel_Question = new QFrame(central);
    Panel_Question->setObjectName("Panel_Question");
    Panel_Question->setFrameStyle(QFrame::StyledPanel | QFrame::Raised);
    setBackground(Panel_Question, QColor(255, 214, 170));
    Label_Question = new QLabel(Panel_Question);
    Label_Question->setObjectName("Label_Question");
    Label_Question->setWordWrap(true);
    Button_QuestionContinue = new QPushButton("Continue", Panel_Question);
    Button_QuestionContinue->setObjectName("Button_QuestionContinue");
    Button_QuestionFinish = new QPushButton("Finish", Panel_Question);
    Button_QuestionFinish->setObjectName("Button_QuestionFinish");
    auto* bar = new QHBoxLayout(Panel_Question);
    bar->addWidget(Label_Question, 1);
    bar->addWidget(Button_QuestionContinue);
    bar->addWidget(Button_QuestionFinish);
    connect(Button_QuestionContinue, &QPushButton::clicked, this, [this] { postAnswer(true); });
    connect(Button_QuestionFinish, &QPushButton::clicked, this, [this] { postAnswer(false); });
    Panel_Question->hide();
    column->addWidget(Panel_Question);
    column->addWidget(scrollArea, 1);
    setCentralWidget(central);

    // 6. The size the window needs, cut to the screen it opens on (the
    // port map scrolls), centred there unless its placement was kept.
    statusBar();
    fitToScreen();

    // 11, 13. Colours; job items follow the controller's version, and the
    // Machine menu waits for the first status block.
    resetColours();
    applyMenuEnabling();
    model_.setReady();
}

void TFormMachine::buildJobPanels() {
    const QRect fn = Edit_Function->geometry();
    const QFont book = namedFont("Book Antiqua", 12);
    const QFont courier = namedFont("Courier New", 12);

    // Rows 30 apart, or as far as the font's fields need.
    Panel_JobInfo = panel(GroupBox_Machine, fn.right() + 1 + 10, fn.top(), 400, 260);
    Panel_JobInfo->setObjectName("Panel_JobInfo");
    QWidget* p = Panel_JobInfo;
    Edit_JobTitle = edit(p, "Edit_JobTitle", "", 0, 0, 250, 20, book, false);
    const int fieldHeight = std::max(20, Edit_JobTitle->minimumSizeHint().height());
    const int rowHeight = std::max({16, QFontMetrics(book).height(), fieldHeight});
    const int pitch = std::max(30, rowHeight + 4);
    auto row = [&](int n) { return 10 + n * pitch; };
    QLabel* title = label(p, "Label_JobTitle", "JOB TITLE:", 10, row(0), 100, rowHeight, book);
    Edit_JobTitle->setGeometry(title->geometry().right() + 1 + 10, row(0), 250, fieldHeight);
    setTextColour(Edit_JobTitle, bgr(kBlue));
    Edit_JobTitle->installEventFilter(this);
    label(p, "Label_MediaSize", "MEDIA SIZE:", 10, row(1), 300, rowHeight, book);
    label(p, "Label_DataSize", "DATA SIZE:", 10, row(2), 300, rowHeight, book);
    // The quantity field sits in the blanks of its label, between "TOTAL:" and "PCS".
    const QString totalText = "TOTAL:                 PCS";
    QLabel* total = label(p, "Label_Total", totalText, 10, row(3), 0, rowHeight, book);
    const int blanksFrom = textWidth(book, "TOTAL: ");
    const int blanksTo = textWidth(book, "TOTAL:                ");
    Edit_Total = edit(total, "Edit_Total", "", blanksFrom, (rowHeight - fieldHeight) / 2,
                      std::max(50, blanksTo - blanksFrom), fieldHeight, book, false);
    total->resize(std::max(total->width(), Edit_Total->geometry().right() + 1), rowHeight);
    setTextColour(Edit_Total, bgr(kBlue));
    connect(Edit_Total, &QLineEdit::textChanged, this,
            [this](const QString& t) { board_.setTotalText(t.toStdString()); });
    Label_Remaining = label(p, "Label_Remaining", "(0)", total->geometry().right() + 1 + 10, row(3),
                            100, rowHeight, book);
    setTextColour(Label_Remaining, bgr(kBlue));
    Label_Pass = label(p, "Label_Pass", "PASS:", 10, row(4), 100, rowHeight, book);
    Label_Fail = label(p, "Label_Fail", "FAIL:", 10, row(5), 100, rowHeight, book);
    Label_FailureRate =
        label(p, "Label_FailureRate", "FAILURE RATE:", 10, row(6), 100, rowHeight, book);
    Label_Yield = label(p, "Label_Yield", "YIELD:", 10, row(7), 100, rowHeight, book);
    // Wide enough for what the job's counts write into the labels later.
    int infoWidth = std::max({400, Edit_JobTitle->geometry().right() + 1 + 10,
                              Label_Remaining->x() + textWidth(book, "(999999)") + 10,
                              10 + textWidth(book, "FAILURE RATE: 100.0%") + 10,
                              10 + textWidth(book, "PASS:  4294967295 PCS") + 10});
    for (QObject* o : p->children())
        if (auto* w = qobject_cast<QWidget*>(o))
            infoWidth = std::max(infoWidth, w->geometry().right() + 1 + 10);
    const int infoHeight = std::max(260, row(8));

    // Under the function field, as wide, down to the bottom of the other panel.
    const int timeTop = fn.bottom() + 1 + 6;
    Panel_JobTime = panel(GroupBox_Machine, fn.left(), timeTop, fn.width(), 10);
    Panel_JobTime->setObjectName("Panel_JobTime");
    p = Panel_JobTime;
    label(p, "Label_JobStart", "JOB START:", 10, row(0), 100, rowHeight, courier);
    label(p, "Label_JobEnd", "JOB END:", 10, row(1), 100, rowHeight, courier);
    label(p, "Label_TotalTime", "TOTAL TIME:", 10, row(2), 100, rowHeight, courier);
    label(p, "Label_TimePerCopy", "TIME PER COPY:", 10, row(3), 100, rowHeight, courier);
    QLabel* op = label(p, "Label_Operator", "OPERATOR:", 10, row(4), 100, rowHeight, book);
    Edit_Operator = edit(p, "Edit_Operator", "", op->geometry().right() + 1 + 10, row(4), 250,
                         fieldHeight, book, false);
    setTextColour(Edit_Operator, bgr(kBlue));
    int timeWidth = fn.width();
    for (QObject* o : p->children())
        if (auto* w = qobject_cast<QWidget*>(o))
            timeWidth = std::max(timeWidth, w->geometry().right() + 1 + 10);
    // The function field and this panel share their width; both panels end on one line.
    Edit_Function->resize(timeWidth, fn.height());
    const int bottom = std::max(fn.top() + infoHeight, timeTop + row(5));
    Panel_JobTime->setGeometry(fn.left(), timeTop, timeWidth, bottom - timeTop);
    Panel_JobInfo->setGeometry(fn.left() + timeWidth + 10, fn.top(), infoWidth, bottom - fn.top());
}

void TFormMachine::buildSourceImageBox(int left, int top) {
    GroupBox_SourceImage = new QGroupBox("Source Image", GroupBox_Machine);
    GroupBox_SourceImage->setObjectName("GroupBox_SourceImage");
    GroupBox_SourceImage->setFont(sizedFont(12));
    setBackground(GroupBox_SourceImage, bgr(kCream));

    QWidget* box = GroupBox_SourceImage;
    const QFont courier = namedFont("Courier New", 12);
    const int rowHeight = std::max(16, QFontMetrics(courier).height());
    const int first = std::max(20, groupBoxContentTop(GroupBox_SourceImage) + 2);
    // Wide enough for the figures written into them later.
    const int labelWidth = std::max(200, textWidth(courier, "Exist Image Qty: 4294967295") + 4);
    Label_FreeSpace =
        label(box, "Label_FreeSpace", "Free Space:", 10, first, labelWidth, rowHeight, courier);
    Label_ImageQty = label(box, "Label_ImageQty", "Exist Image Qty:", 10, first + rowHeight + 4,
                           labelWidth, rowHeight, courier);

    StringGrid_Images = new QTableWidget(4, 4, box);
    StringGrid_Images->setObjectName("StringGrid_Images");
    StringGrid_Images->setFont(sizedFont(12));
    StringGrid_Images->setHorizontalHeaderLabels({"Name", "Capacity", "Data Size", "Last Addr"});
    StringGrid_Images->verticalHeader()->setVisible(false); // no fixed column
    const int gridRow = std::max(20, StringGrid_Images->fontMetrics().height() + 4);
    StringGrid_Images->verticalHeader()->setDefaultSectionSize(gridRow);
    StringGrid_Images->horizontalHeader()->setDefaultSectionSize(100);
    StringGrid_Images->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    StringGrid_Images->setShowGrid(true);
    StringGrid_Images->setFocusPolicy(Qt::NoFocus);
    // The heading and five rows, as the first drawing showed.
    const int frame = 2 * StringGrid_Images->frameWidth();
    const int gridTop = Label_ImageQty->geometry().bottom() + 1 + 4;
    const int gridWidth = std::max(450, 4 * 100 + frame + 2);
    const int gridHeight = std::max(
        130, StringGrid_Images->horizontalHeader()->sizeHint().height() + 4 * gridRow + frame + 2);
    StringGrid_Images->setGeometry(10, gridTop, gridWidth, gridHeight);

    Button_AddImage = new QPushButton("Add Image", box);
    Button_DeleteImage = new QPushButton("Delete Image", box);
    Button_RenameImage = new QPushButton("Rename Image", box);
    int buttonWidth = 150, buttonHeight = 40;
    for (QPushButton* b : {Button_AddImage, Button_DeleteImage, Button_RenameImage}) {
        b->setFont(sizedFont(12));
        buttonWidth = std::max(buttonWidth, b->sizeHint().width());
        buttonHeight = std::max(buttonHeight, b->sizeHint().height());
    }
    const int buttonLeft = std::max(StringGrid_Images->geometry().right() + 1 + 10,
                                    Label_ImageQty->geometry().right() + 1 + 10);
    int y = first;
    for (QPushButton* b : {Button_AddImage, Button_DeleteImage, Button_RenameImage}) {
        b->setGeometry(buttonLeft, y, buttonWidth, buttonHeight);
        y += buttonHeight + 5;
    }
    connect(Button_AddImage, &QPushButton::clicked, this, [this] { Button_AddImageClick(); });
    connect(Button_DeleteImage, &QPushButton::clicked, this, [this] { Button_DeleteImageClick(); });
    connect(Button_RenameImage, &QPushButton::clicked, this, [this] { Button_RenameImageClick(); });
    const int width = std::max(500, buttonLeft + buttonWidth + 10);
    const int height = std::max({200, StringGrid_Images->geometry().bottom() + 1 + 10, y + 5});
    GroupBox_SourceImage->setGeometry(left, top, width, height);
}

void TFormMachine::buildPorts() {
    const PortMapLayout& L = layout_;
    GroupBox_Port.assign(size_t(L.portCount), nullptr);
    Edit_PortLine1.assign(size_t(L.portCount), nullptr);
    Edit_PortLine2.assign(size_t(L.portCount), nullptr);
    // The form's own font: the status lines are laid out in fixed-width columns.
    const QFont font = namedFont("Courier New", L.portFontSize);
    int lineTop = L.lineTop, lineWidth = L.lineWidth, lineHeight = L.lineHeight;
    for (int i = 0; i < L.portCount; ++i) {
        if (!L.ports[i].created)
            continue;
        auto* box = new QGroupBox(QString::fromStdString(portCaption(i, L.kind)), GroupBox_Machine);
        box->setFont(font);
        auto* line1 = edit(box, "Edit_PortLine1", " ", 0, 0, 1, 1, font, true);
        auto* line2 = edit(box, "Edit_PortLine2", " ", 0, 0, 1, 1, font, true);
        line1->setTextMargins(0, 0, 0, 0);
        line2->setTextMargins(0, 0, 0, 0);
        if (!portBoxSize_.isValid()) {
            // Every box alike: room under the caption "#256" for two lines of
            // the longest usual status ("Size NotEnough", "Ready  7450M").
            QGroupBox probe("#256", GroupBox_Machine);
            probe.setFont(font);
            lineTop = std::max(L.lineTop, groupBoxContentTop(&probe));
            const QSize need = editSizeFor(line1, QString(15, '0'));
            lineWidth = std::max(L.lineWidth, need.width());
            lineHeight = std::max(L.lineHeight, need.height());
            portBoxSize_ = QSize(std::max(L.portWidth, L.lineLeft + lineWidth + L.lineLeft),
                                 std::max(L.portHeight, lineTop + 2 * lineHeight + 3));
        }
        box->resize(portBoxSize_);
        line1->setGeometry(L.lineLeft, lineTop, lineWidth, lineHeight);
        line2->setGeometry(L.lineLeft, lineTop + lineHeight, lineWidth, lineHeight);
        GroupBox_Port[size_t(i)] = box;
        Edit_PortLine1[size_t(i)] = line1;
        Edit_PortLine2[size_t(i)] = line2;
    }
}

void TFormMachine::resetColours() {
    setBackground(Panel_Main, bgr(kSilver));
    setBackground(GroupBox_Machine, bgr(kSilver));
    setBase(Edit_Function, systemWindowColour());
    for (size_t i = 0; i < GroupBox_Port.size(); ++i) {
        if (!GroupBox_Port[i])
            continue;
        setBackground(GroupBox_Port[i], bgr(kSilver));
        setBase(Edit_PortLine1[i], systemWindowColour());
        setBase(Edit_PortLine2[i], systemWindowColour());
    }
}

void TFormMachine::alignHeaderWithFirstPort(int by) {
    if (layout_.kind != LayoutKind::Kind1)
        return;
    // The machine's name stays in view with the header.
    GroupBox_Machine->setAlignment(Qt::AlignRight);
    if (by <= 0)
        return;
    for (QWidget* w : {static_cast<QWidget*>(Edit_Function), static_cast<QWidget*>(Panel_JobInfo),
                       static_cast<QWidget*>(Panel_JobTime), static_cast<QWidget*>(Label_Log),
                       static_cast<QWidget*>(Edit_LogNo), static_cast<QWidget*>(Button_SaveScreen),
                       static_cast<QWidget*>(GroupBox_SourceImage),
                       static_cast<QWidget*>(GroupBox_Port.empty() ? nullptr : GroupBox_Port[0])})
        if (w)
            w->move(w->x() + by, w->y());
}

} // namespace dupmon
