// Building the download window, filling its controls from the saved
// parameters, handing them to the flow on Go, and showing what the flow
// reports.
#include "master_usb/tform_download_source.h"

#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "master_usb/tform2.h"

namespace dupmon {

TForm_DownloadSource::TForm_DownloadSource(DriveService& drives, UiServices& ui, const Clock& clock,
                                           std::filesystem::path startupDirectory, TForm2* progress,
                                           QWidget* parent)
    : QDialog(parent), progress_(progress) {
    setObjectName("Form_DownloadSource");
    setWindowTitle(kDownloadSourceCaption);

    Button_selectTargetDirectory = new QPushButton("Select Target Directory", this);
    Button_selectTargetDirectory->setObjectName("Button_selectTargetDirectory");
    Edit_targetDirectory = new QLineEdit(this);
    Edit_targetDirectory->setObjectName("Edit_targetDirectory");
    Edit_targetDirectory->setReadOnly(true);
    Edit_targetDirectory->setMinimumWidth(380);
    Label_job = new QLabel("Select JOB:", this);
    ComboBox_job = new QComboBox(this);
    ComboBox_job->setObjectName("ComboBox_job");
    Label_sourceFormat = new QLabel("Source Format:", this);
    ComboBox_sourceFormat = new QComboBox(this);
    ComboBox_sourceFormat->setObjectName("ComboBox_sourceFormat");
    Label_volumeLabel = new QLabel("Volume Label:", this);
    Edit_volumeLabel = new QLineEdit(this);
    Edit_volumeLabel->setObjectName("Edit_volumeLabel");
    Edit_volumeLabel->setMaxLength(127);
    Button_Run_downloadSource = new QPushButton("Go", this);
    Button_Run_downloadSource->setObjectName("Button_Run_downloadSource");
    Button_Run_downloadSource->setAutoDefault(false);
    Memo_DownloadSource = new QPlainTextEdit(this);
    Memo_DownloadSource->setObjectName("Memo_DownloadSource");
    Memo_DownloadSource->setReadOnly(true);
    Memo_DownloadSource->setMinimumHeight(220);
    Label_waiting = new QLabel(this);
    Label_waiting->setObjectName("Label_waiting");

    auto* grid = new QGridLayout;
    grid->addWidget(Button_selectTargetDirectory, 0, 0);
    grid->addWidget(Edit_targetDirectory, 0, 1, 1, 2);
    grid->addWidget(Label_job, 1, 0);
    grid->addWidget(ComboBox_job, 1, 1);
    grid->addWidget(Label_sourceFormat, 2, 0);
    grid->addWidget(ComboBox_sourceFormat, 2, 1);
    grid->addWidget(Label_volumeLabel, 3, 0);
    grid->addWidget(Edit_volumeLabel, 3, 1);
    grid->addWidget(Button_Run_downloadSource, 1, 2, 3, 1);
    grid->setColumnStretch(1, 1);
    auto* column = new QVBoxLayout(this);
    column->addLayout(grid);
    column->addWidget(Label_waiting);
    column->addWidget(Memo_DownloadSource, 1);

    connect(Button_selectTargetDirectory, &QPushButton::clicked, this,
            [this] { Button_selectTargetDirectoryClick(); });
    connect(Button_Run_downloadSource, &QPushButton::clicked, this,
            [this] { Button_Run_downloadSourceClick(); });

    flow_ = std::make_unique<DownloadFlow>(drives, ui, clock, std::move(startupDirectory));
    flow_->setView(this);
    // A drive operation that ends wakes the flow's loop at once.
    flow_->setWake([this] {
        QMetaObject::invokeMethod(
            this, [] {}, Qt::QueuedConnection);
    });
    if (progress_)
        progress_->setFlow(flow_.get());
    FormCreate();
}

TForm_DownloadSource::~TForm_DownloadSource() {
    if (progress_)
        progress_->setFlow(nullptr);
}

void TForm_DownloadSource::FormCreate() {
    // 1. The lists, first items selected, no label.
    for (const char* job : kDownloadJobs)
        ComboBox_job->addItem(job);
    for (const SourceFormat& f : kSourceFormats)
        ComboBox_sourceFormat->addItem(f.item);
    ComboBox_job->setCurrentIndex(0);
    ComboBox_sourceFormat->setCurrentIndex(0);
    Edit_volumeLabel->clear();
    // 2. to 7. The walker, the drive snapshot and the saved parameters.
    if (!flow_->create())
        return;
    const DownloadParameters& p = flow_->parameters();
    if (p.top && p.left && p.width && p.height) {
        move(*p.left, *p.top);
        resize(*p.width, *p.height);
    }
    if (p.job >= 0 && p.job < ComboBox_job->count())
        ComboBox_job->setCurrentIndex(p.job);
    if (p.format >= 0 && p.format < ComboBox_sourceFormat->count())
        ComboBox_sourceFormat->setCurrentIndex(p.format);
    Edit_volumeLabel->setText(QString::fromStdString(p.label));
    Edit_targetDirectory->setText(QString::fromStdString(p.sourceDirectory));
}

void TForm_DownloadSource::setMachine(MachineRequests* machine,
                                      std::function<void(const std::string&)> debugLog) {
    flow_->setMachine(machine, std::move(debugLog));
}

void TForm_DownloadSource::openFor(MachineRequests* machine,
                                   std::function<void(const std::string&)> debugLog,
                                   const QString& title) {
    if (flow_->running()) {
        show();
        raise();
        activateWindow();
        return;
    }
    setWindowTitle(title);
    setMachine(machine, std::move(debugLog));
    exec();
}

void TForm_DownloadSource::endForExit() {
    if (flow_->running())
        flow_->requestExit();
    // Nor does the window hold the program's end.
    if (isVisible())
        QDialog::reject();
}

void TForm_DownloadSource::Button_selectTargetDirectoryClick() {
    QFileDialog dialog(this, "Select Target Directory", Edit_targetDirectory->text());
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.move(pos() + QPoint(20, 20));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    selectTargetDirectory(dialog.selectedFiles().front());
}

void TForm_DownloadSource::selectTargetDirectory(const QString& folder) {
    QString f = folder;
    while (f.size() > 1 && f.endsWith('/'))
        f.chop(1);
    flow_->parameters().sourceDirectory = f.toStdString();
    Edit_targetDirectory->setText(f);
}

void TForm_DownloadSource::Button_Run_downloadSourceClick() {
    DownloadParameters& p = flow_->parameters();
    p.top = y();
    p.left = x();
    p.width = width();
    p.height = height();
    p.job = ComboBox_job->currentIndex();
    p.format = ComboBox_sourceFormat->currentIndex();
    p.label = Edit_volumeLabel->text().toStdString().substr(0, 127);
    p.sourceDirectory = Edit_targetDirectory->text().toStdString();
    flow_->go();
}

void TForm_DownloadSource::clearMemo() {
    Memo_DownloadSource->clear();
}

void TForm_DownloadSource::addMemoLine(const std::string& line) {
    Memo_DownloadSource->appendPlainText(QString::fromStdString(line));
}

void TForm_DownloadSource::setControlsEnabled(bool on) {
    for (QWidget* w : std::initializer_list<QWidget*>{
             Button_selectTargetDirectory, Edit_targetDirectory, ComboBox_job,
             ComboBox_sourceFormat, Edit_volumeLabel, Button_Run_downloadSource})
        w->setEnabled(on);
}

void TForm_DownloadSource::stopProgressTimer() {
    if (progress_)
        progress_->Timer1.stop();
}

void TForm_DownloadSource::showProgress() {
    if (!progress_)
        return;
    progress_->place(y() + 120, x() + 20);
    progress_->prepare();
    progress_->show();
    progress_->Timer1.start();
}

void TForm_DownloadSource::closeProgress() {
    if (progress_)
        progress_->close();
}

void TForm_DownloadSource::closeWindow() {
    done(QDialog::Accepted);
}

void TForm_DownloadSource::showWaiting(const std::string& text) {
    Label_waiting->setText(QString::fromStdString(text));
}

void TForm_DownloadSource::reject() {
    // Esc or the close box: the window goes at once. A running flow ends in
    // the background (a format is let finish) and names what it left on the
    // stick.
    if (flow_->running())
        flow_->requestClose();
    QDialog::reject();
}

} // namespace dupmon
