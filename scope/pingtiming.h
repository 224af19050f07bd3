#ifndef KELVANE_PINGTIMING_H
#define KELVANE_PINGTIMING_H

#include <QByteArray>
#include <QVector>

#include <string_view>

/// Watches when pings arrive, for what the line between the instrument and the client did to
/// them: a gap (a ping that came much later than the period seen so far: pings lost, or held
/// back) and a burst (pings held back and then let go together, right after a gap). The period
/// is the median of the last intervals between pings, intervals inside a burst left out; nothing
/// is judged before three intervals have been seen since the start or the last restart().
class PingTiming
{
public:
    /// Pings farther apart than the period plus this much, or 1.75 periods, make a gap.
    static constexpr double GapMarginS = 0.5;
    /// Below this period a burst cannot be told from the instrument's own pace.
    static constexpr double MinBurstPeriodS = 0.05;
    /// The instrument's own pause in NMEA dual-frequency output, once per process.
    static constexpr double DualNmeaPauseS = 15.0;

    struct Event
    {
        enum Kind { Gap, Burst };
        Kind kind = Gap;
        int line = 0; ///< the first line of the late ping, or of the burst's first ping
        QByteArray text; ///< that line
        int pings = 0; ///< pings in the burst
        double seconds = 0.0; ///< the gap's length, or the burst's span
        double period = 0.0; ///< the period seen before it
    };

    /// A ping that started on line (number, text) arrived at timeS; dualNmea for the NMEA
    /// output of the dual-frequency instrument, whose one pause of DualNmeaPauseS is no gap.
    /// Returns what this arrival completes: a burst that it ends, and a gap that it is.
    QVector<Event> add(double timeS, int line, std::string_view text, bool dualNmea);
    /// The end of the stream: a burst still open.
    QVector<Event> finish();
    /// The instrument restarted its timer (it answered a command): the period is learnt anew.
    void restart();
    /// The period seen so far; negative while unknown.
    double period() const;

private:
    void endBurst(QVector<Event> &events);

    QVector<double> intervals; ///< the last ones, oldest first
    double last = -1.0;
    // The burst being gathered: pings within a quarter period of one that came after a gap.
    int burstPings = 0;
    double burstStart = 0.0;
    double burstEnd = 0.0;
    double burstPeriod = 0.0;
    int burstLine = 0;
    QByteArray burstText;
};

#endif // KELVANE_PINGTIMING_H
