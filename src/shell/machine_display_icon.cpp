#include "shell/machine_display_icon.h"

#include <QEvent>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QWidget>

#include "common/text.h"

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
    image_->move(x, y);
}

void MACHINE_DISPLAY_ICON::setCaption(const MachineInfo& record) {
    std::string_view text = fieldText(record.nickName, sizeof record.nickName);
    if (text.empty())
        text = fieldText(record.modelName, sizeof record.modelName);
    caption_->setText(QString::fromLocal8Bit(text.data(), qsizetype(text.size())));
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

void MACHINE_DISPLAY_ICON::showOn(int connection) {
    if (hasImages_)
        show(onImage_);
    connection_ = connection;
    isOn_ = true;
}

void MACHINE_DISPLAY_ICON::showOff(int connection) {
    if (hasImages_)
        show(offImage_);
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
