#include "logtap.h"

#include <QRegularExpression>

#include <atomic>

namespace {

std::atomic<LogTap *> tap {nullptr};
QtMessageHandler previous = nullptr;

} // namespace

LogTap::LogTap(QObject *parent) : QObject(parent)
{
    tap = this;
    previous = qInstallMessageHandler(&LogTap::handle);
}

LogTap::~LogTap()
{
    qInstallMessageHandler(previous);
    tap = nullptr;
}

void LogTap::handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    LogTap *to = tap;
    // Queued even on the tap's own thread: a receiver that logs would otherwise run inside
    // itself, and the events of one thread keep their order either way.
    if (to) {
        for (const QJsonObject &news : eventsOf(type, text))
            QMetaObject::invokeMethod(
                to, [to, news] { emit to->event(news); }, Qt::QueuedConnection);
    }
    if (previous)
        previous(type, context, text);
}

QVector<QJsonObject> LogTap::eventsOf(QtMsgType type, const QString &text)
{
    const char *const levels[] = {"debug", "warning", "critical", "fatal", "info"};
    QVector<QJsonObject> events = {
        {{QStringLiteral("event"), QStringLiteral("log")},
         {QStringLiteral("level"), QLatin1String(levels[type <= QtInfoMsg ? type : 0])},
         {QStringLiteral("text"), text}}};
    // The simulator's two lines of a backlog episode, as it writes them.
    static const QRegularExpression skipped(
        QStringLiteral("^\\[ECHO\\] WARN: Stopped skipping pings, pings skipped: (\\d+)$"));
    if (text.startsWith(QLatin1String("[ECHO] WARN: Serial output backlog full, skipping pings")))
        events << QJsonObject {{QStringLiteral("event"), QStringLiteral("pingsSkipping")}};
    const QRegularExpressionMatch count = skipped.match(text);
    if (count.hasMatch())
        events << QJsonObject {{QStringLiteral("event"), QStringLiteral("pingsSkipped")},
                               {QStringLiteral("count"), count.captured(1).toDouble()}};
    return events;
}
