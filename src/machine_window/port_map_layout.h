#pragma once
#include <string>

#include "machine_window/port_record.h"
#include "machine_window/port_status_board.h"
#include "protocol/machine_info.h"

namespace dupmon {

struct PortBoxPlace {
    int top = 0;
    int left = 0;
    bool created = false; // false for kind-1 ports that would lie left of the map
};

// The geometry of a machine window, in pixels, decided from its MachineInfo.
// Positions are relative to GroupBox_Machine unless named otherwise.
struct PortMapLayout {
    LayoutKind kind = LayoutKind::Ordinary;
    bool hasImageBank = false;
    bool tooManyPorts = false; // more than 256: nothing but the menu is built
    int portCount = 0;
    int columns = 1;
    int rows = 0;

    int jobTop = 30, jobLeft = 10, jobWidth = 450, jobHeight = 30, noteHeight = 12;
    int portGapX = 4, portGapY = 16, portMargin = 6;
    int portWidth = 135, portHeight = 70;
    int lineTop = 16, lineLeft = 2, lineWidth = 131, lineHeight = 25;
    int portFontSize = 12;
    int firstRowTop = 112;

    int innerWidth = 0;  // W: Panel_Main's width
    int innerHeight = 0; // H: the window's content height
    int windowWidth = 0; // default window size (without a placement file)
    int windowHeight = 0;
    int groupBoxWidth = 0;
    int groupBoxHeight = 0;
    int panelHeight = 0; // Panel_Main's height (H, or fitted to the ports with an image bank)

    PortBoxPlace ports[kMaxPorts];
};

PortMapLayout computePortMap(const MachineInfo& info);

// Centred in a screen of the given size, or at 0 when it does not fit.
int centredPosition(int windowSize, int screenSize);

// "#01" style caption: the port number with at least two digits; ports count
// from 1 in the ordinary kind and from 0 (the master port) in kinds 1 and 2.
std::string portCaption(int index, LayoutKind kind);

} // namespace dupmon
