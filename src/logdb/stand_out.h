#pragma once
// Which ports of a machine fail more often than its other ports: a one-sided
// binomial test of each port against the rest of the machine, corrected for
// testing many ports at once.
#include <cstdint>
#include <vector>

namespace dupmon {

// P(X >= k) for X binomial with n trials of probability p: the chance that a
// port with this failure probability fails at least k times in n jobs.
double binomialUpperTail(uint64_t k, uint64_t n, double p);

// The stand-out rule. A port stands out when both hold:
//  1. its failures are unlikely for the machine: the one-sided binomial
//     p-value of its failures among its finished jobs, at the failure rate of
//     the machine's other ports, is below kStandOutAlpha after Holm's
//     correction over every port that finished a job (so that one port of 120
//     is not marked by chance alone). The other ports' rate is taken as
//     (failures + 1) / (jobs + 2), so that a single failure beside ports that
//     never failed is not a certainty;
//  2. the difference matters: its failure rate is at least kStandOutRatio
//     times the other ports' rate (a long log makes even small differences
//     significant).
// A machine needs at least two ports that finished jobs for any to stand out.
constexpr double kStandOutAlpha = 0.01;
constexpr double kStandOutRatio = 1.5;

struct PortTally {
    uint64_t finished = 0; // passed + failed
    uint64_t failed = 0;
};

struct StandOutVerdict {
    bool standsOut = false;
    double pValue = 1.0;     // Holm-adjusted; 1 for a port without finished jobs
    double othersRate = 0.0; // failure rate of the machine's other ports, 0 to 1
};

// One verdict per tally, in the same order.
std::vector<StandOutVerdict> judgePorts(const std::vector<PortTally>& ports);

} // namespace dupmon
