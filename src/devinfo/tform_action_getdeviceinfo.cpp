#include "devinfo/tform_action_getdeviceinfo.h"

#include <QFileDialog>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <algorithm>

#include "common/fixed_pitch_font.h"
#include "common/window_geometry_qt.h"
#include "protocol/machine_names.h"
#include "protocol/machine_requests.h"

namespace dupmon {

namespace {

QFileDialog* newSaveDialog(QWidget* parent) {
    auto* d = new QFileDialog(parent);
    d->setObjectName("SaveDialog1");
    d->setAcceptMode(QFileDialog::AcceptSave);
    d->setDefaultSuffix("txt");
    d->setNameFilter("Text files (*.txt)");
    // Both files are appended to, never replaced: no question about replacing.
    d->setOption(QFileDialog::DontConfirmOverwrite);
    d->setOption(QFileDialog::DontUseNativeDialog);
    return d;
}

QLineEdit* readOnlyEdit(QWidget* parent, const char* name) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(name);
    e->setReadOnly(true);
    e->setFocusPolicy(Qt::NoFocus);
    return e;
}

QPushButton* button(QWidget* parent, const char* name, const char* text) {
    auto* b = new QPushButton(text, parent);
    b->setObjectName(name);
    b->setMinimumWidth(150);
    return b;
}

// The memo's text: its lines end in "\r\n"; the widget wants "\n".
QString memoText(const std::string& text) {
    QString s = QString::fromLatin1(text.data(), qsizetype(text.size()));
    s.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    return s;
}

} // namespace

TFormAction_GetDeviceInfo::TFormAction_GetDeviceInfo(std::filesystem::path workDir,
                                                     const Clock& clock, UiServices& ui,
                                                     QWidget* parent)
    : QDialog(parent), core_(std::move(workDir), clock, ui) {
    setObjectName("FormAction_GetDeviceInfo");
    setWindowTitle(kDeviceInfoCaption);

    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName("Memo1");
    Memo1->setReadOnly(true);
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setFont(fixedPitchFont(QFontDatabase::systemFont(QFontDatabase::FixedFont)));
    Memo1->setMinimumSize(300, 120);

    Button_selectFile = button(this, "Button_selectFile", "Set Append File");
    Edit_TargetFilename = readOnlyEdit(this, "Edit_TargetFilename");
    Button_setCheck_ID_file = button(this, "Button_setCheck_ID_file", "Set Check ID File");
    Edit_check_ID_filename = readOnlyEdit(this, "Edit_check_ID_filename");
    Edit_ID_Qty = readOnlyEdit(this, "Edit_ID_Qty");
    Edit_ID_Qty->setMaximumWidth(Edit_ID_Qty->fontMetrics().horizontalAdvance("100000 (full)") +
                                 16);
    Button_doGetDeviceInfo = button(this, "Button_doGetDeviceInfo", "Get Device Info.");
    Button_Exit = button(this, "Button_Exit", "Exit");

    SaveDialog1 = newSaveDialog(this);

    auto* files = new QGridLayout;
    files->addWidget(Button_selectFile, 0, 0);
    files->addWidget(Edit_TargetFilename, 0, 1, 1, 2);
    files->addWidget(Button_setCheck_ID_file, 1, 0);
    files->addWidget(Edit_check_ID_filename, 1, 1);
    files->addWidget(Edit_ID_Qty, 1, 2);
    files->setColumnStretch(1, 1);
    auto* actions = new QHBoxLayout;
    actions->addWidget(Button_doGetDeviceInfo);
    actions->addStretch(1);
    actions->addWidget(Button_Exit);
    auto* whole = new QVBoxLayout(this);
    whole->addWidget(Memo1, 1);
    whole->addLayout(files);
    whole->addLayout(actions);
    // Room for a whole line of the widest (USB) form where the screen has it;
    // the memo scrolls sideways otherwise.
    const WindowRect area = freeArea(QGuiApplication::primaryScreen());
    const int lineWidth = Memo1->fontMetrics().horizontalAdvance(QString(124, 'M')) + 60;
    const WindowSize size = sizeWithin({lineWidth, 480}, area, {40, 80});
    resize(size.width, size.height);

    connect(Button_selectFile, &QPushButton::clicked, this, [this] { Button_selectFileClick(); });
    connect(Button_setCheck_ID_file, &QPushButton::clicked, this,
            [this] { Button_select_check_ID_FileClick(); });
    connect(Button_doGetDeviceInfo, &QPushButton::clicked, this,
            [this] { Button_doGetDeviceInfoClick(); });
    connect(Button_Exit, &QPushButton::clicked, this, [this] { close(); });

    // FormCreate: parameter file, then the placement it holds when it fits the screen.
    core_.create(area.width, area.height);
    if (core_.usePlacement()) {
        const DeviceInfoParameters& p = core_.startParameters();
        move(p.left, p.top);
        resize(p.width, p.height);
    }
    refresh();
}

TFormAction_GetDeviceInfo::~TFormAction_GetDeviceInfo() {
    core_.destroy(y(), x(), width(), height());
}

void TFormAction_GetDeviceInfo::showFor(MachineRequests* machine) {
    core_.setMachine(machine);
    setWindowTitle(
        machine ? QString::fromStdString(titleNamingMachine(kDeviceInfoCaption, machine->info()))
                : QString(kDeviceInfoCaption));
    exec();
}

void TFormAction_GetDeviceInfo::refresh() {
    const QString memo = memoText(core_.memo());
    if (Memo1->toPlainText() != memo)
        Memo1->setPlainText(memo);
    Edit_TargetFilename->setText(QString::fromStdString(core_.appendFileName()));
    Edit_check_ID_filename->setText(QString::fromStdString(core_.checkIdFileName()));
    Edit_ID_Qty->setText(QString::fromStdString(core_.idQtyText()));
    for (QWidget* w :
         {static_cast<QWidget*>(Button_setCheck_ID_file),
          static_cast<QWidget*>(Edit_check_ID_filename), static_cast<QWidget*>(Edit_ID_Qty)})
        w->setVisible(core_.checkControlsVisible());
    Button_doGetDeviceInfo->setEnabled(core_.buttonsEnabled());
    Button_Exit->setEnabled(core_.buttonsEnabled());
}

void TFormAction_GetDeviceInfo::showEvent(QShowEvent* event) {
    core_.activate();
    refresh();
    QDialog::showEvent(event);
}

void TFormAction_GetDeviceInfo::done(int result) {
    core_.close();
    QDialog::done(result);
}

bool TFormAction_GetDeviceInfo::runSaveDialog(const std::string& current,
                                              std::filesystem::path& chosen) {
    // A file dialog cannot be emptied of the name typed last: a fresh one,
    // in the folder the operator browsed last.
    const QString folder = SaveDialog1->directory().absolutePath();
    SaveDialog1->deleteLater();
    SaveDialog1 = newSaveDialog(this);
    SaveDialog1->setDirectory(folder);
    if (!current.empty())
        SaveDialog1->selectFile(QString::fromStdString(current));
    if (SaveDialog1->exec() != QDialog::Accepted || SaveDialog1->selectedFiles().isEmpty())
        return false;
    chosen = std::filesystem::path(SaveDialog1->selectedFiles().first().toStdString());
    return true;
}

void TFormAction_GetDeviceInfo::Button_selectFileClick() {
    std::filesystem::path chosen;
    if (runSaveDialog(core_.appendPath(), chosen))
        core_.chooseAppendFile(chosen);
    refresh();
}

void TFormAction_GetDeviceInfo::Button_select_check_ID_FileClick() {
    std::filesystem::path chosen;
    if (runSaveDialog(core_.checkIdPath(), chosen))
        core_.chooseCheckIdFile(chosen);
    refresh();
}

void TFormAction_GetDeviceInfo::Button_doGetDeviceInfoClick() {
    core_.getDeviceInfo();
    refresh();
}

bool TFormAction_GetDeviceInfo::checkSerial(uint32_t serialNo) {
    const bool seen = core_.checkSerial(serialNo);
    Edit_ID_Qty->setText(QString::fromStdString(core_.idQtyText()));
    return seen;
}

void TFormAction_GetDeviceInfo::showResult(const std::string& text) {
    core_.showResult(text);
    refresh();
}

void TFormAction_GetDeviceInfo::showFailure(const std::string& why) {
    core_.showFailure(why);
    refresh();
}

} // namespace dupmon
