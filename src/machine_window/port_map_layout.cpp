#include "machine_window/port_map_layout.h"

#include "common/text.h"

namespace dupmon {

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

    // 3. Rows.
    const int placed = panel ? L.portCount - 1 : L.portCount;
    L.rows = placed > 0 ? (placed + L.columns - 1) / L.columns : 0;

    // 4. Per-kind parameters.
    if (panel) {
        L.jobWidth = 400;
        L.jobHeight = 24;
        L.firstRowTop = L.jobTop + L.jobHeight + L.noteHeight + 10;
        L.portGapX = 4;
        L.portGapY = 4;
        L.portWidth = L.kind == LayoutKind::Kind1 ? 108 : 122;
        L.portHeight = 52;
        L.lineWidth = L.portWidth - 1;
        L.lineHeight = 18;
        L.portFontSize = 10;
    } else {
        L.lineWidth = L.portWidth - 4;
        if (n > 50) {
            L.firstRowTop = L.jobTop + L.jobHeight + L.noteHeight + 10;
            L.portGapY = 4;
        }
    }
    if (L.hasImageBank)
        L.firstRowTop = 20 + 200 + 20; // below GroupBox_SourceImage

    // 5. Inner size.
    const int mapWidth = L.columns * L.portWidth + (L.columns - 1) * L.portGapX + 2 * L.portMargin;
    const int mapHeight = L.rows * L.portHeight + L.firstRowTop + (L.rows - 1) * L.portGapY;
    L.innerWidth = mapWidth + 10;
    if (L.kind == LayoutKind::Kind2 && L.innerWidth < 800)
        L.innerWidth = 800;
    L.innerHeight = mapHeight + (panel ? 20 : 30);

    // 6. Default window size.
    L.windowWidth = L.innerWidth + 20;
    L.windowHeight = L.innerHeight + 70;

    // 7. Group box.
    L.groupBoxWidth = L.kind == LayoutKind::Kind2 ? L.innerWidth - 10 : mapWidth;
    L.groupBoxHeight = mapHeight + 10;
    L.panelHeight = L.innerHeight;

    // 8. Port boxes.
    for (int i = 0; i < L.portCount; ++i) {
        PortBoxPlace& p = L.ports[i];
        p.created = true;
        if (!panel) {
            p.top = L.firstRowTop + (i / L.columns) * (L.portHeight + L.portGapY);
            p.left = L.portMargin + (i % L.columns) * (L.portWidth + L.portGapX);
        } else if (i == 0) {
            p.top = L.jobTop - 16;
            p.left = L.jobLeft + L.jobWidth + 160; // beside the function field
        } else {
            // Eight ports per column, top to bottom.
            const int k = i - 1;
            const int column = L.kind == LayoutKind::Kind1 ? 14 - k / 8 : k / 8;
            p.top = L.firstRowTop + (k % 8) * (L.portHeight + L.portGapY);
            p.left = L.portMargin + column * (L.portWidth + L.portGapX);
            // Kind 1 fills from the right: past 121 ports a column would lie
            // left of the map, so those ports are not created.
            p.created = column >= 0;
        }
    }

    // 10. With an image bank the box ends below the last port.
    if (L.hasImageBank && L.portCount > 0) {
        const PortBoxPlace& last = L.ports[L.portCount - 1];
        if (last.created) {
            L.groupBoxHeight = last.top + L.portHeight + 10;
            L.panelHeight = L.groupBoxHeight + 16;
        }
    }
    return L;
}

int centredPosition(int windowSize, int screenSize) {
    return windowSize < screenSize ? (screenSize - windowSize) / 2 : 0;
}

std::string portCaption(int index, LayoutKind kind) {
    return format("#%02d", kind == LayoutKind::Ordinary ? index + 1 : index);
}

} // namespace dupmon
