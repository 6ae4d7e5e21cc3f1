// The binomial tail through the regularized incomplete beta function, and the
// Holm-corrected verdict on each port.
#include "logdb/stand_out.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace dupmon {

namespace {

// The continued fraction of the regularized incomplete beta function
// (modified Lentz), which converges quickly for x < (a + 1) / (a + b + 2).
double betaFraction(double a, double b, double x) {
    constexpr double kTiny = 1e-300;
    constexpr double kEpsilon = 1e-15;
    const double qab = a + b, qap = a + 1.0, qam = a - 1.0;
    double c = 1.0;
    double d = 1.0 - qab * x / qap;
    if (std::fabs(d) < kTiny)
        d = kTiny;
    d = 1.0 / d;
    double h = d;
    // One term of the fraction into the running numerator and denominator.
    auto term = [&](double aa) {
        d = 1.0 + aa * d;
        if (std::fabs(d) < kTiny)
            d = kTiny;
        c = 1.0 + aa / c;
        if (std::fabs(c) < kTiny)
            c = kTiny;
        d = 1.0 / d;
        return d * c;
    };
    // Iterations grow with the square root of the larger parameter; a port's
    // job count stays far below what this allows.
    for (int m = 1; m <= 200000; ++m) {
        const double m2 = 2.0 * m;
        h *= term(m * (b - m) * x / ((qam + m2) * (a + m2)));
        const double step = term(-(a + m) * (qab + m) * x / ((a + m2) * (qap + m2)));
        h *= step;
        if (std::fabs(step - 1.0) < kEpsilon)
            break;
    }
    return h;
}

// I_x(a, b), the regularized incomplete beta function, for a, b > 0.
double incompleteBeta(double a, double b, double x) {
    if (x <= 0.0)
        return 0.0;
    if (x >= 1.0)
        return 1.0;
    const double logFront =
        std::lgamma(a + b) - std::lgamma(a) - std::lgamma(b) + a * std::log(x) + b * std::log1p(-x);
    const double front = std::exp(logFront);
    if (x < (a + 1.0) / (a + b + 2.0))
        return front * betaFraction(a, b, x) / a;
    return 1.0 - front * betaFraction(b, a, 1.0 - x) / b;
}

} // namespace

double binomialUpperTail(uint64_t k, uint64_t n, double p) {
    if (k == 0)
        return 1.0;
    if (k > n || p <= 0.0)
        return 0.0;
    if (p >= 1.0)
        return 1.0;
    // P(X >= k) = I_p(k, n - k + 1).
    return std::clamp(incompleteBeta(double(k), double(n - k + 1), p), 0.0, 1.0);
}

std::vector<StandOutVerdict> judgePorts(const std::vector<PortTally>& ports) {
    std::vector<StandOutVerdict> verdicts(ports.size());
    uint64_t finished = 0, failed = 0;
    std::vector<size_t> tested;
    for (size_t i = 0; i < ports.size(); ++i) {
        finished += ports[i].finished;
        failed += ports[i].failed;
        if (ports[i].finished > 0)
            tested.push_back(i);
    }
    std::vector<double> raw(ports.size(), 1.0);
    for (size_t i : tested) {
        const uint64_t othersFinished = finished - ports[i].finished;
        const uint64_t othersFailed = failed - ports[i].failed;
        verdicts[i].othersRate = othersFinished ? double(othersFailed) / double(othersFinished) : 0;
        const double expected = (double(othersFailed) + 1.0) / (double(othersFinished) + 2.0);
        raw[i] = binomialUpperTail(ports[i].failed, ports[i].finished, expected);
    }
    if (tested.size() < 2) {
        for (size_t i : tested)
            verdicts[i].pValue = 1.0;
        return verdicts;
    }
    // Holm's step-down correction: the k-th smallest p-value (from 0) is
    // multiplied by the number of ports left, and never falls below the one
    // before it.
    std::vector<size_t> order = tested;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return raw[a] < raw[b]; });
    const double m = double(order.size());
    double running = 0.0;
    for (size_t k = 0; k < order.size(); ++k) {
        const size_t i = order[k];
        running = std::max(running, std::min(1.0, (m - double(k)) * raw[i]));
        verdicts[i].pValue = running;
        const double rate = double(ports[i].failed) / double(ports[i].finished);
        verdicts[i].standsOut = running < kStandOutAlpha && ports[i].failed > 0 &&
                                rate >= kStandOutRatio * verdicts[i].othersRate;
    }
    return verdicts;
}

} // namespace dupmon
