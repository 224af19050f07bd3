#ifndef KELVANE_CONSOLE_H
#define KELVANE_CONSOLE_H

#include "command.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>

class QSocketNotifier;

/// The operator's console: reads command lines from a file descriptor (standard input) on the
/// event loop, parses each into a Command and hands it to the runner. A malformed line, or a
/// command the runner cannot do, gets one line of error on standard error, and nothing else
/// happens.
///
/// A terminal that another process group has in the foreground (the host started with "&") is
/// not read: the console waits, without stopping the host, until the host is brought to the
/// foreground, and says so once.
class Console : public QObject
{
    Q_OBJECT

public:
    /// Runs a command: false with the reason in *error.
    using Runner = std::function<bool(const Command &command, QString *error)>;

    /// Reads fd.
    Console(int fd, const Runner &runner, QObject *parent = nullptr);

    /// Writes line and a line break to standard output at once (no buffering).
    static void print(const QString &line);
    /// Writes line and a line break to standard error at once.
    static void printError(const QString &line);

signals:
    /// End of input (or a read error, or quit): no more commands will come.
    void inputClosed();

private:
    void readInput();
    void handleLine(const QByteArray &line);
    /// Whether fd is a terminal whose foreground is another process group.
    bool inBackground() const;
    /// Looks until the host has the terminal's foreground, then reads again.
    void waitForForeground();

    int fd;
    Runner runner;
    QSocketNotifier *notifier = nullptr;
    QByteArray pending;
    bool finished = false;
    bool backgroundSaid = false;
};

#endif // KELVANE_CONSOLE_H
