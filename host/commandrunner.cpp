#include "commandrunner.h"

#include "console.h"
#include "linesession.h"
#include "payloadhost.h"
#include "reference.h"
#include "report.h"
#include "runsettings.h"

CommandRunner::CommandRunner(App *app, PayloadHost *host, LineSession *line, bool replaying,
                             const QString &settingsPath, const QStringList &deviceLines,
                             QObject *parent)
    : QObject(parent), app(app), host(host), line(line), replaying(replaying),
      settingsPath(settingsPath), deviceLines(deviceLines)
{
}

bool CommandRunner::run(const Command &command, QString *error)
{
    const bool forPlugin = command.kind == Command::Set || command.kind == Command::Prune ||
        command.kind == Command::Save || command.kind == Command::Start ||
        command.kind == Command::Stop;
    if (replaying && forPlugin) {
        *error = QStringLiteral("no plug-in runs in a replay");
        return false;
    }
    switch (command.kind) {
    case Command::Set:
        host->updateSetting(command.group, command.name, command.value);
        unsaved = true;
        break;
    case Command::Prune:
        unsaved = host->prune() || unsaved;
        break;
    case Command::Save:
        if (!RunSettings::save(*app, settingsPath, error))
            return false;
        unsaved = false;
        Console::print(QStringLiteral("Saved the settings into %1").arg(settingsPath));
        break;
    case Command::Start:
        host->requestStart();
        Console::print(QStringLiteral("Start requested; serial port: %1").arg(host->portState()));
        break;
    case Command::Stop:
        host->stop();
        Console::print(QStringLiteral("Stopped; serial port: %1").arg(host->portState()));
        break;
    case Command::Status: {
        QStringList lines = replaying ? deviceLines : host->status(deviceLines);
        if (line) {
            lines << line->status();
            QString why;
            if (!line->writeStats(&why))
                Report::warning(why);
        }
        Console::print(lines.join(QLatin1Char('\n')));
        break;
    }
    case Command::Fault:
        return runFault(command.fault, error);
    case Command::Help:
        Console::print(Command::list() + QLatin1Char('\n') + Reference::text());
        break;
    case Command::Quit:
        emit quitRequested();
        break;
    }
    return true;
}

bool CommandRunner::runFault(const FaultCommand &fault, QString *error)
{
    if (!line) {
        *error = QStringLiteral("fault needs the host's pty pair, not --device");
        return false;
    }
    QString done;
    if (!line->fault(fault, error, &done))
        return false;
    Console::print(done);
    return true;
}
