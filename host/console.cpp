#include "console.h"

#include "linesession.h"
#include "reference.h"

#include <QRegularExpression>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

// A line longer than this is no command; it is refused rather than buffered without end.
const int MaxLineLength = 4096;

void writeLine(FILE *stream, const QString &line)
{
    const QByteArray bytes = line.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

Console::Console(int fd, QObject *parent) : QObject(parent), fd(fd)
{
    if (fd < 0)
        return;
    if (::fcntl(fd, F_GETFD) == -1) {
        // A closed descriptor reads like the end of input, announced once the loop runs.
        finished = true;
        QMetaObject::invokeMethod(this, &Console::inputClosed, Qt::QueuedConnection);
        return;
    }
    notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &Console::readInput);
}

void Console::print(const QString &line)
{
    writeLine(stdout, line);
}

void Console::printError(const QString &line)
{
    writeLine(stderr, line);
}

QString Console::commandList()
{
    return QStringLiteral(
        "Commands:\n"
        "  set GROUP NAME VALUE  change a setting, e.g. set KELVANE_SIMULATOR CONST_MODE true\n"
        "  prune                 remove the settings that no setting signal backs\n"
        "  save                  write this run's settings into the settings file\n"
        "  start                 start the plug-in (ask it to start)\n"
        "  stop                  stop the plug-in\n"
        "  status                identity, device, the plug-in's serial port, settings, the line\n"
        "  fault unplug SECONDS  silence both ways (stall, hangup SECONDS likewise)\n"
        "  fault garbage N       N random bytes to the client now\n"
        "  fault KIND=RATE       change a fault rate of the output, e.g. fault drop=0.1\n"
        "  help                  this list and the simulator's reference\n"
        "  quit                  stop the plug-in and exit (also: end of input, Ctrl+C)");
}

QString Console::check(const QByteArray &line)
{
    QString error;
    Console console(-1);
    console.checking = true;
    console.rejection = &error;
    console.handleLine(line);
    return error;
}

void Console::readInput()
{
    char buffer[4096];
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (count <= 0) {
        // End of input: a last line without a line break still counts.
        notifier->setEnabled(false);
        if (!pending.isEmpty() && !finished)
            handleLine(pending);
        pending.clear();
        if (!finished) {
            finished = true;
            emit inputClosed();
        }
        return;
    }

    pending.append(buffer, int(count));
    int end;
    while (!finished && (end = pending.indexOf('\n')) >= 0) {
        const QByteArray line = pending.left(end);
        pending.remove(0, end + 1);
        handleLine(line);
    }
    if (pending.size() > MaxLineLength) {
        pending.clear();
        reject(QStringLiteral("line longer than %1 bytes").arg(MaxLineLength));
    }
}

void Console::handleLine(const QByteArray &rawLine)
{
    const QString line = QString::fromLocal8Bit(rawLine).trimmed();
    if (line.isEmpty())
        return;
    const QString command = line.section(QLatin1Char(' '), 0, 0, QString::SectionSkipEmpty);
    const QString rest = line.mid(command.size()).trimmed();

    if (command == QLatin1String("set")) {
        // The value is the rest of the line, so that it may hold spaces (a device path).
        static const QRegularExpression form(
            QStringLiteral("^([A-Za-z0-9_]+)\\s+([A-Za-z0-9_]+)\\s+(\\S.*)$"));
        const QRegularExpressionMatch match = form.match(rest);
        if (!match.hasMatch()) {
            reject(QStringLiteral("set needs GROUP NAME VALUE (GROUP and NAME of letters, digits "
                                  "and _), got: %1")
                       .arg(line));
            return;
        }
        const QByteArray group = match.captured(1).toLatin1();
        const QByteArray name = match.captured(2).toLatin1();
        // App would warn and store nothing for a setting it does not know, and would store any
        // text for one it knows, announcing what its conversion makes of it (0 for abc).
        QString refusal = Reference::refusal(group, name, match.captured(3));
        if (Reference::settingType(group, name).isEmpty())
            refusal = QStringLiteral("%1/%2 is no setting that App knows (it has no signal %1_%2)")
                          .arg(QLatin1String(group), QLatin1String(name));
        if (!refusal.isEmpty()) {
            reject(refusal, "nothing changed");
            return;
        }
        emit setRequested(group, name, match.captured(3));
        return;
    }

    if (command == QLatin1String("fault")) {
        FaultCommand parsed;
        QString error;
        if (!FaultCommand::parse(rest, LineFaultRates(), &parsed, &error)) {
            reject(error);
            return;
        }
        emit faultRequested(rest);
        return;
    }

    if (!rest.isEmpty()) {
        const bool known = command == QLatin1String("prune") || command == QLatin1String("save") ||
            command == QLatin1String("start") || command == QLatin1String("stop") ||
            command == QLatin1String("status") || command == QLatin1String("help") ||
            command == QLatin1String("quit");
        if (known) {
            reject(QStringLiteral("%1 takes no arguments, got: %2").arg(command, line));
            return;
        }
    }

    if (command == QLatin1String("prune")) {
        emit pruneRequested();
    } else if (command == QLatin1String("save")) {
        emit saveRequested();
    } else if (command == QLatin1String("start")) {
        emit startRequested();
    } else if (command == QLatin1String("stop")) {
        emit stopRequested();
    } else if (command == QLatin1String("status")) {
        emit statusRequested();
    } else if (command == QLatin1String("help")) {
        if (!checking)
            print(commandList() + QLatin1Char('\n') + Reference::text());
    } else if (command == QLatin1String("quit")) {
        finished = true;
        if (notifier)
            notifier->setEnabled(false);
        emit quitRequested();
    } else {
        reject(QStringLiteral("unknown command: %1").arg(command));
    }
}

bool Console::run(const QByteArray &line, QString *error)
{
    error->clear();
    rejection = error;
    handleLine(line);
    rejection = nullptr;
    return error->isEmpty();
}

void Console::fail(const QString &reason)
{
    if (rejection)
        *rejection = reason;
    else
        printError(QStringLiteral("error: %1").arg(reason));
}

void Console::reject(const QString &reason, const char *hint)
{
    if (rejection)
        *rejection = reason;
    else
        printError(QStringLiteral("error: %1; %2").arg(reason, QLatin1String(hint)));
}
