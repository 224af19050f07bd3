#ifndef KELVANE_SCRIPT_H
#define KELVANE_SCRIPT_H

#include "command.h"

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QVector>

/// A script of console commands (parsed as the console parses them) at times after the start: one
/// "SECONDS COMMAND" per line, blank lines and lines starting with "#" ignored. Lines run in file
/// order; each at its time.
class Script : public QObject
{
    Q_OBJECT

public:
    struct Line
    {
        qint64 ms = 0;
        int number = 0; ///< in the file, from 1
        QByteArray text; ///< the whole line, as the file has it (trimmed)
        Command command;
    };

    explicit Script(QObject *parent = nullptr);

    /// Reads path and parses every command in it; false with one error per bad line appended to
    /// *errors, each naming the file and line.
    bool load(const QString &path, QStringList *errors);
    /// Runs the lines from now on, each emitted as due() at its time.
    void start();
    /// A script file larger than this is refused.
    static constexpr qint64 MaxBytes = 1 << 20;
    /// Whether a line has yet to run.
    bool isRunning() const { return next < lines.size(); }
    /// Whether some line is "quit".
    bool hasQuit() const;
    /// "FILE:LINE: why: the line", as load() and a failing command report a line.
    QString describe(const Line &line, const QString &why) const;

signals:
    void due(const Script::Line &line);

private:
    void runDue();

    QString path;
    QVector<Line> lines;
    int next = 0;
    QElapsedTimer clock;
    QTimer timer;
};

#endif // KELVANE_SCRIPT_H
