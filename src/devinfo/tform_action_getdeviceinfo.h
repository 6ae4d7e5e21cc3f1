#pragma once
#include <QDialog>
#include <filesystem>

#include "devinfo/get_device_info.h"
#include "machine_window/device_info_text.h"

class QFileDialog;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace dupmon {

// The window's own title, spelt as the machines' documents spell it; shown
// for a machine, the machine's name follows it.
inline constexpr const char* kDeviceInfoCaption = "Get Device Infomation";

// "Get Device Infomation": fetches the device information of every port of
// one machine, shows it, appends it to the operator's file and, for machines
// that check serial numbers, keeps the check-ID list. Created once at program
// start; the machine window hands it the machine's requests before each
// showing. What it keeps and decides is GetDeviceInfoCore's.
class TFormAction_GetDeviceInfo : public QDialog, public DeviceInfoResultSink {
    Q_OBJECT
public:
    // FormCreate.
    TFormAction_GetDeviceInfo(std::filesystem::path workDir, const Clock& clock, UiServices& ui,
                              QWidget* parent = nullptr);
    // FormDestroy: the parameter file keeps the placement and the two files.
    ~TFormAction_GetDeviceInfo() override;

    // Serve this machine and show the window modally.
    void showFor(MachineRequests* machine);

    // DeviceInfoResultSink
    bool checkSerial(uint32_t serialNo) override;
    void showResult(const std::string& text) override;
    void showFailure(const std::string& why) override;

    GetDeviceInfoCore& core() { return core_; }

    QPlainTextEdit* Memo1;
    QPushButton* Button_selectFile;
    QLineEdit* Edit_TargetFilename;
    QPushButton* Button_setCheck_ID_file;
    QLineEdit* Edit_check_ID_filename;
    QLineEdit* Edit_ID_Qty;
    QPushButton* Button_doGetDeviceInfo;
    QPushButton* Button_Exit;
    QFileDialog* SaveDialog1;

protected:
    void showEvent(QShowEvent* event) override;
    // Every way of closing passes here: Exit, the close button, Escape.
    void done(int result) override;

private:
    void Button_selectFileClick();
    void Button_select_check_ID_FileClick();
    void Button_doGetDeviceInfoClick();
    void refresh();
    // The one file dialog serves both buttons: it opens on the file the
    // button set before (or none), never on the other button's file.
    bool runSaveDialog(const std::string& current, std::filesystem::path& chosen);

    GetDeviceInfoCore core_;
};

} // namespace dupmon
