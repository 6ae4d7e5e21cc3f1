#pragma once
// The small progress window shown over the download window while the master
// stick is copied.
#include <QTimer>
#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;

namespace dupmon {

class DownloadFlow;

// The progress window of the master stick copy: a gauge, a hidden label and
// a STOP button on a light green borderless window that stays on top. Its
// timer reads the flow's byte counts every 50 ms.
class TForm2 : public QWidget {
public:
    explicit TForm2(QWidget* parent = nullptr);
    // The flow whose counts it shows and whose stop request it sets.
    void setFlow(DownloadFlow* flow) { flow_ = flow; }

    // Place the window with its top-left corner here.
    void place(int top, int left) { move(left, top); }
    // Gauge and STOP visible, the label hidden.
    void prepare();
    void Timer1Timer();
    void Button1Click();

    QProgressBar* DLPrpgress = nullptr;
    QLabel* Label1 = nullptr;
    QPushButton* Button1 = nullptr;
    QTimer Timer1;

private:
    DownloadFlow* flow_ = nullptr;
};

} // namespace dupmon
