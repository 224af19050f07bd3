#ifndef KELVANE_LOGTAP_H
#define KELVANE_LOGTAP_H

#include <QJsonObject>
#include <QObject>
#include <QVector>

/// The process's log lines (Qt's messages: the plug-in's and App's) as control events, besides
/// where they went before: while a tap lives, every message goes to the message handler that
/// was installed before it (standard error), and its events are emitted on the tap's thread, in
/// the order the messages were written on each thread, whichever thread wrote them. One tap per
/// process; it must outlive every thread that logs.
class LogTap : public QObject
{
    Q_OBJECT

public:
    explicit LogTap(QObject *parent = nullptr);
    /// Puts the handler from before back.
    ~LogTap() override;

    /// The events of one log line: {"event": "log", "level": "debug", "info", "warning",
    /// "critical" or "fatal", "text": the line}, followed for the simulator's lines about a full
    /// serial backlog by {"event": "pingsSkipping"} or {"event": "pingsSkipped", "count": N}.
    static QVector<QJsonObject> eventsOf(QtMsgType type, const QString &text);

signals:
    void event(const QJsonObject &event);

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text);
};

#endif // KELVANE_LOGTAP_H
