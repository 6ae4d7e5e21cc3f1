// The Report window: date pickers, Build and Save buttons, and the memo; each
// choice goes to ReportWindowModel.
#include "logdb/tform_report.h"

#include <QCalendarWidget>
#include <QDateEdit>
#include <QEvent>
#include <QFileDialog>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QVBoxLayout>

#include "common/fixed_pitch_font.h"
#include "common/window_geometry_qt.h"

namespace dupmon {

namespace {

QDate qdate(ReportDate d) {
    return QDate(d.year, d.month, d.day);
}

ReportDate reportDate(QDate d) {
    return {static_cast<uint16_t>(d.year()), static_cast<uint16_t>(d.month()),
            static_cast<uint16_t>(d.day())};
}

QDateEdit* datePicker(QWidget* parent, const char* name, QDate today) {
    auto* p = new QDateEdit(today, parent);
    p->setObjectName(name);
    p->setCalendarPopup(true);
    p->setDisplayFormat(QLocale().dateFormat(QLocale::ShortFormat));
    return p;
}

} // namespace

TFormReport::TFormReport(UiServices& ui, const Clock& clock, QWidget* parent)
    : QDialog(parent), ui_(ui), model_(clock) {
    setObjectName("FormReport");
    setWindowTitle(kReportWindowCaption);
    QFont font("Courier New");
    font.setStyleHint(QFont::TypeWriter);
    setFont(fixedPitchFont(font));
    setModal(true);

    // A top panel with the pickers and buttons; the memo fills the rest.
    Panel_top = new QFrame(this);
    Panel_top->setObjectName("Panel_top");
    Panel_top->setFrameStyle(QFrame::Panel | QFrame::Raised);
    auto* top = new QHBoxLayout(Panel_top);
    const QDate today = qdate(model_.today());
    Label_start = new QLabel("Start Date", Panel_top);
    DateTimePicker_start = datePicker(Panel_top, "DateTimePicker_start", today);
    Label_end = new QLabel("End Date", Panel_top);
    DateTimePicker_end = datePicker(Panel_top, "DateTimePicker_end", today);
    // Builds the range shown (as a calendar closing does): what to do next is in sight.
    Button_build = new QPushButton("Build Report", Panel_top);
    Button_build->setObjectName("Button_build");
    Button_build->setAutoDefault(false);
    Button_build->setToolTip("Build the report of the dates from Start Date to End Date");
    Button_saveToFile = new QPushButton("Save to File", Panel_top);
    Button_saveToFile->setObjectName("Button_saveToFile");
    Button_exit = new QPushButton("Exit", Panel_top);
    Button_exit->setObjectName("Button_exit");
    Button_saveToFile->setAutoDefault(false);
    Button_exit->setAutoDefault(false);
    for (QWidget* w :
         {static_cast<QWidget*>(Label_start), static_cast<QWidget*>(DateTimePicker_start),
          static_cast<QWidget*>(Label_end), static_cast<QWidget*>(DateTimePicker_end)})
        top->addWidget(w);
    top->addWidget(Button_build);
    top->addStretch(1);
    top->addWidget(Button_saveToFile);
    top->addWidget(Button_exit);

    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName("Memo1");
    Memo1->setReadOnly(true);
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Panel_top);
    layout->addWidget(Memo1, 1);

    // The save dialog: asks before overwriting, wants an existing folder, ".txt".
    SaveDialog1 = new QFileDialog(this);
    SaveDialog1->setObjectName("SaveDialog1");
    SaveDialog1->setAcceptMode(QFileDialog::AcceptSave);
    SaveDialog1->setFileMode(QFileDialog::AnyFile);
    SaveDialog1->setDefaultSuffix("txt");
    SaveDialog1->setNameFilter("Text files (*.txt)");
    SaveDialog1->setOption(QFileDialog::DontUseNativeDialog, true);
    SaveDialog1->setOption(QFileDialog::DontConfirmOverwrite, false);
    SaveDialog1->setSizeGripEnabled(true);

    connect(Button_saveToFile, &QPushButton::clicked, this, [this] { Button_saveToFileClick(); });
    connect(Button_exit, &QPushButton::clicked, this, [this] { Button_exitClick(); });
    connect(Button_build, &QPushButton::clicked, this, [this] { Button_buildClick(); });
    // A report is built when a picker's calendar closes, not on each date typed.
    startCalendar_ = DateTimePicker_start->calendarWidget()->window();
    endCalendar_ = DateTimePicker_end->calendarWidget()->window();
    startCalendar_->installEventFilter(this);
    endCalendar_->installEventFilter(this);

    // 800 x 600, cut to the screen, centred on it.
    const QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
    const QRect area = s ? s->geometry() : QRect(0, 0, 1024, 768);
    const auto g = ReportWindowModel::initialGeometry(area.width(), area.height());
    resize(g.width, g.height);
    move(area.left() + g.left, area.top() + g.top);
}

void TFormReport::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    keepOnScreen(this);
    // Each showing opens on the report of the dates shown, for the machine
    // it was opened for. A range left illegal by an earlier showing waits
    // for the operator instead of greeting them with a message.
    if (!event->spontaneous() && isLegalReportRange(reportDate(DateTimePicker_start->date()),
                                                    reportDate(DateTimePicker_end->date())))
        buildReport();
}

void TFormReport::setSource(const std::filesystem::path& databasePath, const MachineInfo& info) {
    if (model_.setSource(databasePath, info))
        Memo1->clear(); // never another machine's lines
    setWindowTitle(QString::fromStdString(model_.windowTitle()));
}

bool TFormReport::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Hide) {
        if (watched == startCalendar_)
            DateTimePicker_startCloseUp();
        else if (watched == endCalendar_)
            DateTimePicker_endCloseUp();
    }
    return QDialog::eventFilter(watched, event);
}

void TFormReport::tell(const ReportMessage& message) {
    ui_.messageBox(message.text, message.caption);
}

void TFormReport::buildReport() {
    if (auto message = model_.build(reportDate(DateTimePicker_start->date()),
                                    reportDate(DateTimePicker_end->date()))) {
        tell(*message);
        return;
    }
    Memo1->setPlainText(QString::fromUtf8(memoDisplayText(model_.memo())));
}

void TFormReport::Button_saveToFileClick() {
    // 1. Nothing to save.
    if (auto message = model_.checkSomethingToSave()) {
        tell(*message);
        return;
    }
    // 2. The file; a cancelled dialog stops silently.
    const std::optional<std::filesystem::path> file =
        chooseSaveFile ? chooseSaveFile() : runSaveDialog();
    if (!file)
        return;
    // 3.-8.
    if (auto message = model_.save(*file))
        tell(*message);
}

std::optional<std::filesystem::path> TFormReport::runSaveDialog() {
    if (SaveDialog1->exec() != QDialog::Accepted || SaveDialog1->selectedFiles().isEmpty())
        return std::nullopt;
    return std::filesystem::path(SaveDialog1->selectedFiles().first().toStdString());
}

} // namespace dupmon
