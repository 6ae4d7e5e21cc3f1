#pragma once
// MachineInfo: what identification learns about one controller, in the byte
// layout the registry keeps it in. The engine fills it; the windows, the log
// database and the reports read it.
#include <cstddef>
#include <cstdint>

namespace dupmon {

// The machine information record: what identification learns about one
// controller. 1128 bytes, host order, also stored whole (little-endian) as a
// registry entry.
//
// offset size field
//    0    1   entryInUse (registry in-use marker; unused in the live record)
//    1    1   deviceType
//    2    1   support_LogRecord
//    3    1   portQty_per_Row
//    4..11    feature flags (see below)
//   12    1   machineType
//   13   64   machineId
//   77  131   nickName
//  208    4   boardQty
//  212    4   portQty_per_board
//  216    4   maxDeviceQty
//  220    4   systemTotalBufferSize
//  224   64   modelName
//  288   36   version
//  324    4   lastStoredLogNo
//  328    4   Machine_LOG_startNo
//  332    4   Machine_LOG_nextNewNo
//  336  256   reserved
//  592   12   controller_version_MAJOR, _SUB, _MINOR
//  604    4   reserved
//  608    7   probe flags, feature bits 3/4/7, wideCounters, isMachineType16
//  615  513   reserved
struct MachineInfo {
    uint8_t entryInUse;
    uint8_t deviceType;
    uint8_t support_LogRecord;
    uint8_t portQty_per_Row;
    uint8_t flag_support_asynchronous_erase;
    uint8_t flag_support_one_Pellux_Device;
    uint8_t flag_support_asynchronous_PelluxCopy;
    uint8_t flag_support_batch_Command;
    uint8_t flag_support_RUN_ACTION_Command;
    uint8_t flag_support_PELLUX_FORMAT;
    uint8_t flag_support_HARDWARE_CHECK_HDD_EXIST;
    uint8_t flag_feature_bit5;
    uint8_t machineType;
    char machineId[64];
    char nickName[131];
    int32_t boardQty;
    int32_t portQty_per_board;
    int32_t maxDeviceQty;
    int32_t systemTotalBufferSize;
    char modelName[64];
    char version[36];
    int32_t lastStoredLogNo;
    uint32_t Machine_LOG_startNo;
    uint32_t Machine_LOG_nextNewNo;
    uint8_t reserved1[256];
    int32_t controller_version_MAJOR;
    int32_t controller_version_SUB;
    int32_t controller_version_MINOR;
    uint8_t reserved2[4];
    uint8_t flag_support_probe_machine;
    uint8_t flag_support_probe_machine_sensor;
    uint8_t flag_feature_bit3;
    uint8_t flag_feature_bit4;
    uint8_t flag_feature_bit7;
    uint8_t wideCounters;
    uint8_t isMachineType16;
    uint8_t reserved3[513];
};

static_assert(sizeof(MachineInfo) == 1128);
static_assert(offsetof(MachineInfo, machineId) == 13);
static_assert(offsetof(MachineInfo, nickName) == 77);
static_assert(offsetof(MachineInfo, boardQty) == 208);
static_assert(offsetof(MachineInfo, modelName) == 224);
static_assert(offsetof(MachineInfo, version) == 288);
static_assert(offsetof(MachineInfo, lastStoredLogNo) == 324);
static_assert(offsetof(MachineInfo, Machine_LOG_nextNewNo) == 332);
static_assert(offsetof(MachineInfo, controller_version_MAJOR) == 592);
static_assert(offsetof(MachineInfo, flag_support_probe_machine) == 608);
static_assert(offsetof(MachineInfo, isMachineType16) == 614);

} // namespace dupmon
