#pragma once
// Performance by PORT as a picture of the machine's own port map: each port
// in the place and with the caption the machine window gives it, coloured by
// its failure rate, with its counts and a mark when its failures stand out.
#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "logdb/log_stats.h"
#include "machine_window/port_map_layout.h"
#include "protocol/machine_info.h"

namespace dupmon {

// The colour of a port by the failure rate of its finished jobs: bands that
// a legend can name, the same on every machine.
struct FailureBand {
    double below; // percent; the band holds rates under this
    uint32_t rgb; // 0xRRGGBB
    const char* label;
};
inline constexpr std::array<FailureBand, 6> kFailureBands{{
    {1e-9, 0x2E9E4F, "0%"},
    {2, 0x9ACD32, "under 2%"},
    {5, 0xF2D43A, "2 to 5%"},
    {10, 0xF5A02A, "5 to 10%"},
    {20, 0xE8642A, "10 to 20%"},
    {1e9, 0xC62828, "20% or more"},
}};
inline constexpr uint32_t kNoJobsRgb = 0xC8C8C8;
uint32_t failureRgb(const OutcomeCounts& counts);

struct PortCell {
    // The port map's index of the port, which is the port number the job
    // log records.
    int index = 0;
    std::string caption; // as the machine window writes it ("#02")
    PortBoxPlace place;
    OutcomeCounts counts;
    bool standsOut = false;
    double pValue = 1.0;
    uint32_t rgb = kNoJobsRgb;
};

struct PortChart {
    LayoutKind kind = LayoutKind::Ordinary;
    bool tooManyPorts = false; // the machine window draws no map either
    int columns = 1;
    int rows = 0;
    bool hasApart = false;            // the master port sits apart (kinds 1 and 2)
    std::vector<PortCell> cells;      // every port of the map, by index
    std::vector<PortFigures> outside; // ports of the log the map has no place for
};
PortChart buildPortChart(const MachineInfo& info, const LogStats& stats);

// The failed jobs of one port in a range, newest last: at most `limit` of
// them (the newest), and how many there were.
struct PortFailures {
    DatabaseResult result = PASS;
    std::string problem;
    uint64_t total = 0;
    std::vector<std::array<uint8_t, 128>> records;
};
PortFailures collectPortFailures(const std::filesystem::path& database, uint16_t port, bool ranged,
                                 ReportDate from, ReportDate to, size_t limit,
                                 const std::atomic<bool>* cancel = nullptr);

} // namespace dupmon
