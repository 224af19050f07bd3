#include "script.h"

#include "console.h"

#include <QFile>

#include <cmath>

Script::Script(QObject *parent) : QObject(parent)
{
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    connect(&timer, &QTimer::timeout, this, &Script::runDue);
}

bool Script::load(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    lines.clear();
    qint64 previous = 0;
    for (int number = 1; !file.atEnd(); ++number) {
        const QByteArray text = file.readLine().trimmed();
        if (text.isEmpty() || text.startsWith('#'))
            continue;
        const int space = text.indexOf(' ');
        bool ok = false;
        const double seconds = (space < 0 ? text : text.left(space)).toDouble(&ok);
        const QByteArray command = space < 0 ? QByteArray() : text.mid(space + 1).trimmed();
        QString why;
        if (!ok || !(seconds >= 0.0 && seconds <= 1e6) || command.isEmpty())
            why = QStringLiteral("not SECONDS COMMAND (seconds from 0 after the start)");
        else if (qint64(std::llround(seconds * 1000)) < previous)
            why = QStringLiteral("earlier than the line before");
        else
            why = Console::check(command);
        if (!why.isEmpty()) {
            *error = QStringLiteral("%1:%2: %3: %4")
                         .arg(path)
                         .arg(number)
                         .arg(why, QString::fromLocal8Bit(text));
            return false;
        }
        previous = std::llround(seconds * 1000);
        lines.append({previous, command});
    }
    return true;
}

void Script::start()
{
    clock.start();
    next = 0;
    runDue();
}

void Script::runDue()
{
    while (next < lines.size() && lines.at(next).ms <= clock.elapsed())
        emit due(lines.at(next++).command);
    if (next < lines.size())
        timer.start(int(lines.at(next).ms - clock.elapsed()));
}
