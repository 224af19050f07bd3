#ifndef KELVANE_SCRIPT_H
#define KELVANE_SCRIPT_H

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QVector>

/// A script of console commands at times after the start: one "SECONDS COMMAND" per line,
/// blank lines and lines starting with "#" ignored. Lines run in file order; each at its time.
class Script : public QObject
{
    Q_OBJECT

public:
    struct Line
    {
        qint64 ms = 0;
        QByteArray command;
    };

    explicit Script(QObject *parent = nullptr);

    /// Reads and checks path (each command with Console::check); false with *error naming the
    /// file and line.
    bool load(const QString &path, QString *error);
    /// Runs the lines from now on, each emitted as due() at its time.
    void start();

signals:
    void due(const QByteArray &command);

private:
    void runDue();

    QVector<Line> lines;
    int next = 0;
    QElapsedTimer clock;
    QTimer timer;
};

#endif // KELVANE_SCRIPT_H
