#pragma once
// One machine picture on the board, with its caption and what its machine is
// doing.
#include <QObject>
#include <QPixmap>
#include <cstdint>
#include <vector>

#include "protocol/machine_activity.h"
#include "protocol/machine_info.h"

class QLabel;
class QWidget;

namespace dupmon {

// One machine picture of the board: the front-panel image and the caption
// label under it, both children of the main window. Shows the "on" image
// while its machine is attached and ready, the "off" image otherwise.
class MACHINE_DISPLAY_ICON : public QObject {
    Q_OBJECT
public:
    // The size of the shipped pictures, kept by a picture that has none.
    static constexpr int kPlaceholderWidth = 130;
    static constexpr int kPlaceholderHeight = 100;

    // Created hidden and disabled; `pictureIndex` is what a click reports.
    MACHINE_DISPLAY_ICON(QWidget* parent, int pictureIndex);

    // Takes two BMP files; in each, the colour of pixel (1, 1) becomes
    // see-through. False (and no images) when either cannot be decoded: the
    // picture then shows an empty frame of the usual size.
    bool setImages(const std::vector<uint8_t>& onBmp, const std::vector<uint8_t>& offBmp);
    // Moves the image to (x, y); a caption already placed moves with it.
    void moveTo(int x, int y);
    // The nickname, or the model name when there is none, under the image:
    // centred when narrower than the image, else from the image's left edge.
    void setCaption(const MachineInfo& record);
    void showOn(int connection);
    void showOff(int connection);
    // Shows the "off" image and makes the picture visible and clickable.
    void reveal();
    // What the machine does, shown in the panel's status display while "on":
    // READY, BUSY, WAIT in red when it waits for its operator, or SILENT
    // while it does not answer.
    void setActivity(MachineActivity activity);
    MachineActivity activity() const { return activity_; }
    // The widest a caption may be before it wraps, so that it stays clear of
    // the neighbouring picture's.
    static constexpr int kCaptionMaxWidth = 190;

    bool isOn() const { return isOn_; }
    bool hasImages() const { return hasImages_; }
    // The machine connection given with the last on/off switch.
    int connection() const { return connection_; }
    int pictureIndex() const { return pictureIndex_; }
    QLabel* image() const { return image_; }
    QLabel* caption() const { return caption_; }

signals:
    void clicked(int pictureIndex);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void show(const QPixmap& pixmap);
    // The "on" image with the state written into its status display.
    QPixmap onWithActivity() const;

    bool isOn_ = false;
    bool hasImages_ = false;
    QPixmap onImage_;
    QPixmap offImage_;
    QLabel* image_;
    QLabel* caption_;
    int connection_ = 0;
    int pictureIndex_;
    MachineActivity activity_ = MachineActivity::Idle;
};

// A BMP file as a pixmap whose pixels of the colour at (1, 1) are
// see-through; a null pixmap when the bytes are no image.
QPixmap transparentPixmap(const std::vector<uint8_t>& bmp);

} // namespace dupmon
