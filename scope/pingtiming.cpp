#include "pingtiming.h"

#include <algorithm>
#include <array>

namespace {

// Enough intervals for a median that one late or early ping does not move.
constexpr int Window = 8;
constexpr int Needed = 3;

} // namespace

double PingTiming::period() const
{
    if (intervals.size() < Needed)
        return -1.0;
    // On the stack: this runs for every ping.
    std::array<double, Window> sorted;
    const int n = std::min(int(intervals.size()), Window);
    std::copy(intervals.begin(), intervals.begin() + n, sorted.begin());
    std::nth_element(sorted.begin(), sorted.begin() + n / 2, sorted.begin() + n);
    return sorted[size_t(n / 2)];
}

void PingTiming::restart()
{
    intervals.clear();
    last = -1.0;
    burstPings = 0;
}

QVector<PingTiming::Event> PingTiming::add(double timeS, int line, std::string_view text,
                                           bool dualNmea)
{
    QVector<Event> events;
    if (timeS < 0.0)
        return events; // no arrival time: a plain capture
    if (last < 0.0) {
        last = timeS;
        return events;
    }
    const double interval = timeS - last;
    last = timeS;
    const double p = period();
    if (p < 0.0) {
        intervals.append(interval);
        return events;
    }

    // A ping within a quarter period of the burst's first belongs to it.
    if (burstPings > 0 && timeS - burstStart < p / 4) {
        ++burstPings;
        burstEnd = timeS;
        return events;
    }
    endBurst(events);

    const bool gap = interval > p + std::max(0.75 * p, GapMarginS);
    const bool pause =
        dualNmea && interval >= DualNmeaPauseS && interval <= DualNmeaPauseS + 2 * p + GapMarginS;
    if (gap && !pause) {
        Event e;
        e.kind = Event::Gap;
        e.line = line;
        e.text = QByteArray(text.data(), int(text.size()));
        e.seconds = interval;
        e.period = p;
        events.append(e);
    }
    if (gap && p >= MinBurstPeriodS) {
        burstPings = 1;
        burstStart = burstEnd = timeS;
        burstPeriod = p;
        burstLine = line;
        burstText = QByteArray(text.data(), int(text.size()));
    }
    intervals.append(interval);
    if (intervals.size() > Window)
        intervals.removeFirst();
    return events;
}

QVector<PingTiming::Event> PingTiming::finish()
{
    QVector<Event> events;
    endBurst(events);
    return events;
}

void PingTiming::endBurst(QVector<Event> &events)
{
    if (burstPings >= 2) {
        Event e;
        e.kind = Event::Burst;
        e.line = burstLine;
        e.text = burstText;
        e.pings = burstPings;
        e.seconds = burstEnd - burstStart;
        e.period = burstPeriod;
        events.append(e);
    }
    burstPings = 0;
}
