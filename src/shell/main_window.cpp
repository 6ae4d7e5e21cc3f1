#include "shell/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QFont>
#include <QLabel>
#include <QMenuBar>
#include <QScreen>
#include <QScrollArea>
#include <QStatusBar>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <sstream>

#include "common/fixed_pitch_font.h"
#include "common/text.h"
#include "common/version.h"
#include "common/window_geometry_qt.h"
#include "devinfo/tform_action_getdeviceinfo.h"
#include "machine_window/window_texts.h"
#include "master_usb/tform2.h"
#include "master_usb/tform_download_source.h"
#include "protocol/machine_names.h"
#include "settings/tform_change_setupvalue.h"
#include "shell/machine_window_view.h"
#include "shell/panel_picture.h"
#include "shell/picture_archive.h"
#include "shell/program_info.h"
#include "shell/text_windows.h"
#include "shell/window_position.h"

namespace dupmon {

TForm1::TForm1(HidBackend& backend, DeviceWatcher* watcher, const Clock& clock, UiServices& ui,
               std::filesystem::path workDir, std::filesystem::path programFile, QWidget* parent)
    : QMainWindow(parent), ui_(ui), workDir_(std::move(workDir)),
      parameterFile_(workDir_ / kMainWindowParameterFile), logWindows_(ui, clock) {
    slots_ = std::make_unique<MachineSlots>(backend, watcher, clock, ui, *this,
                                            ShellPaths::under(workDir_, programFile));
    driver_.attachSlots(slots_.get(), watcher);
    setupDialog_ = std::make_unique<TForm_change_setupValue>();
    getDeviceInfo_ = std::make_unique<TFormAction_GetDeviceInfo>(workDir_, clock, ui);
    slots_->setWindowFactory([this, &clock, &ui](MACHINE& m, const std::string& title) {
        auto refresh = [this, &m](const MachineInfo& info) { setCaption(m.pictureIndex(), info); };
        auto* w = new TFormMachine(nullptr, refresh, title, m.logDatabasePath(), m.databaseDir(),
                                   m.info(), &m.engine(), ui, clock, workDir_);
        w->setAttribute(Qt::WA_QuitOnClose, false);
        // A machine plugged in again takes over the window it left on screen:
        // the same place, one window.
        if (TFormMachine* stale =
                unpluggedWindowOf(fieldText(m.info().machineId, sizeof m.info().machineId))) {
            w->setGeometry(stale->geometry());
            w->takeScrollFrom(*stale);
            stale->close();
        } else if (!w->placementLoaded()) {
            w->placeAsNewWindow(newWindows_++);
        }
        // Without a download window the item says that the flow is not available.
        if (download_)
            w->openDownloadSource = [this, &m] {
                download_->openFor(
                    &m.requests(), [&m](const std::string& line) { m.log(line.c_str()); },
                    QString::fromStdString(titleNamingMachine(kDownloadSourceCaption, m.info())));
            };
        logWindows_.attach(*w, m.info(), m.logDatabasePath(), m.databaseDir());
        w->setupDialog = setupDialog_.get();
        w->deviceInfoSink = getDeviceInfo_.get();
        w->openGetInfo = [this, &m] { getDeviceInfo_->showFor(&m.requests()); };
        w->noteEvent = [this, &m](const std::string& what) {
            slots_->noteEvent(m.connectionIndex(), what);
        };
        if (serviceItems_) {
            w->Item_ChangeMachineClock->setVisible(true);
            w->Item_SetupMachineParameter->setVisible(true);
        }
        auto adapter = std::make_unique<MachineWindowAdapter>(w);
        // Unplugged while on screen, the window stays and says so, until closed.
        adapter->keepWhenUnplugged = [this, &m](TFormMachine* window) {
            if (!keepUnplugged_)
                return false;
            window->showUnplugged(m.engine().linkLost());
            window->setAttribute(Qt::WA_DeleteOnClose);
            unplugged_.emplace_back(window);
            return true;
        };
        return adapter;
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
    // The board: the pictures at the places the board gives them, in an area
    // that scrolls when they are more than the window shows.
    boardArea_ = new QScrollArea(this);
    boardArea_->setObjectName("boardArea");
    boardArea_->setFrameShape(QFrame::NoFrame);
    board_ = new QWidget;
    board_->setObjectName("board");
    boardArea_->setWidgetResizable(true);
    boardArea_->setWidget(board_);
    setCentralWidget(boardArea_);
    noMachine_ = new QLabel(board_);
    noMachine_->setObjectName("Label_NoMachine");
    noMachine_->setText("No duplicator is attached. Plug a duplicator's USB cable into this PC and "
                        "switch the machine on: its picture appears here. To try the program "
                        "without one, start it with --demo.");
    noMachine_->setWordWrap(true);
    noMachine_->setFont(QApplication::font());
    noMachine_->hide();
    for (int k = 0; k < kPictureCount; ++k) {
        pictures_[size_t(k)] = std::make_unique<MACHINE_DISPLAY_ICON>(board_, k);
        QObject::connect(pictures_[size_t(k)].get(), &MACHINE_DISPLAY_ICON::clicked, this,
                         [this](int index) { slots_->pictureClick(index); });
    }
    QMenu* system = menuBar()->addMenu("&System");
    Item_About = system->addAction("&About", this, [this] { AboutClick(); });
    Item_Help = system->addAction("&Help", this, [this] { HelpClick(); });
    Item_Help->setShortcut(QKeySequence::HelpContents);
    system->addSeparator();
    system->addAction("E&xit", this, [this] { Setting1Click(); });
    QFont font("Courier New");
    font.setStyleHint(QFont::TypeWriter);
    font.setPixelSize(16);
    setFont(fixedPitchFont(font));
    FormCreate();
}

void TForm1::AboutClick() {
    if (!about_) {
        about_ = new TextWindow(QString("About ") + kProgramName, this);
        about_->setObjectName("AboutWindow");
    }
    about_->setText(aboutText(workDir_));
    about_->show();
    about_->raise();
    about_->activateWindow();
}

void TForm1::HelpClick() {
    if (!help_)
        help_ = new HelpWindow(this);
    const std::filesystem::path& program = slots_->paths().programFile;
    help_->showManual(manualCandidates(program), readmeCandidates(program));
}

void TForm1::installDownloadWindow(DriveService& drives, UiServices& ui, const Clock& clock) {
    if (download_)
        return;
    progress_ = std::make_unique<TForm2>();
    download_ =
        std::make_unique<TForm_DownloadSource>(drives, ui, clock, workDir_, progress_.get());
}

TForm1::~TForm1() {
    keepUnplugged_ = false;
    // FormDestroy: every link closed and every slot cleared, then the timers stop.
    driver_.stopAll();
    slots_->formDestroy();
    for (const QPointer<TFormMachine>& w : unplugged_)
        delete w.data();
}

void TForm1::FormCreate() {
    setWindowTitle(
        QString::fromStdString(format("%s v%s %s", kModelString, kProgramVersion, kBuildDate)));
    const WindowRect free = freeArea(QApplication::primaryScreen());
    // A position kept from a larger or another screen still opens on this one.
    const WindowRect r = positionRestored_ ? fitToScreen({y(), x(), width(), height()}, free)
                                           : centredInArea(kMainWindowSize, free);
    resize(r.width, r.height);
    move(r.left, r.top);
    std::error_code ec;
    std::filesystem::create_directories(workDir_ / "DATABASE", ec);
    std::filesystem::create_directories(workDir_ / "DEBUG_SESSION", ec);
    driver_.startUp();
}

void TForm1::closeEvent(QCloseEvent* event) {
    // Closing stops following the machines: a running job goes on, but its
    // end is not seen until the program runs again. Ask first.
    if (!closed_ && !closeAsked_) {
        const std::string busy = busyMachines();
        if (!busy.empty() &&
            !ui_.askYesNo(
                "A job is running on " + busy +
                    ".\n\nClose the program anyway? The machines go on with their jobs; "
                    "one that waits for Continue or Finish is then answered at its panel. "
                    "Their job logs are fetched the next time the program runs.",
                kProgramName)) {
            event->ignore();
            return;
        }
    }
    closeAsked_ = false;
    FormClose();
    event->accept();
}

void TForm1::closeWithoutAsking() {
    closeAsked_ = true;
    close();
}

std::string TForm1::busyMachines() {
    std::string names;
    for (int c = 0; c < MachineSlots::kSlotCount; ++c) {
        MACHINE& m = slots_->connection(c);
        const MachineStatus& s = m.engine().status();
        if (!m.connected() ||
            machineActivity(s.machineState, s.machineSubState) == MachineActivity::Idle)
            continue;
        if (!names.empty())
            names += ", ";
        names += machineDisplayName(m.info()) + " [" +
                 std::string(fieldText(m.info().machineId, sizeof m.info().machineId)) + "]";
    }
    return names;
}

TFormMachine* TForm1::unpluggedWindowOf(std::string_view machineId) const {
    for (const QPointer<TFormMachine>& w : unplugged_)
        if (w && w->isVisible() && w->machineId() == machineId)
            return w.data();
    return nullptr;
}

std::vector<TFormMachine*> TForm1::unpluggedWindows() const {
    std::vector<TFormMachine*> out;
    for (const QPointer<TFormMachine>& w : unplugged_)
        if (w)
            out.push_back(w.data());
    return out;
}

void TForm1::FormClose() {
    if (closed_)
        return;
    closed_ = true;
    keepUnplugged_ = false;
    // A download still running gives up now rather than hold the exit.
    if (download_)
        download_->endForExit();
    // Whatever dialog or box is still open ends unanswered: nothing it would
    // have sent goes to a machine from now on, and its event loop returns.
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* dialog = qobject_cast<QDialog*>(w); dialog && dialog->isVisible())
            dialog->reject();
    for (const QPointer<TFormMachine>& w : unplugged_)
        if (w)
            w->hide();
    slots_->formClose();
    saveWindowPosition(parameterFile_, {y(), x(), width(), height()});
}

void TForm1::closeMainWindow() {
    // Called from inside a timer: close once the handler has returned.
    QTimer::singleShot(0, this, [this] { closeWithoutAsking(); });
}

void TForm1::stopStartupTimer() {
    driver_.stopStartupTimer();
    startupDone_ = true;
    updateNoMachineNotice();
}

void TForm1::updateNoMachineNotice() {
    bool anyOn = false;
    for (int k = 0; k < picturesPlaced_; ++k)
        anyOn = anyOn || pictures_[size_t(k)]->isOn();
    const bool show = startupDone_ && !anyOn;
    if (show) {
        // Above the pictures where the board leaves room, else below them.
        const int width = std::max(200, boardArea_->viewport()->width() - 40);
        noMachine_->setFixedWidth(width);
        noMachine_->adjustSize();
        int top = 20;
        if (picturesPlaced_ > 0 && top + noMachine_->height() > 100 - 10) {
            int bottom = 0;
            for (int k = 0; k < picturesPlaced_; ++k)
                bottom = std::max({bottom, pictures_[size_t(k)]->image()->geometry().bottom(),
                                   pictures_[size_t(k)]->caption()->geometry().bottom()});
            top = bottom + 20;
        }
        noMachine_->move(20, top);
    }
    noMachine_->setVisible(show);
    fitBoard();
}

void TForm1::fitBoard() {
    // The area gives the board at least its own size and scrolls over the rest.
    QRect used;
    for (QObject* o : board_->children())
        if (auto* w = qobject_cast<QWidget*>(o); w && !w->isHidden())
            used |= w->geometry();
    board_->setMinimumSize(used.right() + 1, used.bottom() + 1 + 20);
}

void TForm1::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    reflowPictures();
    updateNoMachineNotice();
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

void TForm1::showExportLine(const std::string& line) {
    // Made on the first line, on a window already shown: show it too.
    QStatusBar* bar = statusBar();
    bar->show();
    bar->showMessage(QString::fromStdString(line));
    bar->setToolTip(QString::fromStdString(line)); // whole, where the window is narrower
}

void TForm1::activateFromAnotherStart() {
    if (isMinimized())
        showNormal();
    raise();
    activateWindow();
}

namespace {

// Pictures in a row of the board on a window this wide: a picture goes on the
// row while its left edge plus 150 stays left of the window's right edge.
int picturesPerRow(int windowWidth) {
    int n = 1;
    while (20 + 200 * n + 150 < windowWidth)
        ++n;
    return n;
}

QPoint picturePlace(int k, int windowWidth) {
    const int perRow = picturesPerRow(windowWidth);
    return {20 + 200 * (k % perRow), 100 + 200 * (k / perRow)};
}

} // namespace

const PicturePair& TForm1::drawnPicture(uint32_t deviceType, uint32_t ports) {
    const auto key = std::make_pair(deviceType, ports);
    auto it = drawnPictures_.find(key);
    if (it == drawnPictures_.end()) {
        PicturePair pair;
        pair.deviceType = deviceType;
        pair.portCount = ports;
        pair.onImage = drawPanelPicture(deviceType, ports, true);
        pair.offImage = drawPanelPicture(deviceType, ports, false);
        it = drawnPictures_.emplace(key, std::move(pair)).first;
    }
    return it->second;
}

int TForm1::placePicture(const MachineInfo& record) {
    if (picturesPlaced_ >= kPictureCount)
        return -1;
    const int k = picturesPlaced_;
    MACHINE_DISPLAY_ICON& p = *pictures_[size_t(k)];
    const PictureStore& store = slots_->registry().pictures();
    int row = pictureRow(record);
    const auto ports = uint32_t(record.maxDeviceQty);
    // Row 0 stands for any machine no other row matches: it is the machine's
    // own picture only for the kind and count the row names.
    const bool ownRow = row != 0 || (record.deviceType == kPictureTable[0].deviceType &&
                                     ports == kPictureTable[0].portCount);
    if (record.deviceType == 15 && !store.hasImages(row)) {
        // The shipped archive has no pictures of its own for this kind: the USB ones fit.
        MachineInfo usb = record;
        usb.deviceType = 2;
        row = pictureRow(usb);
    }
    if (ownRow && store.hasImages(row)) {
        p.setImages(store.onImage(row), store.offImage(row));
    } else {
        // No picture of this kind and port count came with the program (or
        // its loose file is missing): the board draws one.
        const PicturePair& drawn = drawnPicture(record.deviceType, ports);
        p.setImages(drawn.onImage, drawn.offImage);
    }
    const QPoint at = picturePlace(k, width());
    p.moveTo(at.x(), at.y());
    p.setCaption(record);
    const QPoint next = picturePlace(k + 1, width());
    nextPictureX_ = next.x();
    nextPictureY_ = next.y();
    p.reveal();
    ++picturesPlaced_;
    showAllMachines();
    updateNoMachineNotice();
    return k;
}

void TForm1::reflowPictures() {
    for (int k = 0; k < picturesPlaced_; ++k) {
        const QPoint at = picturePlace(k, width());
        pictures_[size_t(k)]->moveTo(at.x(), at.y());
    }
    const QPoint next = picturePlace(picturesPlaced_, width());
    nextPictureX_ = next.x();
    nextPictureY_ = next.y();
}

void TForm1::showAllMachines() {
    // Wide enough for two rows where the screen allows, and high enough for
    // every row; never smaller than the operator made it.
    const WindowRect free = freeArea(screen() ? screen() : QApplication::primaryScreen());
    const FrameMargins frame = frameMarginsOf(this);
    const int maxWidth = free.width - frame.left - frame.right;
    const int maxHeight = free.height - frame.top - frame.bottom;
    const int columns = std::max(picturesPerRow(width()), (picturesPlaced_ + 1) / 2);
    const int wantWidth = std::clamp(200 * columns, width(), std::max(width(), maxWidth));
    if (wantWidth != width()) {
        resize(std::min(wantWidth, maxWidth), height());
        reflowPictures(); // a hidden window has its resize event only when shown
    }
    int bottom = 0;
    for (int k = 0; k < picturesPlaced_; ++k)
        bottom = std::max({bottom, pictures_[size_t(k)]->image()->geometry().bottom() + 1,
                           pictures_[size_t(k)]->caption()->geometry().bottom() + 1});
    // The status bar exists once an export line came (asking for it would make one).
    const auto* bar = findChild<QStatusBar*>(QString(), Qt::FindDirectChildrenOnly);
    const int chrome =
        menuBar()->sizeHint().height() + (bar && !bar->isHidden() ? bar->sizeHint().height() : 0);
    const int wantHeight = std::min(bottom + 20 + chrome, maxHeight);
    if (wantHeight > height())
        resize(width(), wantHeight);
    // Centred while the program starts without a kept position; otherwise
    // only kept on the screen.
    QRect r(pos(), size().grownBy(QMargins(frame.left, frame.top, frame.right, frame.bottom)));
    if (!positionRestored_ && !startupDone_)
        r.moveCenter(toQRect(free).center());
    const WindowRect fitted = fitToScreen(toWindowRect(r), free);
    if (fitted.width != r.width() || fitted.height != r.height())
        resize(fitted.width - frame.left - frame.right, fitted.height - frame.top - frame.bottom);
    move(fitted.left, fitted.top);
}

void TForm1::showOn(int k, int connection) {
    if (k >= 0 && k < picturesPlaced_)
        pictures_[size_t(k)]->showOn(connection);
    updateNoMachineNotice();
    // A machine back whose window still says it was unplugged gets its live
    // window in that place at once (after the machine's step has returned).
    if (connection < 0 || connection >= MachineSlots::kSlotCount)
        return;
    const MachineInfo& info = slots_->connection(connection).info();
    if (unpluggedWindowOf(fieldText(info.machineId, sizeof info.machineId)))
        QTimer::singleShot(0, this, [this, k] {
            if (isOn(k))
                slots_->pictureClick(k);
        });
}

void TForm1::showOff(int k, int connection) {
    if (k >= 0 && k < picturesPlaced_)
        pictures_[size_t(k)]->showOff(connection);
    updateNoMachineNotice();
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
    fitBoard();
}

void TForm1::showActivity(int k, MachineActivity activity) {
    if (k >= 0 && k < picturesPlaced_)
        pictures_[size_t(k)]->setActivity(activity);
}

} // namespace dupmon
