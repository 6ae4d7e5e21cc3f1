#pragma once
// One 128-byte job-log record: its layout, its decoded form, and the texts
// the report, the daily files and the log viewer make of it.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace dupmon {

constexpr size_t kLogRecordSize = 128;

// One job-log record, the work copy every reader decodes from. The stored
// bytes stay as the controller sent them (big-endian); decodeLogRecord()
// takes the fields below into host order and keeps the received bytes for
// the target information.
//
// offset size field
//    0    4   logNo            counts from 0, shown as logNo + 1      BE
//    4    6   year-2000, month, day, hour, minute, second
//   10    3   (not interpreted)
//   13    1   targetKind       1/7 USB, 2 SD, 3 CF, 5 MMC
//   14    1   function         index into the function-name table
//   15    2   (not interpreted)
//   17    1   detailCode       80/81 low speed, 34 no real size
//   18    1   optionFlags      0x10 WP on function 1, 0x01 WP on function 5, 0x08 "+P.WP"
//   19    5   (not interpreted)
//   24    4   capacity         sectors                                BE
//   28    4   (not interpreted)
//   32    4   dataSize         sectors handled (real size of capacity checks)  BE
//   36    4   sizeMB           media tests                            LE
//   40    4   errorAddress     sector                                 BE
//   44    4   readSpeed        sectors/s; CRC64 low half for function 29    BE
//   48    4   writeSpeed       sectors/s; CRC64 high half for function 29   BE
//   52    4   elapsedTime      seconds                                BE
//   56    2   copyTime         seconds                                BE
//   58    2   compareTime      seconds                                BE
//   60    1   areaOrPercent
//   61    1   (not interpreted)
//   62    1   resultCode       0 pass, 1 user abort, other failures
//   63    1   burnInStatus
//   64    2   vendorId                                                BE
//   66    2   productId                                               BE
//   68    4   loop             burn-in loop from 0                    BE
//   72    4   readLoop         burn-in read loop; CD image sectors    BE
//   76    4   errorCount       burn-in errors; low 16 bits CD sector size   BE
//   80    2   port                                                    BE
//   82    2   sectorSize       bytes per sector                       BE
//   84    4   (not interpreted)
//   88   40   target information: USB serial text, SD/MMC CID, CF identification
struct LogRecord {
    uint32_t logNo;
    uint8_t year, month, day, hour, minute, second;
    uint8_t targetKind;
    uint8_t function;
    uint8_t detailCode;
    uint8_t optionFlags;
    uint32_t capacity;
    uint32_t dataSize;
    uint32_t sizeMB;
    uint32_t errorAddress;
    uint32_t readSpeed;
    uint32_t writeSpeed;
    uint32_t elapsedTime;
    uint16_t copyTime;
    uint16_t compareTime;
    uint8_t areaOrPercent;
    uint8_t resultCode;
    uint8_t burnInStatus;
    uint16_t vendorId;
    uint16_t productId;
    uint32_t loop;
    uint32_t readLoop;
    uint32_t errorCount;
    uint16_t port;
    uint16_t sectorSize;
    uint8_t raw[kLogRecordSize]; // as received
};

// To host order: the work copy of 128 received bytes.
LogRecord decodeLogRecord(const uint8_t* bytes);

// The function-name table entry (functions 0..85), or nullptr.
const char* functionName(uint32_t function);

// Texts of the numbers a record carries.
std::string sizeText(uint32_t sectors, uint16_t sectorSize);
std::string speedText(uint32_t sectorsPerSecond, uint16_t sectorSize);
std::string timeText(uint32_t seconds);

uint32_t runTime(const LogRecord& r);
std::string capacityText(const LogRecord& r);
std::string resultText(const LogRecord& r);
std::string functionText(const LogRecord& r);

// Target information in the report form (SD and MMC with " CID:" and the raw
// register) or the viewer form (ending after the serial number).
enum class TargetForm { Report, Viewer };
std::string targetInfoText(const LogRecord& r, TargetForm form);
// Loop and error text of a burn-in record; empty where the target
// information is shown instead.
std::string burnInText(const LogRecord& r);

// The fixed-width line of the daily text files and reports, without a line end.
std::string reportLine(const LogRecord& r);
void appendReportLine(std::string& out, const LogRecord& r);

// The log viewer's eight columns: No., Date-Time, Port, Result, Function,
// RUN Time, Capacity(Sector), and the target or burn-in column.
constexpr int kLogViewerColumns = 8;
std::array<std::string, kLogViewerColumns> logViewerColumns(const LogRecord& r);
// Column `column` of logViewerColumns appended to `out`, for writers that
// build one long text (the log tool's csv).
void appendLogViewerColumn(std::string& out, const LogRecord& r, int column);
// What the last column shows for a kind of machine (deviceType): CID
// fields of SD cards, USB ids and serials, CF identification, or nothing set.
enum class TargetHeading { SdCid, UsbSerial, CfIdentification, Other };
TargetHeading targetHeading(int deviceType);

// Header text of a viewer column; the last one depends on the machine kind.
const char* logViewerHeader(int column, int deviceType);
int logViewerColumnWidth(int column);

} // namespace dupmon
