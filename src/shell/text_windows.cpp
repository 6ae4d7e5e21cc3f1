// The About and Help windows: a read-only text with a Close button; Help runs
// man on the installed manual, with a time-out, or shows the README instead.
#include "shell/text_windows.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QStandardPaths>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "common/file_io.h"
#include "common/window_geometry_qt.h"
#include "shell/program_info.h"

namespace dupmon {

namespace fs = std::filesystem;

namespace {
// A README larger than this is shown up to here.
constexpr size_t kReadmeLimit = 1 << 20;
// The manual is laid out this wide; the window shows it whole where it can.
constexpr int kColumns = 100;
} // namespace

TextWindow::TextWindow(const QString& title, QWidget* parent) : QDialog(parent) {
    setWindowTitle(title);
    Memo_Text = new QPlainTextEdit(this);
    Memo_Text->setObjectName("Memo_Text");
    Memo_Text->setReadOnly(true);
    Memo_Text->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo_Text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    Button_Close = new QPushButton("Close", this);
    Button_Close->setObjectName("Button_Close");
    Button_Close->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(Button_Close);
    auto* column = new QVBoxLayout(this);
    column->addWidget(Memo_Text, 1);
    column->addLayout(buttons);
    connect(Button_Close, &QPushButton::clicked, this, &QDialog::accept);
    // A hundred columns (the manual's width) by 30 lines of the text's font,
    // cut to the screen.
    const QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
    const QFontMetrics fm(Memo_Text->font());
    const WindowSize size =
        sizeWithin({fm.horizontalAdvance(QString(kColumns, 'M')) + 60, fm.lineSpacing() * 30 + 80},
                   freeArea(s), {40, 80});
    resize(size.width, size.height);
}

void TextWindow::setText(const std::string& text) {
    Memo_Text->setPlainText(QString::fromUtf8(text.data(), qsizetype(text.size())));
}

std::string TextWindow::text() const {
    return Memo_Text->toPlainText().toStdString();
}

HelpWindow::HelpWindow(QWidget* parent) : TextWindow("Duplicator Monitor Help", parent) {
    setObjectName("HelpWindow");
}

HelpWindow::~HelpWindow() {
    if (man_) {
        man_->disconnect(this);
        man_->kill();
        man_->waitForFinished(1000); // killed: gone at once
    }
}

bool HelpWindow::reading() const {
    return man_ != nullptr;
}

void HelpWindow::showManual(std::vector<fs::path> manuals, std::vector<fs::path> readmes) {
    show();
    raise();
    activateWindow();
    if (man_)
        return; // still reading it
    manuals_ = std::move(manuals);
    readmes_ = std::move(readmes);
    source_.clear();
    manual_ = firstExisting(manuals_);
    const QString man = QStandardPaths::findExecutable("man");
    if (manual_.empty() || man.isEmpty()) {
        showReadme(manual_.empty() ? std::string()
                                   : "The manual page " + manual_.string() +
                                         " needs the man program, which is not installed.\n\n");
        return;
    }
    setText("Reading the manual " + manual_.string() + " ...");
    man_ = new QProcess(this);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("MANWIDTH", QString::number(kColumns));
    env.insert("MANPAGER", "cat");
    env.insert("PAGER", "cat");
    env.insert("GROFF_NO_SGR", "1"); // struck-over letters, not colour codes
    env.remove("MAN_KEEP_FORMATTING");
    man_->setProcessEnvironment(env);
    man_->setStandardInputFile(QProcess::nullDevice());
    timeout_ = new QTimer(this);
    timeout_->setSingleShot(true);
    connect(timeout_, &QTimer::timeout, this, [this] {
        if (man_)
            man_->kill(); // finished() follows
    });
    connect(man_, &QProcess::finished, this, [this](int code, QProcess::ExitStatus status) {
        const std::string out = man_->readAllStandardOutput().toStdString();
        const std::string err = man_->readAllStandardError().toStdString();
        const bool timedOut = !timeout_->isActive();
        timeout_->stop();
        man_->deleteLater();
        man_ = nullptr;
        const bool ok = status == QProcess::NormalExit && code == 0 && !out.empty();
        manFinished(ok, out,
                    timedOut ? "man took longer than 10 s"
                             : (err.empty() ? "man ended with " + std::to_string(code) : err));
    });
    connect(man_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError e) {
        if (e != QProcess::FailedToStart || !man_)
            return;
        timeout_->stop();
        man_->deleteLater();
        man_ = nullptr;
        manFinished(false, {}, "man could not be started");
    });
    timeout_->start(kManTimeoutMs);
    man_->start(man, {"-l", QString::fromStdString(manual_.string())});
}

void HelpWindow::manFinished(bool ok, const std::string& output, const std::string& why) {
    if (ok) {
        source_ = manual_;
        setText(plainManText(output));
        return;
    }
    showReadme("The manual page " + manual_.string() + " could not be shown: " + why + "\n\n");
}

void HelpWindow::showReadme(const std::string& note) {
    const fs::path readme = firstExisting(readmes_);
    if (!readme.empty()) {
        if (auto text = readSmallFile(readme, kReadmeLimit)) {
            source_ = readme;
            setText(note + *text);
            return;
        }
    }
    std::string s = note + "No manual was found. Looked for the manual page in:\n";
    for (const fs::path& p : manuals_)
        s += "  " + p.lexically_normal().string() + "\n";
    s += "and for the README in:\n";
    for (const fs::path& p : readmes_)
        s += "  " + p.lexically_normal().string() + "\n";
    s += "\nOnce the program is installed, \"man duplicator-monitor\" shows the manual.\n";
    setText(s);
}

} // namespace dupmon
