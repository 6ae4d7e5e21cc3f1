#pragma once
// Where the machine window puts its job panels and port boxes, decided
// without a window so that Performance by PORT and the detail report use the
// same map.
#include <string>

#include "machine_window/port_record.h"
#include "machine_window/port_status_board.h"
#include "protocol/machine_info.h"

namespace dupmon {

// Where a port sits in the port map: its column and row of the grid. In the
// panel kinds port 0, the master port, sits apart beside the function field.
struct PortBoxPlace {
    int column = 0;
    int row = 0;
    bool apart = false;   // the master port of kinds 1 and 2
    bool created = false; // false for kind-1 ports that would lie left of the map
};

// Sizes the window measures from its fonts, in pixels; the defaults are the
// sizes the window was first drawn with, which remain the least it uses.
struct PortMapMetrics {
    int portWidth = 0, portHeight = 0; // one port box
    int headerWidth = 0;               // the function field, job panels and the rest beside them
    int headerHeight = 0;              // from the group box's top to the job panels' bottom
};

// Where the window puts everything, in pixels relative to GroupBox_Machine.
struct PortMapGeometry {
    int firstRowTop = 0; // top of the port grid
    int mapWidth = 0;    // the grid with its margins
    int groupBoxWidth = 0;
    int groupBoxHeight = 0;
    int panelWidth = 0; // Panel_Main, the group box with its margin
    int panelHeight = 0;
};

// The port map of a machine, decided from its MachineInfo: how many columns
// and rows, where each port goes, and the sizes the window starts from.
struct PortMapLayout {
    LayoutKind kind = LayoutKind::Ordinary;
    bool hasImageBank = false;
    bool tooManyPorts = false; // more than 256: nothing but the menu is built
    int portCount = 0;
    int columns = 1;
    int rows = 0; // rows of the grid that hold a port

    // The sizes of each kind, the least the window uses (it grows them to
    // what its fonts need).
    int jobWidth = 450, jobHeight = 30;
    int functionFontSize = 24;
    int portGapX = 4, portGapY = 16, portMargin = 6;
    int portWidth = 135, portHeight = 70;
    int lineTop = 16, lineLeft = 2, lineWidth = 131, lineHeight = 25;
    int portFontSize = 12;

    PortBoxPlace ports[kMaxPorts];

    // Places the grid under the header, with ports of the measured size.
    PortMapGeometry place(const PortMapMetrics& m) const;
    // A port's top-left corner in the grid placed by `place` (not for a port apart).
    int portLeft(int i, const PortMapMetrics& m) const;
    int portTop(int i, const PortMapMetrics& m, const PortMapGeometry& g) const;
};

PortMapLayout computePortMap(const MachineInfo& info);

// Where a view `view` long scrolls along one axis (0 .. `maxScroll`) so that
// the span [portFrom, portTo) of the first port shows whole and as much of
// [jobFrom, jobTo) of the job panels as fits beside it; not at all while the
// port shows from the start.
int scrollToShow(int jobFrom, int jobTo, int portFrom, int portTo, int view, int maxScroll);

// The port whose box is "#01": the first port of the ordinary kind, the first
// after the master port in the panel kinds.
int firstPortIndex(LayoutKind kind, int portCount);

// "#01" style caption: the port number with at least two digits; ports count
// from 1 in the ordinary kind and from 0 (the master port) in kinds 1 and 2.
std::string portCaption(int index, LayoutKind kind);

} // namespace dupmon
