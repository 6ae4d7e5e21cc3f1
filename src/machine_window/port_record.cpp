// Decoding port records from big-endian wire bytes: the wide 114-byte record
// field by field, and the compact records of the other layouts.
#include "machine_window/port_record.h"

#include <cstring>
#include <initializer_list>

#include "common/byte_order.h"
#include "protocol/command_machine.h"

namespace dupmon {

namespace {

using R = PortRecord;

// Consecutive single-byte fields, in wire order.
void takeBytes(PortRecord& p, const uint8_t* r,
               std::initializer_list<uint8_t PortRecord::*> fields) {
    for (auto f : fields)
        p.*f = *r++;
}

// A sector size carried by a compact record also gives the MiB divisor.
void takeSectorSize(PortRecord& port, uint16_t size) {
    if (size == 0)
        return;
    port.sectorSize = size;
    port.sectorsPerMB = 1048576u / size;
}

void decodeWide(const uint8_t* r, PortRecord& p) {
    p.addr = readBE64(r + 0);
    p.capacity = readBE64(r + 8);
    p.completeSector = readBE64(r + 16);
    p.dataSectors = readBE64(r + 24);
    p.realCapacity = readBE64(r + 32);
    p.failAddr = readBE64(r + 40);
    p.value48 = readBE32(r + 48);
    p.loop = readBE32(r + 52);
    p.value56 = readBE32(r + 56);
    p.value60 = readBE32(r + 60);
    p.speed = readBE32(r + 64);
    p.value68 = readBE32(r + 68);
    p.rSpeed = readBE32(r + 72);
    p.wSpeed = readBE32(r + 76);
    p.sectorsPerMB = readBE32(r + 80);
    std::memcpy(p.raw84, r + 84, 4); // never read, so never converted
    p.value88 = readBE16(r + 88);
    p.value90 = readBE16(r + 90);
    p.rLoop = readBE16(r + 92);
    p.sectorSize = readBE16(r + 94);
    takeBytes(p, r + 96,
              {&R::usbCardStatus, &R::byte97, &R::life, &R::chipStatus, &R::byte100, &R::isRead,
               &R::isCompare, &R::result, &R::cardExist, &R::inWorking, &R::subProcess,
               &R::erasePattern});
    std::memcpy(p.bytes108, r + 108, 4);
    p.protectBits = r[112];
    p.byte113 = r[113];
}

} // namespace

size_t portLayoutSize(int kind) {
    return portRecordSize(kind, true);
}

void decodePortLayout(int kind, const uint8_t* r, PortRecord& p) {
    switch (kind) {
    case 1:
        decodeWide(r, p);
        break;
    case 2:
        p.capacity = readBE32(r + 0);
        p.sectorsPerMB = readBE32(r + 4);
        p.dataSectors = readBE32(r + 8);
        p.sectorSize = readBE16(r + 12);
        takeBytes(p, r + 14, {&R::usbCardStatus, &R::chipStatus, &R::cardExist});
        break;
    case 3:
        p.completeSector = readBE32(r + 0);
        takeBytes(p, r + 4,
                  {&R::usbCardStatus, &R::chipStatus, &R::cardExist, &R::inWorking, &R::isRead,
                   &R::isCompare});
        break;
    case 4:
        p.capacity = readBE32(r + 0);
        p.completeSector = readBE32(r + 4);
        takeSectorSize(p, readBE16(r + 8));
        takeBytes(p, r + 10,
                  {&R::usbCardStatus, &R::chipStatus, &R::cardExist, &R::inWorking, &R::isRead,
                   &R::isCompare, &R::result});
        break;
    case 5:
        p.capacity = readBE32(r + 0);
        p.realCapacity = readBE32(r + 4);
        takeSectorSize(p, readBE16(r + 8));
        takeBytes(p, r + 10,
                  {&R::usbCardStatus, &R::chipStatus, &R::cardExist, &R::inWorking, &R::result});
        break;
    case 6:
        p.completeSector = readBE32(r + 0);
        p.capacity = readBE32(r + 4);
        p.speed = readBE32(r + 8);
        p.rSpeed = readBE32(r + 12);
        p.wSpeed = readBE32(r + 16);
        takeSectorSize(p, readBE16(r + 20));
        takeBytes(p, r + 22,
                  {&R::usbCardStatus, &R::chipStatus, &R::cardExist, &R::inWorking, &R::isRead,
                   &R::isCompare, &R::result, &R::subProcess});
        break;
    case 7:
        p.addr = readBE32(r + 0);
        p.capacity = readBE32(r + 4);
        takeSectorSize(p, readBE16(r + 8));
        takeBytes(p, r + 10,
                  {&R::usbCardStatus, &R::chipStatus, &R::cardExist, &R::inWorking, &R::isRead,
                   &R::isCompare, &R::result, &R::subProcess, &R::erasePattern});
        break;
    case 8: // burn-in progress: carries no sector size
        p.completeSector = readBE32(r + 0);
        p.loop = readBE32(r + 4);
        p.value56 = readBE32(r + 8);
        p.rLoop = readBE16(r + 12);
        takeBytes(p, r + 14,
                  {&R::byte97, &R::life, &R::usbCardStatus, &R::chipStatus, &R::cardExist,
                   &R::inWorking, &R::isRead, &R::isCompare});
        break;
    case 9:
        p.addr = readBE32(r + 0);
        p.loop = readBE32(r + 4);
        p.value56 = readBE32(r + 8);
        p.rLoop = readBE16(r + 12);
        takeSectorSize(p, readBE16(r + 14));
        takeBytes(p, r + 16,
                  {&R::byte97, &R::life, &R::usbCardStatus, &R::chipStatus, &R::cardExist,
                   &R::inWorking, &R::isRead, &R::isCompare, &R::result, &R::subProcess});
        break;
    case 11:
        p.addr = readBE64(r + 0);
        p.capacity = readBE64(r + 8);
        p.completeSector = readBE64(r + 16);
        p.realCapacity = readBE64(r + 24);
        p.dataSectors = readBE64(r + 32);
        p.sectorsPerMB = readBE32(r + 40);
        p.speed = readBE32(r + 44);
        p.rSpeed = readBE32(r + 48);
        p.wSpeed = readBE32(r + 52);
        p.sectorSize = readBE16(r + 56);
        takeBytes(p, r + 58,
                  {&R::usbCardStatus, &R::chipStatus, &R::cardExist, &R::inWorking, &R::isRead,
                   &R::isCompare, &R::result, &R::subProcess, &R::erasePattern});
        break;
    default:
        break;
    }
}

} // namespace dupmon
