#ifndef KELVANE_CONSOLE_H
#define KELVANE_CONSOLE_H

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

/// The operator's console: reads command lines from a file descriptor (standard input) on the
/// event loop and announces each well-formed command; a malformed line gets one line of error on
/// standard error, and nothing else happens. A handler of the signals that cannot do what its
/// command asks calls fail() while it runs.
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
    /// Why line is no command (also a set of a setting App does not know, or with a value
    /// that does not convert to its type), or an empty text when it is one; runs nothing.
    static QString check(const QByteArray &line);
    /// Runs line as if it had been typed, except that a refusal or failure is not printed:
    /// false with the reason in *error.
    bool run(const QByteArray &line, QString *error);
    /// For the handlers of the signals: the command being handled failed for reason, which is
    /// printed as "error: reason" (or handed to run()'s caller).
    void fail(const QString &reason);

signals:
    void setRequested(const QByteArray &group, const QByteArray &name, const QString &value);
    void pruneRequested();
    void startRequested();
    void stopRequested();
    /// "save": the run's settings back into the settings file.
    void saveRequested();
    void statusRequested();
    /// "fault ..." with its arguments, already checked with FaultCommand::parse.
    void faultRequested(const QString &arguments);
    void quitRequested();
    /// End of input (or a read error): no more commands will come.
    void inputClosed();

private:
    void readInput();
    void handleLine(const QByteArray &line);
    void reject(const QString &reason, const char *hint = "type help for the commands");

    int fd;
    QSocketNotifier *notifier = nullptr;
    QByteArray pending;
    bool finished = false;
    bool checking = false; ///< check(): nothing is run or printed
    QString *rejection = nullptr; ///< check(), run(): where the error goes instead of stderr
};

#endif // KELVANE_CONSOLE_H
