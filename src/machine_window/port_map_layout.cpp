// Deciding a machine's port map from its MachineInfo: the grid, the sizes of
// its kind, each port's place and caption, and the scroll that keeps a port
// in view.
#include "machine_window/port_map_layout.h"

#include <algorithm>

#include "common/text.h"

namespace dupmon {

namespace {
// Between the job panels and the first row of ports, and below the last row.
constexpr int kHeaderGap = 10;
constexpr int kBottomMargin = 10;
// Panel_Main's margin around GroupBox_Machine.
constexpr int kPanelMargin = 5;
} // namespace

PortMapLayout computePortMap(const MachineInfo& info) {
    PortMapLayout L;
    L.kind = layoutKindOf(info);
    L.hasImageBank = info.flag_support_one_Pellux_Device == 1;
    const int n = info.maxDeviceQty;
    const bool panel = L.kind != LayoutKind::Ordinary; // kinds 1 and 2: port 0 sits apart

    // 1. Columns.
    int columns = info.portQty_per_Row != 0 ? info.portQty_per_Row : info.portQty_per_board;
    if (L.kind == LayoutKind::Kind1)
        columns = 15;
    else if (L.kind == LayoutKind::Kind2)
        columns = n > 81 ? 15 : (n > 41 ? 10 : 5);
    L.columns =
        columns > 0 ? columns : 1; // a controller reporting no ports per row still gets one column

    // 2. The window holds at most 256 ports.
    if (n > kMaxPorts) {
        L.tooManyPorts = true;
        return L;
    }
    L.portCount = n > 0 ? n : 0;

    // 3. Per-kind sizes.
    if (panel) {
        L.jobWidth = 400;
        L.jobHeight = 24;
        L.functionFontSize = 20;
        L.portGapX = 4;
        L.portGapY = 4;
        L.portWidth = L.kind == LayoutKind::Kind1 ? 108 : 122;
        L.portHeight = 52;
        L.lineWidth = L.portWidth - 1;
        L.lineHeight = 18;
        L.portFontSize = 10;
    } else {
        L.lineWidth = L.portWidth - 4;
        if (n > 50)
            L.portGapY = 4;
    }

    // 4. Each port's cell.
    int lastRow = -1;
    for (int i = 0; i < L.portCount; ++i) {
        PortBoxPlace& p = L.ports[i];
        p.created = true;
        if (!panel) {
            // Rows filled left to right, top to bottom.
            p.row = i / L.columns;
            p.column = i % L.columns;
        } else if (i == 0) {
            p.apart = true;
            continue;
        } else {
            // Eight ports per column, top to bottom; kind 1 fills the columns
            // from the right, kind 2 from the left.
            const int k = i - 1;
            p.row = k % 8;
            p.column = L.kind == LayoutKind::Kind1 ? 14 - k / 8 : k / 8;
            // Past 121 ports a kind-1 column would lie left of the map: those
            // ports are not created.
            p.created = p.column >= 0 && p.column < L.columns;
            if (!p.created)
                continue;
        }
        lastRow = std::max(lastRow, p.row);
    }
    // The rows the ports fill (a 30-port kind 2 fills all eight of a column,
    // although 29 ports make six rows of five).
    L.rows = lastRow + 1;
    return L;
}

PortMapGeometry PortMapLayout::place(const PortMapMetrics& m) const {
    PortMapGeometry g;
    g.firstRowTop = m.headerHeight + kHeaderGap;
    g.mapWidth = columns * m.portWidth + (columns - 1) * portGapX + 2 * portMargin;
    g.groupBoxWidth = std::max(m.headerWidth, g.mapWidth);
    g.groupBoxHeight =
        rows > 0 ? g.firstRowTop + rows * m.portHeight + (rows - 1) * portGapY + kBottomMargin
                 : m.headerHeight + kBottomMargin;
    g.panelWidth = g.groupBoxWidth + 2 * kPanelMargin;
    g.panelHeight = g.groupBoxHeight + 2 * kPanelMargin;
    return g;
}

int PortMapLayout::portLeft(int i, const PortMapMetrics& m) const {
    return portMargin + ports[i].column * (m.portWidth + portGapX);
}

int PortMapLayout::portTop(int i, const PortMapMetrics& m, const PortMapGeometry& g) const {
    return g.firstRowTop + ports[i].row * (m.portHeight + portGapY);
}

int scrollToShow(int jobFrom, int jobTo, int portFrom, int portTo, int view, int maxScroll) {
    // The window's own start (its margin and the machine's name) where it shows the port.
    if (portTo <= view)
        return 0;
    int at;
    const int from = std::min(jobFrom, portFrom), to = std::max(jobTo, portTo);
    if (to - from <= view)
        at = std::max(0, to - view); // both, as near the start as they allow
    else if (jobFrom < portFrom)
        at = portTo - view; // the port at the far edge, the job panels towards it
    else
        at = portFrom;
    return std::clamp(at, 0, std::max(0, maxScroll));
}

int firstPortIndex(LayoutKind kind, int portCount) {
    const int first = kind == LayoutKind::Ordinary ? 0 : 1;
    return first < portCount ? first : (portCount > 0 ? 0 : -1);
}

std::string portCaption(int index, LayoutKind kind) {
    return format("#%02d", kind == LayoutKind::Ordinary ? index + 1 : index);
}

} // namespace dupmon
