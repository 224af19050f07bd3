#include "commandrunner.h"

#include "console.h"
#include "linesession.h"
#include "payloadhost.h"
#include "reference.h"
#include "report.h"
#include "runsettings.h"

#include <QJsonArray>
#include <QJsonDocument>

CommandRunner::CommandRunner(App *app, PayloadHost *host, LineSession *line, bool replaying,
                             const QString &settingsPath, const QStringList &deviceLines,
                             QObject *parent)
    : QObject(parent), app(app), host(host), line(line), replaying(replaying),
      settingsPath(settingsPath), deviceLines(deviceLines)
{
}

bool CommandRunner::runPrinted(const Command &command, QString *error)
{
    Result result;
    if (!run(command, &result, error))
        return false;
    if (!result.text.isEmpty())
        Console::print(result.text);
    if (!result.warning.isEmpty())
        Console::printError(QStringLiteral("warning: %1").arg(result.warning));
    return true;
}

bool CommandRunner::run(const Command &command, Result *result, QString *error)
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
        result->warning = host->updateSetting(command.group, command.name, command.value);
        unsaved = true;
        break;
    case Command::Prune: {
        const QStringList removed = host->prune();
        unsaved = !removed.isEmpty() || unsaved;
        result->text = removed.isEmpty()
            ? QStringLiteral("Pruned: nothing to remove")
            : QStringLiteral("Pruned: %1").arg(removed.join(QStringLiteral(", ")));
        result->data.insert(QStringLiteral("removed"), QJsonArray::fromStringList(removed));
        break;
    }
    case Command::Save:
        if (!RunSettings::save(*app, settingsPath, error))
            return false;
        unsaved = false;
        result->text = QStringLiteral("Saved the settings into %1").arg(settingsPath);
        break;
    case Command::Start:
        host->requestStart();
        result->text = QStringLiteral("Start requested; serial port: %1").arg(host->portState());
        result->data.insert(QStringLiteral("serialPort"), host->portState());
        break;
    case Command::Stop:
        host->stop();
        result->text = QStringLiteral("Stopped; serial port: %1").arg(host->portState());
        result->data.insert(QStringLiteral("serialPort"), host->portState());
        break;
    case Command::Status: {
        QStringList lines = replaying ? deviceLines : host->status(deviceLines);
        if (line) {
            lines << line->status();
            QString why;
            if (!line->writeStats(&why))
                Report::warning(why);
        }
        result->text = lines.join(QLatin1Char('\n'));
        result->data.insert(QStringLiteral("lines"), QJsonArray::fromStringList(lines));
        break;
    }
    case Command::Stats: {
        if (!line) {
            *error = QStringLiteral("stats needs the host's pty pair, not --device");
            return false;
        }
        const QJsonObject stats = line->stats();
        result->text = QString::fromUtf8(QJsonDocument(stats).toJson()).trimmed();
        result->data.insert(QStringLiteral("stats"), stats);
        break;
    }
    case Command::Fault:
        return runFault(command.fault, result, error);
    case Command::Help:
        result->text = Command::list() + QLatin1Char('\n') + Reference::text();
        break;
    case Command::Quit:
        emit quitRequested();
        break;
    }
    return true;
}

bool CommandRunner::runFault(const FaultCommand &fault, Result *result, QString *error)
{
    if (!line) {
        *error = QStringLiteral("fault needs the host's pty pair, not --device");
        return false;
    }
    return line->fault(fault, error, &result->text);
}
