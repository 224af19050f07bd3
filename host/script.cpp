#include "script.h"

#include "regularfile.h"

#include <QFile>

#include <algorithm>
#include <cmath>

Script::Script(QObject *parent) : QObject(parent)
{
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    connect(&timer, &QTimer::timeout, this, &Script::runDue);
}

bool Script::load(const QString &scriptPath, QStringList *errors)
{
    path = scriptPath;
    lines.clear();
    // A FIFO would hold the start in open(); a script is a file of a few lines.
    QFile file;
    QString error;
    if (!RegularFile::openForReading(&file, path, MaxBytes, &error)) {
        *errors << error;
        return false;
    }
    const int errorsBefore = int(errors->size());
    // Every line is checked, so that one run of the host names all that is wrong with the file.
    qint64 previous = 0;
    for (int number = 1; !file.atEnd(); ++number) {
        Line line;
        line.number = number;
        line.text = file.readLine().trimmed();
        if (line.text.isEmpty() || line.text.startsWith('#'))
            continue;
        const int space = line.text.indexOf(' ');
        bool ok = false;
        const double seconds = (space < 0 ? line.text : line.text.left(space)).toDouble(&ok);
        const QByteArray command = space < 0 ? QByteArray() : line.text.mid(space + 1).trimmed();
        line.ms = std::llround(seconds * 1000);
        QString why, hint;
        if (!ok || !(seconds >= 0.0 && seconds <= 1e6) || command.isEmpty())
            why = QStringLiteral("not SECONDS COMMAND (seconds from 0 after the start)");
        else if (line.ms < previous)
            why = QStringLiteral("earlier than the line before");
        else
            Command::parse(QString::fromLocal8Bit(command), &line.command, &why, &hint);
        if (!why.isEmpty()) {
            *errors << describe(line, why);
            continue;
        }
        previous = line.ms;
        lines.append(line);
    }
    return errors->size() == errorsBefore;
}

bool Script::hasQuit() const
{
    return std::any_of(lines.begin(), lines.end(),
                       [](const Line &line) { return line.command.kind == Command::Quit; });
}

QString Script::describe(const Line &line, const QString &why) const
{
    return QStringLiteral("%1:%2: %3: %4")
        .arg(path)
        .arg(line.number)
        .arg(why, QString::fromLocal8Bit(line.text));
}

void Script::start()
{
    clock.start();
    next = 0;
    // From the event loop, also the lines due at 0: a quit run before the loop runs would be
    // lost, and the host would never end.
    timer.start(0);
}

void Script::runDue()
{
    while (next < lines.size() && lines.at(next).ms <= clock.elapsed())
        emit due(lines.at(next++));
    if (next < lines.size())
        timer.start(int(lines.at(next).ms - clock.elapsed()));
}
