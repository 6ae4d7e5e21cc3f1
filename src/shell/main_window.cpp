#include "shell/main_window.h"

#include <QCloseEvent>
#include <QFont>
#include <QGuiApplication>
#include <QMenuBar>
#include <QScreen>
#include <QTimer>
#include <fstream>
#include <sstream>

#include "common/text.h"
#include "common/version.h"
#include "master_usb/tform2.h"
#include "master_usb/tform_download_source.h"
#include "shell/machine_window_view.h"
#include "shell/picture_archive.h"
#include "shell/window_position.h"

namespace dupmon {

TForm1::TForm1(HidBackend& backend, DeviceWatcher* watcher, const Clock& clock, UiServices& ui,
               std::filesystem::path workDir, std::filesystem::path programFile, QWidget* parent)
    : QMainWindow(parent), workDir_(std::move(workDir)),
      parameterFile_(workDir_ / kMainWindowParameterFile), logWindows_(ui, clock) {
    slots_ = std::make_unique<MachineSlots>(backend, watcher, clock, ui, *this,
                                            ShellPaths::under(workDir_, programFile));
    driver_.attachSlots(slots_.get(), watcher);
    slots_->setWindowFactory([this, &clock, &ui](MACHINE& m, const std::string& title) {
        auto refresh = [this, &m](const MachineInfo& info) { setCaption(m.pictureIndex(), info); };
        auto* w = new TFormMachine(nullptr, refresh, title, m.logDatabasePath(), m.databaseDir(),
                                   m.info(), &m.engine(), ui, clock, workDir_);
        w->setAttribute(Qt::WA_QuitOnClose, false);
        w->openDownloadSource = [this, &m] {
            if (!download_)
                return;
            download_->setEngine(&m.engine(),
                                 [&m](const std::string& line) { m.log(line.c_str()); });
            download_->exec();
        };
        logWindows_.attach(*w, m.info(), m.logDatabasePath(), m.databaseDir());
        return std::make_unique<MachineWindowAdapter>(w);
    });
    slots_->setLogViewerOpener([this](const MachineInfo& entry, const std::string& caption,
                                      const std::filesystem::path& database,
                                      const std::filesystem::path& parameterDir) {
        logWindows_.showModal(entry, caption, database, parameterDir);
    });

    // Position from the parameter file, when it holds one.
    if (auto r = readWindowPosition(parameterFile_)) {
        move(r->left, r->top);
        resize(r->width, r->height);
        positionRestored_ = true;
    }
    for (int k = 0; k < kPictureCount; ++k) {
        pictures_[size_t(k)] = std::make_unique<MACHINE_DISPLAY_ICON>(this, k);
        QObject::connect(pictures_[size_t(k)].get(), &MACHINE_DISPLAY_ICON::clicked, this,
                         [this](int index) { slots_->pictureClick(index); });
    }
    QMenu* system = menuBar()->addMenu("System");
    system->addAction("Exit", this, [this] { Setting1Click(); });
    QFont font("Courier New");
    font.setPixelSize(16);
    setFont(font);
    FormCreate();
}

void TForm1::installDownloadWindow(DriveService& drives, UiServices& ui, const Clock& clock) {
    if (download_)
        return;
    progress_ = std::make_unique<TForm2>();
    download_ =
        std::make_unique<TForm_DownloadSource>(drives, ui, clock, workDir_, progress_.get());
}

TForm1::~TForm1() {
    // FormDestroy: every link closed and every slot cleared, then the timers stop.
    driver_.stopAll();
    slots_->formDestroy();
}

void TForm1::FormCreate() {
    setWindowTitle(
        QString::fromStdString(format("%s v%s %s", kModelString, kProgramVersion, kBuildDate)));
    if (!positionRestored_) {
        const QSize screen = QGuiApplication::primaryScreen()
                                 ? QGuiApplication::primaryScreen()->size()
                                 : QSize(1024, 768);
        const WindowRect r = defaultMainWindowRect(screen.width(), screen.height());
        resize(r.width, r.height);
        move(r.left, r.top);
    }
    std::error_code ec;
    std::filesystem::create_directories(workDir_ / "DATABASE", ec);
    std::filesystem::create_directories(workDir_ / "DEBUG_SESSION", ec);
    driver_.startUp();
}

void TForm1::closeEvent(QCloseEvent* event) {
    FormClose();
    event->accept();
}

void TForm1::FormClose() {
    if (closed_)
        return;
    closed_ = true;
    slots_->formClose();
    std::ofstream out(parameterFile_, std::ios::trunc);
    if (out)
        out << formatWindowPosition({y(), x(), width(), height()});
}

void TForm1::closeMainWindow() {
    // Called from inside a timer: close once the handler has returned.
    QTimer::singleShot(0, this, [this] { close(); });
}

bool TForm1::machineWindowShown(const std::string& machineId) {
    for (int c = 0; c < MachineSlots::kSlotCount; ++c) {
        MACHINE& m = slots_->connection(c);
        if (!m.connected() || fieldText(m.info().machineId, sizeof m.info().machineId) != machineId)
            continue;
        auto* adapter = dynamic_cast<MachineWindowAdapter*>(m.window());
        return adapter && adapter->window() && adapter->window()->isVisible();
    }
    return false;
}

void TForm1::activateFromAnotherStart() {
    if (isMinimized())
        showNormal();
    raise();
    activateWindow();
}

int TForm1::placePicture(const MachineInfo& record) {
    if (picturesPlaced_ >= kPictureCount)
        return -1;
    const int k = picturesPlaced_;
    MACHINE_DISPLAY_ICON& p = *pictures_[size_t(k)];
    const PictureStore& store = slots_->registry().pictures();
    int row = pictureRow(record);
    if (record.deviceType == 15 && !store.hasImages(row)) {
        // The shipped archive has no pictures of its own for this kind: the USB ones fit.
        MachineInfo usb = record;
        usb.deviceType = 2;
        row = pictureRow(usb);
    }
    if (store.hasImages(row))
        p.setImages(store.onImage(row), store.offImage(row));
    p.moveTo(nextPictureX_, nextPictureY_);
    p.setCaption(record);
    nextPictureX_ += 200;
    if (nextPictureX_ + 150 >= width()) {
        nextPictureX_ = 20;
        nextPictureY_ += 200;
    }
    p.reveal();
    ++picturesPlaced_;
    return k;
}

void TForm1::showOn(int k, int connection) {
    if (k >= 0 && k < picturesPlaced_)
        pictures_[size_t(k)]->showOn(connection);
}

void TForm1::showOff(int k, int connection) {
    if (k >= 0 && k < picturesPlaced_)
        pictures_[size_t(k)]->showOff(connection);
}

bool TForm1::isOn(int k) const {
    return k >= 0 && k < picturesPlaced_ && pictures_[size_t(k)]->isOn();
}

int TForm1::pictureConnection(int k) const {
    return k >= 0 && k < picturesPlaced_ ? pictures_[size_t(k)]->connection() : -1;
}

void TForm1::setCaption(int k, const MachineInfo& record) {
    if (k >= 0 && k < picturesPlaced_)
        pictures_[size_t(k)]->setCaption(record);
}

void TForm1::showActivity(int k, MachineActivity activity) {
    if (k >= 0 && k < picturesPlaced_)
        pictures_[size_t(k)]->setActivity(activity);
}

} // namespace dupmon
