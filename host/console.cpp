#include "console.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

// A line longer than this is no command; it is refused rather than buffered without end.
const int MaxLineLength = 4096;
// While in the background, the console looks this often whether it has the terminal again.
const int ForegroundPollMs = 500;

void writeLine(FILE *stream, const QString &line)
{
    const QByteArray bytes = line.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

Console::Console(int fd, const Runner &runner, QObject *parent)
    : QObject(parent), fd(fd), runner(runner)
{
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

bool Console::inBackground() const
{
    if (!::isatty(fd))
        return false;
    const pid_t foreground = ::tcgetpgrp(fd);
    return foreground > 0 && foreground != ::getpgrp();
}

void Console::waitForForeground()
{
    if (finished)
        return;
    if (inBackground()) {
        QTimer::singleShot(ForegroundPollMs, this, &Console::waitForForeground);
        return;
    }
    notifier->setEnabled(true);
}

void Console::readInput()
{
    // A read from the background would stop the host (SIGTTIN) until it is continued, and then
    // again: signals, SIGTERM too, would never be handled. The host ignores SIGTTIN, and the
    // console reads nothing until it has the terminal.
    if (inBackground()) {
        notifier->setEnabled(false);
        if (!backgroundSaid) {
            backgroundSaid = true;
            printError(QStringLiteral("kelvane-host: the console is in the background: it reads "
                                      "commands once the host is in the foreground (fg); "
                                      "--no-console runs without one"));
        }
        waitForForeground();
        return;
    }
    char buffer[4096];
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (count < 0 && errno == EIO && inBackground()) {
        readInput(); // sent to the background since the look above
        return;
    }
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
        printError(QStringLiteral("error: line longer than %1 bytes; type help for the commands")
                       .arg(MaxLineLength));
    }
}

void Console::handleLine(const QByteArray &rawLine)
{
    // The conversion below ends a text at its first NUL: a line that starts with one would read
    // as empty and go unanswered, and one with a NUL further on would lose what follows it.
    if (rawLine.contains('\0')) {
        printError(QStringLiteral("error: a NUL byte in the line; type help for the commands"));
        return;
    }
    const QString line = QString::fromLocal8Bit(rawLine).trimmed();
    if (line.isEmpty())
        return;
    Command command;
    QString error, hint;
    if (!Command::parse(line, &command, &error, &hint)) {
        printError(QStringLiteral("error: %1; %2").arg(error, hint));
        return;
    }
    if (command.kind == Command::Quit) {
        // Nothing after quit is read.
        finished = true;
        notifier->setEnabled(false);
    }
    if (!runner(command, &error))
        printError(QStringLiteral("error: %1").arg(error));
}
