#pragma once
// The main window's System > About and System > Help windows: a text to
// read (and copy from) with a Close button, shown beside the board.
#include <QDialog>
#include <filesystem>
#include <string>
#include <vector>

class QPlainTextEdit;
class QProcess;
class QPushButton;
class QTimer;

namespace dupmon {

class TextWindow : public QDialog {
public:
    TextWindow(const QString& title, QWidget* parent = nullptr);
    void setText(const std::string& text);
    std::string text() const;

    QPlainTextEdit* Memo_Text;
    QPushButton* Button_Close;
};

// The manual: the installed manual page as `man` shows it, read by a child
// process the window does not wait for; where there is none, or `man`
// cannot show it, the README; where there is neither, where it looked.
class HelpWindow : public TextWindow {
public:
    static constexpr int kManTimeoutMs = 10000;

    explicit HelpWindow(QWidget* parent = nullptr);
    ~HelpWindow() override;
    // Shows the window and fills it from the first manual page of
    // `manuals` that exists, else from the first of `readmes`.
    void showManual(std::vector<std::filesystem::path> manuals,
                    std::vector<std::filesystem::path> readmes);
    // What the text came from (empty while it is read, or when nothing was found).
    const std::filesystem::path& source() const { return source_; }
    bool reading() const;

private:
    void manFinished(bool ok, const std::string& output, const std::string& why);
    void showReadme(const std::string& note);

    std::vector<std::filesystem::path> manuals_, readmes_;
    std::filesystem::path manual_, source_;
    QProcess* man_ = nullptr;
    QTimer* timeout_ = nullptr;
};

} // namespace dupmon
