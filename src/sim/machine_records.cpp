// The stand-in machine's record encoders: job-log records, port data
// records of every kind in both layouts, device information and the image
// bank's answer. They are written from the machine's side of the wire, apart
// from the host's decoders, so that each checks the other.
#include "sim/machine_model.h"

#include <algorithm>
#include <cstring>

#include "common/byte_order.h"
#include "common/text.h"
#include "protocol/checksum.h"
#include "sim/machine_parts.h"

namespace dupmon {

using machine_parts::low32;

namespace {

void putText(uint8_t* dst, size_t size, const std::string& s) {
    std::memset(dst, 0, size);
    std::memcpy(dst, s.data(), std::min(size, s.size()));
}

// Target kind of a job-log record: 1 USB, 2 SD, 3 CF, 5 MMC.
uint8_t targetKind(MediaKind k) {
    switch (k) {
    case MediaKind::Usb:
        return 1;
    case MediaKind::Sd:
        return 2;
    case MediaKind::Cf:
        return 3;
    case MediaKind::Mmc:
        return 5;
    }
    return 0;
}

} // namespace

// --- job log -------------------------------------------------------------

// Job-log record, 128 bytes, big-endian unless noted:
//   0 4 log number        4 6 date and time (year - 2000 first)
//  13 1 target kind      14 1 function      17 1 detail      18 1 options
//  24 4 capacity         32 4 data size     36 4 size in MB (little-endian)
//  40 4 error address    44 4 read speed    48 4 write speed  52 4 elapsed s
//  56 2 copy time        58 2 compare time  60 1 area/percent 62 1 result
//  63 1 burn-in status   64 2 vendor id     66 2 product id   68 4 loop
//  72 4 read loop        76 4 error count   80 2 port         82 2 sector size
//  88 40 target: USB serial text, SD/MMC CID, CF identification text
namespace machine_parts {

void writeLogRecord(uint8_t* r, const LogEntry& e, const SimMedium& m) {
    std::memset(r, 0, MachineModel::kLogRecordSize);
    writeBE32(r, e.number);
    r[4] = static_cast<uint8_t>(std::clamp(e.when.year - 2000, 0, 255));
    r[5] = static_cast<uint8_t>(e.when.month);
    r[6] = static_cast<uint8_t>(e.when.day);
    r[7] = static_cast<uint8_t>(e.when.hour);
    r[8] = static_cast<uint8_t>(e.when.minute);
    r[9] = static_cast<uint8_t>(e.when.second);
    r[13] = targetKind(m.kind);
    r[14] = e.function;
    r[17] = e.detail;
    writeBE32(r + 24, m.sectors);
    writeBE32(r + 32, e.dataSize);
    writeLE32(r + 36, e.sizeMB);
    writeBE32(r + 40, e.errorAddr);
    writeBE32(r + 44, e.readSpeed);
    writeBE32(r + 48, e.writeSpeed);
    writeBE32(r + 52, e.elapsed);
    writeBE16(r + 56, e.copyTime);
    writeBE16(r + 58, e.compareTime);
    r[60] = e.area;
    r[62] = e.result;
    r[63] = e.burnStatus;
    writeBE32(r + 68, e.loop);
    writeBE32(r + 72, e.readLoop);
    writeBE32(r + 76, e.errorCount);
    writeBE16(r + 80, e.port);
    writeBE16(r + 82, m.sectorSize);
    switch (m.kind) {
    case MediaKind::Usb:
        writeBE16(r + 64, m.vendorId);
        writeBE16(r + 66, m.productId);
        putText(r + 88, 40, m.serial);
        break;
    case MediaKind::Sd:
    case MediaKind::Mmc:
        std::memcpy(r + 88, m.cid.data(), 16);
        break;
    case MediaKind::Cf: {
        // 40 characters without a NUL: model, firmware, serial number.
        const std::string text =
            format("%-20.20s%-8.8s%-12.12s", m.model.c_str(), m.firmware.c_str(), m.serial.c_str());
        std::memcpy(r + 88, text.data(), 40);
        if (e.function != FN_BURN_IN)
            putText(r + 64, 16, "CF:"); // text prefix in place of the USB ids
        break;
    }
    }
}

} // namespace machine_parts

// --- port data records ---------------------------------------------------

size_t MachineModel::portRecordSize(uint8_t kind) const {
    switch (kind) {
    case 1:
        return wide() ? 114 : 90;
    case 2:
        return 20;
    case 3:
        return 12;
    case 4:
        return 20;
    case 5:
        return 16;
    case 6:
        return 32;
    case 7:
        return 20;
    case 8:
        return 24;
    case 9:
        return 28;
    case 11:
        return wide() ? 72 : 48;
    default:
        return 0;
    }
}

void MachineModel::portRecord(uint8_t kind, size_t index, uint8_t* r) const {
    const size_t size = portRecordSize(kind);
    std::memset(r, 0, size);
    if (index >= ports_.size())
        return;
    const SimPort& p = ports_[index];
    const uint8_t exist = p.medium.present ? 1 : 0;
    const uint16_t ss = p.medium.present ? p.medium.sectorSize : 0;
    const uint32_t spm = p.sectorsPerMB();
    switch (kind) {
    case 1:
        if (wide()) {
            // Port status record, wide layout (114 bytes): six u64 counters,
            // u32 at 48..84, u16 at 88..94, bytes at 96..113.
            writeBE64(r + 0, p.addr);
            writeBE64(r + 8, p.capacity());
            writeBE64(r + 16, p.completeSector);
            writeBE64(r + 24, p.dataSectors);
            writeBE64(r + 32, p.realCapacity);
            writeBE64(r + 40, p.failAddr);
            writeBE32(r + 52, p.loop);
            writeBE32(r + 64, p.speed);
            writeBE32(r + 72, p.rSpeed);
            writeBE32(r + 76, p.wSpeed);
            writeBE32(r + 80, spm);
            writeBE16(r + 92, p.rLoop);
            writeBE16(r + 94, ss);
            r += 96;
        } else {
            // Narrow layout (90 bytes): 32-bit counters.
            writeBE32(r + 0, low32(p.addr));
            writeBE32(r + 4, low32(p.capacity()));
            writeBE32(r + 8, low32(p.completeSector));
            writeBE32(r + 12, spm);
            writeBE32(r + 16, low32(p.dataSectors));
            writeBE32(r + 20, low32(p.realCapacity));
            writeBE32(r + 28, p.loop);   // wide 52
            writeBE32(r + 40, p.speed);  // wide 64
            writeBE32(r + 48, p.rSpeed); // wide 72
            writeBE32(r + 52, p.wSpeed); // wide 76
            writeBE32(r + 56, low32(p.failAddr));
            writeBE16(r + 68, p.rLoop);
            writeBE16(r + 70, ss);
            r += 72;
        }
        // The eighteen status bytes (wide 96..113).
        r[0] = p.usbCardStatus;
        r[2] = p.life;
        r[3] = p.chipStatus;
        r[5] = p.isRead;
        r[6] = p.isCompare;
        r[7] = p.result;
        r[8] = exist;
        r[9] = p.inWorking;
        r[10] = p.subProcess;
        r[11] = p.erasePattern;
        r[16] = p.protectBits;
        return;
    case 2:
        writeBE32(r + 0, low32(p.capacity()));
        writeBE32(r + 4, spm);
        writeBE32(r + 8, low32(p.dataSectors));
        writeBE16(r + 12, ss);
        r[14] = p.usbCardStatus;
        r[15] = p.chipStatus;
        r[16] = exist;
        return;
    case 3:
        writeBE32(r + 0, low32(p.completeSector));
        r[4] = p.usbCardStatus;
        r[5] = p.chipStatus;
        r[6] = exist;
        r[7] = p.inWorking;
        r[8] = p.isRead;
        r[9] = p.isCompare;
        return;
    case 4:
        writeBE32(r + 0, low32(p.capacity()));
        writeBE32(r + 4, low32(p.completeSector));
        writeBE16(r + 8, ss);
        r[10] = p.usbCardStatus;
        r[11] = p.chipStatus;
        r[12] = exist;
        r[13] = p.inWorking;
        r[14] = p.isRead;
        r[15] = p.isCompare;
        r[16] = p.result;
        return;
    case 5:
        writeBE32(r + 0, low32(p.capacity()));
        writeBE32(r + 4, low32(p.realCapacity));
        writeBE16(r + 8, ss);
        r[10] = p.usbCardStatus;
        r[11] = p.chipStatus;
        r[12] = exist;
        r[13] = p.inWorking;
        r[14] = p.result;
        return;
    case 6:
        writeBE32(r + 0, low32(p.completeSector));
        writeBE32(r + 4, low32(p.capacity()));
        writeBE32(r + 8, p.speed);
        writeBE32(r + 12, p.rSpeed);
        writeBE32(r + 16, p.wSpeed);
        writeBE16(r + 20, ss);
        r[22] = p.usbCardStatus;
        r[23] = p.chipStatus;
        r[24] = exist;
        r[25] = p.inWorking;
        r[26] = p.isRead;
        r[27] = p.isCompare;
        r[28] = p.result;
        r[29] = p.subProcess;
        return;
    case 7:
        writeBE32(r + 0, low32(p.addr));
        writeBE32(r + 4, low32(p.capacity()));
        writeBE16(r + 8, ss);
        r[10] = p.usbCardStatus;
        r[11] = p.chipStatus;
        r[12] = exist;
        r[13] = p.inWorking;
        r[14] = p.isRead;
        r[15] = p.isCompare;
        r[16] = p.result;
        r[17] = p.subProcess;
        r[18] = p.erasePattern;
        return;
    case 8:
        writeBE32(r + 0, low32(p.completeSector));
        writeBE32(r + 4, p.loop);
        writeBE16(r + 12, p.rLoop);
        r[15] = p.life;
        r[16] = p.usbCardStatus;
        r[17] = p.chipStatus;
        r[18] = exist;
        r[19] = p.inWorking;
        r[20] = p.isRead;
        r[21] = p.isCompare;
        return;
    case 9:
        writeBE32(r + 0, low32(p.addr));
        writeBE32(r + 4, p.loop);
        writeBE16(r + 12, p.rLoop);
        writeBE16(r + 14, ss);
        r[17] = p.life;
        r[18] = p.usbCardStatus;
        r[19] = p.chipStatus;
        r[20] = exist;
        r[21] = p.inWorking;
        r[22] = p.isRead;
        r[23] = p.isCompare;
        r[24] = p.result;
        r[25] = p.subProcess;
        return;
    case 11:
        if (wide()) {
            writeBE64(r + 0, p.addr);
            writeBE64(r + 8, p.capacity());
            writeBE64(r + 16, p.completeSector);
            writeBE64(r + 24, p.realCapacity);
            writeBE64(r + 32, p.dataSectors);
            writeBE32(r + 40, spm);
            writeBE32(r + 44, p.speed);
            writeBE32(r + 48, p.rSpeed);
            writeBE32(r + 52, p.wSpeed);
            writeBE16(r + 56, ss);
            r += 58;
        } else {
            // Narrow: wide 0, 8, 16, 32, 24 at 0, 4, 8, 12, 16.
            writeBE32(r + 0, low32(p.addr));
            writeBE32(r + 4, low32(p.capacity()));
            writeBE32(r + 8, low32(p.completeSector));
            writeBE32(r + 12, low32(p.dataSectors));
            writeBE32(r + 16, low32(p.realCapacity));
            writeBE32(r + 20, spm);
            writeBE32(r + 24, p.speed);
            writeBE32(r + 28, p.rSpeed);
            writeBE32(r + 32, p.wSpeed);
            writeBE16(r + 36, ss);
            r += 38;
        }
        r[0] = p.usbCardStatus;
        r[1] = p.chipStatus;
        r[2] = exist;
        r[3] = p.inWorking;
        r[4] = p.isRead;
        r[5] = p.isCompare;
        r[6] = p.result;
        r[7] = p.subProcess;
        r[8] = p.erasePattern;
        return;
    default:
        return;
    }
}

// --- device information --------------------------------------------------

// Device information block: 0 count (BE16), 2 record size (BE16), 4 type
// (1 USB, 2 SD/MMC, 3 CF), records from 8. Record byte 0: 0 no device,
// 3 present, 1 bad. USB (96 bytes): 4 VID, 6 PID, 8 serial[40], 52 sectors,
// 64 sector size, 66 vendor[8], 74 product[16], 90 revision[4].
// SD (48 bytes): 1 card kind (1 SD, 2 MMC), 8 sectors, 28 serial, 32 year,
// 34 month, 35 MID, 36 OID[2], 38 name[5], 44/45 revision, 46 sector size.
// CF (88 bytes): 8 sectors, 12 sector size, 20 serial[20], 40 firmware[8],
// 48 model[40]. Sent as 32-byte blocks followed by one block check each.
void MachineModel::collectDeviceInformation(uint32_t nowMs) {
    const bool sd = profile_.media == MediaKind::Sd || profile_.media == MediaKind::Mmc ||
                    profile_.deviceType == 10;
    const bool cf = profile_.media == MediaKind::Cf;
    const size_t z = sd ? 48 : cf ? 88 : 96;
    const size_t n = ports_.size();
    std::vector<uint8_t> data(8 + n * z, 0);
    writeBE16(data.data(), static_cast<uint16_t>(n));
    writeBE16(data.data() + 2, static_cast<uint16_t>(z));
    data[4] = sd ? 2 : cf ? 3 : 1;
    for (size_t j = 0; j < n; ++j) {
        const SimMedium& m = ports_[j].medium;
        uint8_t* r = data.data() + 8 + j * z;
        if (!m.present)
            continue;
        r[0] = m.bad ? 1 : 3;
        if (sd) {
            const bool mmc = m.kind == MediaKind::Mmc;
            r[1] = mmc ? 2 : 1;
            writeBE32(r + 8, m.sectors);
            const uint8_t* c = m.cid.data();
            if (mmc) {
                writeBE32(r + 28, readBE32(c + 10));
                writeBE16(r + 32, static_cast<uint16_t>(1997 + (c[14] & 0x0F)));
                r[34] = c[14] >> 4;
                r[35] = c[0];
                r[36] = c[1];
                r[37] = c[2];
                std::memcpy(r + 38, c + 3, 5);
                r[44] = c[9] >> 4;
                r[45] = c[9] & 0x0F;
            } else {
                writeBE32(r + 28, readBE32(c + 9));
                writeBE16(r + 32, static_cast<uint16_t>(2000 + ((c[13] & 0x0F) << 4 | c[14] >> 4)));
                r[34] = c[14] & 0x0F;
                r[35] = c[0];
                r[36] = c[1];
                r[37] = c[2];
                std::memcpy(r + 38, c + 3, 5);
                r[44] = c[8] >> 4;
                r[45] = c[8] & 0x0F;
            }
            writeBE16(r + 46, m.sectorSize);
        } else if (cf) {
            writeBE32(r + 8, m.sectors);
            writeBE16(r + 12, m.sectorSize);
            putText(r + 20, 20, m.serial);
            putText(r + 40, 8, m.firmware);
            putText(r + 48, 40, m.model);
        } else {
            writeBE16(r + 4, m.vendorId);
            writeBE16(r + 6, m.productId);
            putText(r + 8, 40, m.serial);
            writeBE32(r + 52, m.sectors);
            writeBE16(r + 64, m.sectorSize);
            putText(r + 66, 8, m.vendor);
            putText(r + 74, 16, m.product);
            putText(r + 90, 4, m.revision);
        }
    }
    const size_t blocks = (data.size() + 31) / 32;
    data.resize(blocks * 32, 0);
    devInfo_ = data;
    for (size_t j = 0; j < blocks; ++j)
        devInfo_.push_back(blockCheck(data.data() + j * 32, 32));
    devInfoReadyAt_ = nowMs + 300;
}

bool MachineModel::deviceInformationReady(uint32_t nowMs) const {
    return !devInfo_.empty() && static_cast<int32_t>(nowMs - devInfoReadyAt_) >= 0;
}

// --- image bank ----------------------------------------------------------

// Answer frame of Y 3 (256 bytes, numbers big-endian):
//   0 "#", length, result   4 identifySymbol[64]   68 version[16]
//  84 u64 disk sectors   92 bytes per sector   96 max_image_qty
// 100 max_dataBank_qty  104 SectorQty_per_dataBank  108 free_image_qty
// 112 free_dataBank_qty  252 CRC-32 of bytes 0..251
void MachineModel::imageBankBlock(uint8_t* b) const {
    std::memset(b, 0, 256);
    b[0] = 0x23;
    writeBE16(b + 1, 253);
    b[3] = 0;
    putText(b + 4, 64, "SIM IMAGE BANK " + machineId);
    putText(b + 68, 16, "v1.04");
    writeBE64(b + 84, 1953525168ull);
    writeBE32(b + 92, 512);
    writeBE32(b + 96, maxImageQty);
    const uint32_t banks = 900;
    uint32_t used = 0;
    for (bool i : images)
        used += i ? 1 : 0;
    writeBE32(b + 100, banks);
    writeBE32(b + 104, 2097152);
    writeBE32(b + 108, maxImageQty - std::min(used, maxImageQty));
    writeBE32(b + 112, banks - std::min(banks, used * 8));
    writeBE32(b + 252, crc32(b, 252));
}

std::vector<uint8_t> MachineModel::imageBankTable() const {
    std::vector<uint8_t> t(maxImageQty, 0);
    for (size_t i = 0; i < t.size() && i < images.size(); ++i)
        t[i] = images[i] ? 1 : 0;
    return t;
}

} // namespace dupmon
