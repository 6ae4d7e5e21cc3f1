// The machine window's image-bank box: the images the bank holds, and the
// two buttons the machine takes no request for, which say so.
#include <QHeaderView>
#include <QTableWidget>
#include <QTableWidgetItem>
#include <algorithm>

#include "common/text.h"
#include "machine_window/tform_machine.h"
#include "machine_window/window_texts.h"
#include "protocol/machine_names.h"

namespace dupmon {

void TFormMachine::showImageBankTable(const uint8_t* table, uint32_t count) {
    if (!StringGrid_Images)
        return;
    // The machine tells which of its image places hold an image, not their
    // names or sizes: the images come first, by place, under "Name".
    const int rows = StringGrid_Images->rowCount();
    int row = 0;
    StringGrid_Images->clearContents();
    for (uint32_t place = 0; place < std::min<uint32_t>(count, kMaxImages) && row < rows; ++place) {
        if (table[place] == 0)
            continue;
        auto* name = new QTableWidgetItem(QString::fromStdString(format("Image %03u", place + 1)));
        name->setFlags(Qt::ItemIsEnabled);
        name->setToolTip(
            QString::fromStdString(format("Image place %u holds an image", place + 1)));
        StringGrid_Images->setItem(row++, 0, name);
    }
    StringGrid_Images->setToolTip(QString::fromStdString(
        format("%d of the bank's %u image places hold an image. The machine reports which "
               "places hold one, not their names, capacities or sizes.",
               row, count)));
}

void TFormMachine::Button_DeleteImageClick() {
    ui_.messageBox(model_.deleteImageNotice(), "Notice");
}

void TFormMachine::Button_RenameImageClick() {
    ui_.messageBox(model_.renameImageNotice(), "Notice");
}

} // namespace dupmon
