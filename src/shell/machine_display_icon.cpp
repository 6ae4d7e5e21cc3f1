// Drawing a machine picture of the board: its BMP made transparent, the wrapped
// caption, the on and off images, and the activity shown in its panel's
// status display.
#include "shell/machine_display_icon.h"

#include <QEvent>
#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QWidget>

#include "common/text.h"
#include "shell/panel_font.h"

namespace dupmon {

QPixmap transparentPixmap(const std::vector<uint8_t>& bmp) {
    QImage image;
    if (bmp.empty() || bmp.size() > size_t(INT32_MAX) ||
        !image.loadFromData(bmp.data(), int(bmp.size()), "BMP") || image.width() < 2 ||
        image.height() < 2)
        return QPixmap();
    // The mask is the alpha channel: every pixel of the key colour is cleared.
    const QRgb key = image.pixel(1, 1) | 0xFF000000u;
    image = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            if ((line[x] | 0xFF000000u) == key)
                line[x] = 0;
    }
    return QPixmap::fromImage(image);
}

namespace {

// Breaks a caption into lines no wider than `maxWidth`, between words where
// it can and inside a long word where it must; what does not fit in
// `maxLines` lines ends in an ellipsis.
QString wrapCaption(const QString& text, const QFontMetrics& fm, int maxWidth, int maxLines) {
    QStringList lines;
    QString line;
    auto fits = [&](const QString& t) { return fm.horizontalAdvance(t) <= maxWidth; };
    for (const QString& word : text.split(' ', Qt::SkipEmptyParts)) {
        const QString joined = line.isEmpty() ? word : line + ' ' + word;
        if (fits(joined)) {
            line = joined;
            continue;
        }
        if (!line.isEmpty())
            lines << line;
        line.clear();
        for (const QChar c : word) {
            if (!fits(line + c)) {
                lines << line;
                line.clear();
            }
            line += c;
        }
    }
    if (!line.isEmpty())
        lines << line;
    if (lines.size() > maxLines) {
        const QString rest = QStringList(lines.mid(maxLines - 1)).join(' ');
        lines = lines.mid(0, maxLines - 1);
        lines << fm.elidedText(rest, Qt::ElideRight, maxWidth);
    }
    return lines.join('\n');
}

struct ActivityLook {
    const char* text;
    QColor display, ink;
    const char* tip;
};

ActivityLook lookOf(MachineActivity a) {
    switch (a) {
    case MachineActivity::Working:
        return {"BUSY", QColor(250, 190, 40), QColor(70, 40, 0), "Running a job"};
    case MachineActivity::Waiting:
        return {"WAIT", QColor(225, 40, 40), QColor(255, 255, 255),
                "Waiting for the operator: open the machine window to continue or finish"};
    case MachineActivity::Silent:
        return {"SILENT", QColor(60, 60, 60), QColor(255, 220, 0),
                "Not answering: nothing is sent to it until it answers again"};
    case MachineActivity::Idle:
    default:
        return {"READY", QColor(120, 230, 110), QColor(20, 60, 24), "Ready"};
    }
}

} // namespace

MACHINE_DISPLAY_ICON::MACHINE_DISPLAY_ICON(QWidget* parent, int pictureIndex)
    : QObject(parent), image_(new QLabel(parent)), caption_(new QLabel(parent)),
      pictureIndex_(pictureIndex) {
    image_->hide();
    image_->setEnabled(false);
    image_->setAttribute(Qt::WA_TranslucentBackground);
    image_->installEventFilter(this);
    caption_->hide();
    caption_->setEnabled(false);
}

bool MACHINE_DISPLAY_ICON::setImages(const std::vector<uint8_t>& onBmp,
                                     const std::vector<uint8_t>& offBmp) {
    onImage_ = transparentPixmap(onBmp);
    offImage_ = transparentPixmap(offBmp);
    hasImages_ = !onImage_.isNull() && !offImage_.isNull();
    if (hasImages_) {
        image_->setFrameStyle(QFrame::NoFrame);
        return true;
    }
    // Without a picture the machine keeps its place on the board as an empty
    // frame of the usual size, still clickable, with its caption under it.
    onImage_ = offImage_ = QPixmap();
    image_->clear();
    image_->setFrameStyle(QFrame::Box | QFrame::Plain);
    image_->resize(kPlaceholderWidth, kPlaceholderHeight);
    return false;
}

void MACHINE_DISPLAY_ICON::moveTo(int x, int y) {
    // A caption already placed keeps its place under the image.
    const QPoint by = QPoint(x, y) - image_->pos();
    image_->move(x, y);
    if (!caption_->isHidden())
        caption_->move(caption_->pos() + by);
}

void MACHINE_DISPLAY_ICON::setCaption(const MachineInfo& record) {
    std::string_view text = fieldText(record.nickName, sizeof record.nickName);
    if (text.empty())
        text = fieldText(record.modelName, sizeof record.modelName);
    const QString full = QString::fromLocal8Bit(text.data(), qsizetype(text.size()));
    caption_->setText(wrapCaption(full, caption_->fontMetrics(), kCaptionMaxWidth, 3));
    caption_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    caption_->setToolTip(full);
    caption_->adjustSize();
    const int imageWidth = hasImages_ ? onImage_.width() : image_->width();
    const int imageHeight = hasImages_ ? onImage_.height() : image_->height();
    int left = image_->x();
    if (caption_->width() < imageWidth)
        left += (imageWidth - caption_->width()) / 2;
    caption_->move(left, image_->y() + imageHeight);
    caption_->setEnabled(true);
    caption_->show();
}

void MACHINE_DISPLAY_ICON::show(const QPixmap& pixmap) {
    image_->setPixmap(pixmap);
    image_->resize(pixmap.size());
}

QPixmap MACHINE_DISPLAY_ICON::onWithActivity() const {
    QPixmap p = onImage_;
    const ActivityLook look = lookOf(activity_);
    // The display's place on a picture of another size than the shipped ones.
    const double sx = double(p.width()) / PanelDisplay::kPictureWidth;
    const double sy = double(p.height()) / PanelDisplay::kPictureHeight;
    const QRect display(int(PanelDisplay::kLeft * sx), int(PanelDisplay::kTop * sy),
                        int(PanelDisplay::kWidth * sx), int(PanelDisplay::kHeight * sy));
    QPainter painter(&p);
    painter.fillRect(display.adjusted(1, 1, -1, -1), look.display);
    const int scale = std::max(1, int(std::min(sx, sy)));
    const int x = display.x() + (display.width() - panelTextWidth(look.text, scale)) / 2;
    const int y = display.y() + (display.height() - 7 * scale) / 2;
    forEachPanelDot(look.text, scale, [&](int dx, int dy, int size) {
        painter.fillRect(x + dx, y + dy, size, size, look.ink);
    });
    return p;
}

void MACHINE_DISPLAY_ICON::setActivity(MachineActivity activity) {
    activity_ = activity;
    if (isOn_ && hasImages_)
        show(onWithActivity());
    image_->setToolTip(isOn_ ? lookOf(activity_).tip : QString());
}

void MACHINE_DISPLAY_ICON::showOn(int connection) {
    if (hasImages_)
        show(onWithActivity());
    image_->setToolTip(lookOf(activity_).tip);
    connection_ = connection;
    isOn_ = true;
}

void MACHINE_DISPLAY_ICON::showOff(int connection) {
    if (hasImages_)
        show(offImage_);
    image_->setToolTip(QString());
    connection_ = connection;
    isOn_ = false;
}

void MACHINE_DISPLAY_ICON::reveal() {
    showOff(0);
    image_->setEnabled(true);
    image_->show();
}

bool MACHINE_DISPLAY_ICON::eventFilter(QObject* watched, QEvent* event) {
    if (watched == image_ && image_->isEnabled() && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton &&
        image_->rect().contains(static_cast<QMouseEvent*>(event)->position().toPoint())) {
        emit clicked(pictureIndex_);
        return true;
    }
    return QObject::eventFilter(watched, event);
}

} // namespace dupmon
