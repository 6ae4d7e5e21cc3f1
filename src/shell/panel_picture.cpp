// Drawing a front panel in code (bays, port rows, lettering) and encoding it
// as a 24-bit BMP with a transparent key colour.
#include "shell/panel_picture.h"

#include <algorithm>
#include <string>

#include "common/byte_order.h"
#include "common/text.h"
#include "shell/panel_font.h"

namespace dupmon {

namespace {

constexpr int kWidth = PanelDisplay::kPictureWidth;
constexpr uint32_t kMaxPanelPorts = 256;
constexpr int kHeight = PanelDisplay::kPictureHeight;

struct Rgb {
    uint8_t r, g, b;
    bool operator==(const Rgb&) const = default;
};

constexpr Rgb kTransparent{uint8_t(kPanelTransparent >> 16), uint8_t(kPanelTransparent >> 8),
                           uint8_t(kPanelTransparent)};

class Canvas {
public:
    Canvas(int w, int h, Rgb fill) : w_(w), h_(h), px_(size_t(w) * size_t(h), fill) {}
    int width() const { return w_; }
    int height() const { return h_; }
    void set(int x, int y, Rgb c) {
        if (x >= 0 && y >= 0 && x < w_ && y < h_)
            px_[size_t(y) * size_t(w_) + size_t(x)] = c;
    }
    Rgb get(int x, int y) const { return px_[size_t(y) * size_t(w_) + size_t(x)]; }
    void fill(int x, int y, int w, int h, Rgb c) {
        for (int j = y; j < y + h; ++j)
            for (int i = x; i < x + w; ++i)
                set(i, j, c);
    }

private:
    int w_, h_;
    std::vector<Rgb> px_;
};

// Text in the panel font, `scale` pixels per font dot.
void drawText(Canvas& canvas, int x, int y, const std::string& text, Rgb colour, int scale) {
    forEachPanelDot(text, scale, [&](int dx, int dy, int size) {
        canvas.fill(x + dx, y + dy, size, size, colour);
    });
}

struct Kind {
    const char* name; // nullptr: a kind the program does not know
    Rgb body;
    int slotW, slotH; // the shape of one port slot
};

Kind kindOf(uint32_t deviceType) {
    switch (deviceType) {
    case 2:
    case 7:
    case 8:
    case 9:
    case 15:
    case 16:
        return {"USB", {36, 78, 140}, 8, 3};
    case 3:
        return {"MICROSD", {92, 58, 132}, 5, 3};
    case 4:
        return {"COMBO", {28, 112, 108}, 7, 4};
    case 5:
        return {"CF", {132, 62, 40}, 9, 6};
    case 6:
    case 10:
        return {"SD", {150, 104, 24}, 6, 4};
    default:
        return {nullptr, {70, 78, 96}, 8, 3};
    }
}

Rgb shade(Rgb c, int percent) {
    auto f = [&](uint8_t v) { return uint8_t(std::min(255, int(v) * percent / 100)); };
    return {f(c.r), f(c.g), f(c.b)};
}

// The port slots in as square a grid as the area allows, each slot with its
// status light above it.
void drawPorts(Canvas& canvas, int x0, int y0, int w, int h, int ports, const Kind& kind,
               bool lit) {
    int bestCols = 1, bestScale = -1;
    for (int cols = 1; cols <= ports; ++cols) {
        const int rows = (ports + cols - 1) / cols;
        const int cellW = w / cols, cellH = h / rows;
        // Slot size in sixteenths of the kind's shape, leaving a gap and the light.
        const int scale = std::min((cellW - 2) * 16 / kind.slotW, (cellH - 4) * 16 / kind.slotH);
        if (scale > bestScale)
            bestScale = scale, bestCols = cols;
    }
    bestScale = std::min(bestScale, 40); // few ports stay port-sized, not panel-sized
    const int cols = bestCols, rows = (ports + cols - 1) / cols;
    const int cellW = w / cols, cellH = h / rows;
    const int slotW = std::max(2, kind.slotW * bestScale / 16);
    const int slotH = std::max(1, kind.slotH * bestScale / 16);
    const int left = x0 + (w - cellW * cols) / 2, top = y0 + (h - cellH * rows) / 2;
    const Rgb hole{18, 18, 22}, light = lit ? Rgb{40, 235, 80} : Rgb{70, 70, 70};
    for (int p = 0; p < ports; ++p) {
        const int cx = left + (p % cols) * cellW + (cellW - slotW) / 2;
        const int cy = top + (p / cols) * cellH + (cellH - slotH - 2) / 2 + 2;
        canvas.fill(cx, cy, slotW, slotH, hole);
        canvas.fill(cx, cy - 2, std::max(1, slotW / 3), 1, light);
    }
}

// A bay of slots without a count, for the picture of machines that no
// other row describes: it must not show a number of ports they may not have.
void drawBay(Canvas& canvas, int x0, int y0, int w, int h, bool lit) {
    const Rgb hole{18, 18, 22}, light = lit ? Rgb{40, 235, 80} : Rgb{70, 70, 70};
    for (int y = y0 + 6; y + 4 <= y0 + h; y += 12) {
        canvas.fill(x0 + 4, y, w - 8, 4, hole);
        canvas.fill(x0 + 4, y - 2, w - 8, 1, light);
    }
}

Canvas drawPanel(uint32_t deviceType, uint32_t ports, bool on, bool generic) {
    const Kind kind = kindOf(deviceType);
    // A count a machine window could show gets a slot per port; any other
    // (a device may report anything) gets a bay without a count.
    const bool countable = ports >= 1 && ports <= kMaxPanelPorts;
    Canvas c(kWidth, kHeight, kTransparent);
    // 1. The panel, corners cut so the rounded outline shows on the board.
    const Rgb body = kind.body, edge = shade(kind.body, 55), glint = shade(kind.body, 150);
    c.fill(4, 2, kWidth - 8, kHeight - 4, edge);
    c.fill(2, 4, kWidth - 4, kHeight - 8, edge);
    c.fill(3, 3, kWidth - 6, kHeight - 6, edge);
    c.fill(4, 4, kWidth - 8, kHeight - 8, body);
    c.fill(5, 3, kWidth - 10, 1, glint);
    // 2. The kind's name and its port count; the generic picture names neither.
    const Rgb ink{236, 240, 246};
    if (generic) {
        drawText(c, 7, 11, "DUPLICATOR", ink, 1);
    } else {
        // A kind without a name of its own still shows its port count.
        if (kind.name)
            drawText(c, 7, 7, kind.name, ink, 2);
        else
            drawText(c, 7, 11, "DUPLICATOR", ink, 1);
        if (countable)
            drawText(c, 7, 25, format("%u PORTS", ports), ink, 1);
    }
    // 3. The status display, blank: the board shows the machine's state in it.
    const int lcdX = PanelDisplay::kLeft, lcdY = PanelDisplay::kTop;
    c.fill(lcdX, lcdY, PanelDisplay::kWidth, PanelDisplay::kHeight, shade(kind.body, 35));
    c.fill(lcdX + 1, lcdY + 1, PanelDisplay::kWidth - 2, PanelDisplay::kHeight - 2,
           on ? Rgb{96, 150, 92} : Rgb{48, 54, 50});
    // 4. The ports.
    c.fill(6, 37, kWidth - 12, kHeight - 43, shade(kind.body, 70));
    if (generic || !countable)
        drawBay(c, 7, 38, kWidth - 14, kHeight - 45, on);
    else
        drawPorts(c, 7, 38, kWidth - 14, kHeight - 45, int(ports), kind, on);
    // 5. "off" is the same panel in grey, dimmed; the see-through colour stays.
    if (!on) {
        for (int y = 0; y < c.height(); ++y)
            for (int x = 0; x < c.width(); ++x) {
                const Rgb p = c.get(x, y);
                if (p == kTransparent)
                    continue;
                const auto grey = uint8_t((p.r * 30 + p.g * 59 + p.b * 11) / 100 * 70 / 100 + 30);
                c.set(x, y, {grey, grey, grey});
            }
    }
    return c;
}

// A 24-bit BMP file: 14-byte file header, 40-byte information header, rows
// bottom-up in blue-green-red order, each padded to four bytes.
std::vector<uint8_t> encodeBmp(const Canvas& c) {
    const size_t stride = (size_t(c.width()) * 3 + 3) & ~size_t(3);
    const size_t pixels = stride * size_t(c.height());
    std::vector<uint8_t> out(54 + pixels, 0);
    out[0] = 'B', out[1] = 'M';
    writeLE32(&out[2], uint32_t(out.size()));
    writeLE32(&out[10], 54);
    writeLE32(&out[14], 40);
    writeLE32(&out[18], uint32_t(c.width()));
    writeLE32(&out[22], uint32_t(c.height()));
    writeLE16(&out[26], 1);
    writeLE16(&out[28], 24);
    writeLE32(&out[34], uint32_t(pixels));
    writeLE32(&out[38], 2835); // 72 dpi
    writeLE32(&out[42], 2835);
    for (int y = 0; y < c.height(); ++y) {
        uint8_t* row = &out[54 + stride * size_t(c.height() - 1 - y)];
        for (int x = 0; x < c.width(); ++x) {
            const Rgb p = c.get(x, y);
            row[3 * x] = p.b, row[3 * x + 1] = p.g, row[3 * x + 2] = p.r;
        }
    }
    return out;
}

} // namespace

const char* panelKindName(uint32_t deviceType) {
    return kindOf(deviceType).name;
}

std::vector<uint8_t> drawPanelPicture(uint32_t deviceType, uint32_t ports, bool on, bool generic) {
    return encodeBmp(drawPanel(deviceType, ports, on, generic));
}

} // namespace dupmon
