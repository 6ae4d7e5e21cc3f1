#pragma once
// The figures of a job log as the log tool's stats command prints them: a
// text summary, one CSV table, or a JSON document.
#include <string>

#include "logdb/log_stats.h"

namespace dupmon {

// A CSV field, quoted where it holds a comma, quote or line break (RFC 4180).
std::string csvField(const std::string& s);

// The function table's name, or "Function(N)" past it (as the export names it).
std::string functionLabel(uint8_t function);

// Tables for a person: the machine's totals, then ports, days and functions.
std::string statsText(const LogStats& s, const std::string& database);

// One table, a row per figure group: `scope` is machine, port, day, function
// or day_function, and the day, port and function columns say which one (empty
// where they do not apply). Columns:
constexpr const char* kStatsCsvHeader =
    "scope,day,port,function,function_name,pass,fail,abort,start,yield_percent,working_hours,"
    "copies_per_hour,run_seconds_mean,run_seconds_sd,write_mb_s_mean,write_mb_s_sd,"
    "read_mb_s_mean,read_mb_s_sd,failing_lba_count,failing_lba_min,failing_lba_max,"
    "failing_lba_mean,failing_lba_sd,stands_out,p_value";
std::string statsCsv(const LogStats& s);

std::string statsJson(const LogStats& s, const std::string& database);

// How a port is found to stand out, in one paragraph (help, JSON, windows).
std::string standOutRule();

} // namespace dupmon
