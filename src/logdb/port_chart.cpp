// Laying out Performance by PORT: each port's place from the machine's port
// map, its colour by failure rate, and the failures of one port.
#include "logdb/port_chart.h"

#include <algorithm>
#include <cstring>
#include <deque>

#include "common/byte_order.h"
#include "logdb/log_database.h"

namespace dupmon {

uint32_t failureRgb(const OutcomeCounts& counts) {
    if (counts.finished() == 0)
        return kNoJobsRgb;
    const double rate = counts.failurePercent();
    for (const FailureBand& band : kFailureBands)
        if (rate < band.below)
            return band.rgb;
    return kFailureBands.back().rgb;
}

PortChart buildPortChart(const MachineInfo& info, const LogStats& stats) {
    const PortMapLayout layout = computePortMap(info);
    PortChart chart;
    chart.kind = layout.kind;
    chart.tooManyPorts = layout.tooManyPorts;
    chart.columns = layout.columns;
    chart.rows = layout.rows;
    for (int i = 0; i < layout.portCount; ++i) {
        if (!layout.ports[i].created)
            continue;
        PortCell cell;
        cell.index = i;
        cell.caption = portCaption(i, layout.kind);
        cell.place = layout.ports[i];
        chart.hasApart |= cell.place.apart;
        chart.cells.push_back(std::move(cell));
    }
    // The log's port number is the index the window gives the port's box.
    for (const PortFigures& p : stats.ports) {
        auto it = std::find_if(chart.cells.begin(), chart.cells.end(),
                               [&](const PortCell& c) { return c.index == p.port; });
        if (it == chart.cells.end()) {
            chart.outside.push_back(p);
            continue;
        }
        it->counts = p.counts;
        it->standsOut = p.standsOut;
        it->pValue = p.pValue;
        it->rgb = failureRgb(p.counts);
    }
    return chart;
}

PortFailures collectPortFailures(const std::filesystem::path& database, uint16_t port, bool ranged,
                                 ReportDate from, ReportDate to, size_t limit,
                                 const std::atomic<bool>* cancel) {
    PortFailures out;
    LogRecordReader reader;
    out.result = reader.open(database);
    out.problem = reader.problem();
    if (out.result != PASS)
        return out;
    std::deque<std::array<uint8_t, 128>> newest;
    uint32_t sinceCheck = 0;
    while (const uint8_t* r = reader.next()) {
        if (cancel && ++sinceCheck == 16384) {
            sinceCheck = 0;
            if (cancel->load(std::memory_order_relaxed))
                return out;
        }
        if (readBE16(r + 80) != port || recordOutcome(r).outcome != JobOutcome::Fail)
            continue;
        if (ranged && (!hasRealDate(r) || !isInReportRange(r, from, to)))
            continue;
        ++out.total;
        if (limit == 0)
            continue;
        if (newest.size() == limit)
            newest.pop_front();
        newest.emplace_back();
        std::memcpy(newest.back().data(), r, 128);
    }
    if (reader.failed()) {
        out.result = DATABASE_CORRUPT;
        out.problem = "it could not be read to its end";
    }
    out.records.assign(newest.begin(), newest.end());
    return out;
}

} // namespace dupmon
