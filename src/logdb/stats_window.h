#pragma once
// What the three figure windows of the LogData menu share: they name their
// machine and range, let the operator pick the range, and read the log
// database on a thread of their own.
#include <QMainWindow>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "common/clock.h"
#include "common/ui_services.h"
#include "logdb/background_run.h"
#include "logdb/report.h"
#include "protocol/machine_info.h"

class QDateEdit;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace dupmon {

class StatsWindow : public QMainWindow {
    Q_OBJECT
public:
    // `caption` names the machine as its window does; `title` is the kind
    // of figures ("Performance by PORT").
    StatsWindow(QWidget* owner, const char* objectName, const char* title, const MachineInfo& info,
                const std::string& caption, std::filesystem::path database, UiServices& ui,
                const Clock& clock);
    ~StatsWindow() override;

    // The machine's name changed.
    void SetCaption(const std::string& caption);
    // Reads again for the range the pickers show.
    void refresh();
    // Reading, or the first figures still to come.
    bool busy() const { return background_.running(); }
    ReportDate from() const { return from_; }
    ReportDate to() const { return to_; }
    bool ranged() const { return shown_; }
    const std::string& caption() const { return caption_; }
    const std::filesystem::path& database() const { return database_; }
    // "SIM USB Tower 10(v3.12.5), 2026-12-04 to 2026-12-10"
    std::string machineAndRange() const;

    QDateEdit* DateEdit_from = nullptr;
    QDateEdit* DateEdit_to = nullptr;
    QPushButton* Button_show = nullptr;
    QLabel* Label_machine = nullptr; // names the machine and the range
    QLabel* Label_status = nullptr;  // what was read, or why not

protected:
    // Runs on the reading thread: the figures of the range, and what to do
    // with them on the window's thread. It must not touch the window.
    using Compute = std::function<std::function<void()>(ReportDate from, ReportDate to,
                                                        const std::atomic<bool>& cancel)>;
    virtual Compute compute() = 0;
    // A Compute that reads with `read` (computeLogStats, groupJobs) and
    // shows with `show`, unless the database could not be read: the status
    // line then says why.
    template <class Result, class Window>
    Compute reading(Result (*read)(const std::filesystem::path&, bool, ReportDate, ReportDate,
                                   const std::atomic<bool>*),
                    void (Window::*show)(Result)) {
        return [this, read, show, database = database_](ReportDate from, ReportDate to,
                                                        const std::atomic<bool>& cancel) {
            auto result = std::make_shared<Result>(read(database, true, from, to, &cancel));
            return std::function<void()>([this, result, show] {
                if (result->result != PASS)
                    setStatus(cannotRead(result->result, result->problem));
                else
                    (static_cast<Window*>(this)->*show)(std::move(*result));
            });
        };
    }
    static std::string cannotRead(DatabaseResult result, const std::string& problem);
    // Puts the window's own view below the range bar.
    void setContent(QWidget* content);
    // Tells what was read (or why not) under the range bar.
    void setStatus(const std::string& text);

    const MachineInfo& info_;
    UiServices& ui_;
    const Clock& clock_;

private:
    void start(bool automatic);
    void updateLabels();

    std::string title_;
    std::string caption_;
    std::filesystem::path database_;
    ReportDate from_, to_;
    bool shown_ = false;
    QVBoxLayout* layout_ = nullptr;
    BackgroundRun background_{this}; // last: its thread ends before the rest goes
};

} // namespace dupmon
