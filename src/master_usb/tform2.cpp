// The copy's progress window: its gauge, label and STOP button, and the timer
// that reads the flow's counts.
#include "master_usb/tform2.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "master_usb/download_flow.h"
#include "master_usb/download_texts.h"

namespace dupmon {

TForm2::TForm2(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
    setObjectName("Form2");
    setFixedSize(621, 115);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(0xC0, 0xFF, 0xC0));
    setPalette(pal);

    DLPrpgress = new QProgressBar(this);
    DLPrpgress->setObjectName("DLPrpgress");
    DLPrpgress->setRange(0, 100);
    DLPrpgress->setValue(0);
    DLPrpgress->setTextVisible(false);
    DLPrpgress->setFixedSize(585, 49);
    DLPrpgress->setStyleSheet("QProgressBar { border: 1px solid #404040; background: white; }"
                              "QProgressBar::chunk { background: #0000FF; }");
    Label1 = new QLabel(this);
    Label1->setObjectName("Label1");
    Button1 = new QPushButton("STOP", this);
    Button1->setObjectName("Button1");

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(18, 10, 18, 10);
    column->addWidget(DLPrpgress, 0, Qt::AlignHCenter);
    auto* row = new QHBoxLayout;
    row->addWidget(Label1, 1);
    row->addStretch(1);
    Button1->setMinimumWidth(120);
    row->addWidget(Button1);
    column->addLayout(row);

    Timer1.setInterval(50);
    QObject::connect(&Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
    QObject::connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    Timer1.start(); // with a total of 0 it does nothing
}

void TForm2::prepare() {
    DLPrpgress->setVisible(true);
    Button1->setVisible(true);
    Label1->setVisible(false);
}

void TForm2::Timer1Timer() {
    if (!flow_)
        return;
    const ProgressTick t =
        progressTick(flow_->totalBytes(), flow_->copiedBytes(), flow_->copyFailed());
    if (!t.act)
        return;
    DLPrpgress->setValue(int(std::min<uint32_t>(t.percent, 100)));
    if (t.close) {
        close();
        return;
    }
    raise(); // topmost again, without moving or resizing
}

void TForm2::Button1Click() {
    Timer1.stop();
    if (flow_)
        flow_->requestAbort();
    close();
}

} // namespace dupmon
