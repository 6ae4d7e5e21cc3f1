// The probe that turns duplicator-monitor into app_dialog_probe: once the
// first machine is on the board, it opens that machine's window and, inside
// it, the dialog named by DUPMON_PROBE_DIALOG (nickname, clock, setup,
// download, devinfo or question; question-closed: the question closed without
// an answer, the machine waiting), and prints "PROBE open <name>" when the
// dialog is on screen. The test then stops the program as a user would; with
// DUPMON_PROBE_THEN=close the probe closes the main window itself, answering
// Yes to the question whether to close while a job runs, and prints
// "PROBE closed" once the window is closed.
#include <QAbstractButton>
#include <QApplication>
#include <QFrame>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "machine_window/tform_continue_or_exit.h"
#include "machine_window/tform_machine.h"
#include "shell/machine_window_view.h"
#include "shell/main_window.h"

namespace dupmon {

namespace {

TFormMachine* firstWindow(TForm1& form) {
    if (!form.picture(0).isOn())
        return nullptr;
    form.machineSlots().pictureClick(0);
    MACHINE& m = form.machineSlots().connection(form.picture(0).connection());
    auto* adapter = dynamic_cast<MachineWindowAdapter*>(m.window());
    return adapter ? adapter->window() : nullptr;
}

bool dialogOpen(const std::string& which, TFormMachine* w) {
    if (which == "question")
        return w->continueDialog()->isVisible();
    if (which == "question-closed") {
        if (w->continueDialog()->isVisible())
            w->continueDialog()->reject();
        return w->Panel_Question->isVisible();
    }
    return QApplication::activeModalWidget() != nullptr;
}

} // namespace

// Closes the main window with its close box, as the operator would.
void closeMainWindow(TForm1& form) {
    auto* yes = new QTimer(&form);
    QObject::connect(yes, &QTimer::timeout, &form, [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
                if (QAbstractButton* b = box->button(QMessageBox::Yes))
                    b->click();
    });
    yes->start(20);
    form.close();
    std::printf("PROBE closed\n");
    std::fflush(stdout);
}

void startDialogProbe(TForm1& form) {
    const char* env = std::getenv("DUPMON_PROBE_DIALOG");
    const std::string which = env ? env : "";
    const char* then = std::getenv("DUPMON_PROBE_THEN");
    const bool close = then && std::string(then) == "close";
    auto* timer = new QTimer(&form);
    timer->setInterval(50);
    QObject::connect(
        timer, &QTimer::timeout, &form, [&form, timer, which, close, asked = false]() mutable {
            TFormMachine* w = firstWindow(form);
            if (!w || (!asked && !w->IsStandby()))
                return;
            if (asked) {
                if (dialogOpen(which, w)) {
                    std::printf("PROBE open %s\n", which.c_str());
                    std::fflush(stdout);
                    timer->stop();
                    if (close)
                        QTimer::singleShot(100, &form, [&form] { closeMainWindow(form); });
                }
                return;
            }
            asked = true;
            // Each opens its dialog from the event loop, as a menu click does.
            QTimer::singleShot(0, w, [w, which] {
                if (which == "nickname")
                    w->ChangeNicknameClick();
                else if (which == "clock")
                    w->ChangeMachineClockClick();
                else if (which == "setup")
                    w->SetupMachineParameterClick();
                else if (which == "download")
                    w->DownloadSourceFilesClick();
                else if (which == "devinfo")
                    w->GetInfoClick();
                else if (which.rfind("question", 0) == 0)
                    w->CopyClick();
            });
        });
    timer->start();
}

} // namespace dupmon
