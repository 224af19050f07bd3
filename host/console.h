#ifndef KELVANE_CONSOLE_H
#define KELVANE_CONSOLE_H

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

/// The operator's console: reads command lines from a file descriptor (standard input) on the
/// event loop and announces each well-formed command; a malformed line gets one line of error on
/// standard error, and nothing else happens.
class Console : public QObject
{
    Q_OBJECT

public:
    /// Reads fd; with fd < 0 commands come only through execute().
    explicit Console(int fd = 0, QObject *parent = nullptr);

    /// Writes line and a line break to standard output at once (no buffering).
    static void print(const QString &line);
    /// Writes line and a line break to standard error at once.
    static void printError(const QString &line);
    /// The command list, as help shows it before the simulator's reference.
    static QString commandList();
    /// Why line is no command, or an empty text when it is one; runs nothing.
    static QString check(const QByteArray &line);
    /// Runs line as if it had been typed.
    void execute(const QByteArray &line) { handleLine(line); }

signals:
    void setRequested(const QByteArray &group, const QByteArray &name, const QString &value);
    void pruneRequested();
    void startRequested();
    void stopRequested();
    void statusRequested();
    /// "fault ..." with its arguments, already checked with FaultCommand::parse.
    void faultRequested(const QString &arguments);
    void quitRequested();
    /// End of input (or a read error): no more commands will come.
    void inputClosed();

private:
    void readInput();
    void handleLine(const QByteArray &line);
    void reject(const QString &reason);

    int fd;
    QSocketNotifier *notifier = nullptr;
    QByteArray pending;
    bool finished = false;
    QString *rejection = nullptr; ///< check(): where the error goes instead of standard error
};

#endif // KELVANE_CONSOLE_H
