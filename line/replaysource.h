#ifndef KELVANE_REPLAYSOURCE_H
#define KELVANE_REPLAYSOURCE_H

#include "linereplay.h"
#include "linesource.h"

#include <deque>
#include <memory>

/// A replayed file as the line's source (LineReplay plays it): a record's pieces reach the ends
/// whole at their recorded times, a plain capture at the line's rate. No instrument takes the
/// clients' commands: they cross the line (and are recorded) all the same, and the first is
/// noted in the log.
class ReplaySource : public LineSource
{
public:
    /// replay: opened, taken over.
    ReplaySource(std::unique_ptr<LineReplay> replay, const QString &path);

    void begin(QObject *context, const Line &line, qint64 nowUs) override;
    void feed(qint64 nowUs) override;
    void command(const QByteArray &chunk) override;
    qint64 nextUs(qint64 nowUs) const override;
    qint64 deliveryUs(qint64 nowUs, qint64 lineUs) override;
    /// A record wakes the relay at its own times (at most two a delivery), to the ms.
    qint64 tickUs() const override { return replay->isRecord() ? 1000 : TickUs; }
    bool atEnd() const override { return replay->atEnd(); }
    /// "Source: FILE, round N"
    QString status() const override;
    QString commandsTo() const override
    {
        return QStringLiteral("From the clients (to no instrument)");
    }
    /// "replay": {"file", "round"}
    void describe(QJsonObject *stats) const override;

private:
    std::unique_ptr<LineReplay> replay;
    QString path;
    Line line;
    std::deque<qint64> crossed; ///< when each piece put on the line has crossed
    bool commandsNoticed = false;
};

#endif // KELVANE_REPLAYSOURCE_H
