#ifndef KELVANE_TESTS_LOGCAPTURE_H
#define KELVANE_TESTS_LOGCAPTURE_H

#include <QMutex>
#include <QStringList>
#include <QtGlobal>

#include <utility>

/// Collects every log line written while it lives, as "<level> <text>", from any thread.
/// Tests compare the whole list, so a line too many fails as well as a wrong one.
class LogCapture
{
public:
    LogCapture() : previous(qInstallMessageHandler(&LogCapture::handler)) { current = this; }
    ~LogCapture()
    {
        qInstallMessageHandler(previous);
        current = nullptr;
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    /// The lines so far; the capture starts empty again.
    QStringList take()
    {
        QMutexLocker locker(&mutex);
        return std::exchange(lines, QStringList());
    }

private:
    static void handler(QtMsgType type, const QMessageLogContext &, const QString &text)
    {
        static const char *const levels[] = {"debug", "warning", "critical", "fatal", "info"};
        QMutexLocker locker(&current->mutex);
        current->lines << QString::fromLatin1(levels[type]) + QLatin1Char(' ') + text;
    }

    inline static LogCapture *current = nullptr;
    QtMessageHandler previous;
    QMutex mutex;
    QStringList lines;
};

#endif // KELVANE_TESTS_LOGCAPTURE_H
