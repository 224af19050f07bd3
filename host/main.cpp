// kelvane-host: loads a payload plug-in the way the flight computer does and gives it a serial
// line, a pty pair of its own whose line it conditions or an existing device, plus a console for
// its settings and the line. This file only wires the parts together, in the order they start.

#include "app.h"
#include "banner.h"
#include "commandrunner.h"
#include "console.h"
#include "controlserver.h"
#include "exitstatus.h"
#include "linesession.h"
#include "logtap.h"
#include "options.h"
#include "payloadhost.h"
#include "ptypair.h"
#include "report.h"
#include "runplaces.h"
#include "runsettings.h"
#include "script.h"
#include "signalwatcher.h"

#include <QDir>
#include <QFileInfo>

#include <csignal>
#include <memory>

namespace {

int run(App &app)
{
    const Options options = Options::parse(app.arguments());
    const bool replaying = options.replaying();

    // Watched from here on, so that a signal during start-up still ends the host in order.
    SignalWatcher signalWatcher({SIGINT, SIGTERM, SIGHUP});
    ::signal(SIGPIPE, SIG_IGN);
    // A write past a file size limit fails (and is reported) rather than end the host.
    ::signal(SIGXFSZ, SIG_IGN);
    // A console in the background waits for the terminal (see Console) rather than be stopped.
    ::signal(SIGTTIN, SIG_IGN);

    PayloadHost host(&app);
    if (!replaying && !host.check(options.pluginPath)) {
        Report::error(host.errorString());
        return ExitStatus::Failure;
    }

    // A bad script is a usage error, found before anything starts, every bad line at once.
    Script script;
    QStringList scriptErrors;
    if (!options.scriptPath.isEmpty() && !script.load(options.scriptPath, &scriptErrors)) {
        for (const QString &error : qAsConst(scriptErrors))
            Report::error(error);
        return ExitStatus::Usage;
    }
    if (!options.scriptPath.isEmpty() && !script.hasQuit())
        Report::warning(QStringLiteral("%1 has no quit: the host runs on after its last line "
                                       "until quit, SIGINT or SIGTERM")
                            .arg(options.scriptPath));

    // The control channel's socket first, while no other thread makes files (its mode comes
    // from the umask), so that a path in use ends the run before anything started. It takes
    // clients once everything is wired. The log's tap outlives every thread that logs.
    std::unique_ptr<ControlServer> control;
    std::unique_ptr<LogTap> logTap;
    if (!options.controlPath.isEmpty()) {
        control = std::make_unique<ControlServer>();
        QString error;
        if (!control->listen(options.controlPath, &error)) {
            Report::error(error);
            return ExitStatus::Failure;
        }
    }

    // A pair of ptys, or one: the simulator's end unless it replays, the client's unless
    // --no-pty. Their folder is the run's, which also holds the run's settings (none in a
    // replay): with the pair, under the pair's lock; with --device, named after the device,
    // which is one host's at a time.
    const bool onPair = options.device.isEmpty();
    const bool simulatorPty = onPair && !replaying;
    const bool clientPty = onPair && options.line.pty;
    const bool runFolder = simulatorPty || clientPty || !replaying;
    const QString linkDir =
        runFolder && options.linkDir.isEmpty() ? RunPlaces::defaultLinkDir() : options.linkDir;
    if (runFolder && linkDir.isEmpty())
        return ExitStatus::Failure;
    if (runFolder && !options.linkDir.isEmpty() && !RunPlaces::checkLinkDir(linkDir))
        return ExitStatus::Failure;
    PtyPair pair(linkDir);
    pair.setClientBaud(options.line.baud);
    QString simulatorDevice = options.device;
    if (!onPair) {
        if (!RunPlaces::checkDevice(simulatorDevice))
            return ExitStatus::Failure;
        if (!QDir().mkpath(linkDir)) {
            Report::error(QStringLiteral("cannot create the folder %1").arg(linkDir));
            return ExitStatus::Failure;
        }
    } else if (simulatorPty || clientPty) {
        if (!pair.open(simulatorPty, clientPty)) {
            Report::error(pair.errorString());
            return ExitStatus::Failure;
        }
        if (simulatorPty)
            simulatorDevice = pair.simulatorEnd();
    }
    const QString runSettings = QDir(linkDir).filePath(
        onPair ? QStringLiteral("settings.ini")
               : QStringLiteral("settings-%1.ini").arg(QFileInfo(options.device).fileName()));

    // The line between the source and the client ends, relaying from the start: the plug-in's
    // first bytes already cross it.
    std::unique_ptr<LineSession> line;
    if (onPair) {
        line = std::make_unique<LineSession>(options.line, pair.isOpen() ? &pair : nullptr);
        QString error;
        int status = ExitStatus::Failure;
        if (!line->open(&error, &status)) {
            Report::error(error);
            return status;
        }
    }
    if (!replaying) {
        if (!RunSettings::prepare(app, options.settingsPath, runSettings, simulatorDevice))
            return ExitStatus::Failure;
        if (!host.load()) {
            Report::error(host.errorString());
            return ExitStatus::Failure;
        }
    }

    QStringList deviceLines;
    if (!replaying)
        deviceLines << QStringLiteral("Simulator device: %1").arg(simulatorDevice);
    if (clientPty)
        deviceLines << QStringLiteral("Client device: %1").arg(pair.clientEnd());
    Banner::print(options, host, runSettings, deviceLines, pair, line.get());

    host.connectSignals();
    QObject::connect(&signalWatcher, &SignalWatcher::caught, &app, [&app](int number) {
        Report::note(
            QStringLiteral("%1 received, stopping").arg(SignalWatcher::signalName(number)));
        app.exit(ExitStatus::Ok);
    });
    if (line) {
        QObject::connect(line.get(), &LineSession::failed, &app, [&app](const QString &reason) {
            Report::error(reason);
            app.exit(ExitStatus::Failure);
        });
        QObject::connect(line.get(), &LineSession::notice, &app, &Report::note);
        QObject::connect(line.get(), &LineSession::writeFailed, &app, &Report::error);
        QObject::connect(line.get(), &LineSession::replayEnded, &app, [&app, &options, &control] {
            Report::note(QStringLiteral("replay: end of %1").arg(options.line.replayPath));
            if (control)
                control->publish({{QStringLiteral("event"), QStringLiteral("replayEnded")},
                                  {QStringLiteral("file"), options.line.replayPath}});
            app.exit(ExitStatus::Ok);
        });
    }

    // The console, the script and the control channel hand their parsed commands to one runner.
    CommandRunner runner(&app, &host, line.get(), replaying, options.settingsPath, deviceLines);
    QObject::connect(&runner, &CommandRunner::quitRequested, &app,
                     [&app] { app.exit(ExitStatus::Ok); });
    // A script's command that fails is reported with its line, and fails the run.
    bool scriptFailed = false;
    QObject::connect(&script, &Script::due, &runner,
                     [&runner, &script, &scriptFailed](const Script::Line &scriptLine) {
                         QString error;
                         if (!runner.runPrinted(scriptLine.command, &error)) {
                             Report::error(script.describe(scriptLine, error));
                             scriptFailed = true;
                         }
                     });
    std::unique_ptr<Console> console;
    if (options.console) {
        console = std::make_unique<Console>(0, [&runner](const Command &command, QString *error) {
            return runner.runPrinted(command, error);
        });
        Console::print(QStringLiteral("Console: type help for the commands."));
        QObject::connect(console.get(), &Console::inputClosed, &app, [&app, &script, &options] {
            if (script.isRunning()) {
                // A CI job's standard input is often empty: the script is what it runs.
                Report::note(QStringLiteral("end of input: the console is closed; the run goes "
                                            "on with %1 until its quit (or SIGINT, SIGTERM)")
                                 .arg(options.scriptPath));
                return;
            }
            // Often standard input that was empty from the start: </dev/null, docker without -i.
            Report::note(QStringLiteral("end of input: stopping (use --no-console to keep "
                                        "running)"));
            app.exit(ExitStatus::Ok);
        });
    }

    if (control) {
        QObject::connect(control.get(), &ControlServer::notice, &app, &Report::note);
        if (line)
            QObject::connect(line.get(), &LineSession::event, control.get(),
                             &ControlServer::publish);
        logTap = std::make_unique<LogTap>();
        QObject::connect(logTap.get(), &LogTap::event, control.get(), &ControlServer::publish);
        control->start([&runner](const Command &command, CommandRunner::Result *result,
                                 QString *error) { return runner.run(command, result, error); });
    }

    host.requestStart();
    script.start();
    int status = app.exec();
    // The channel closes first, sending what waits (a quit's answer), and its socket goes.
    control.reset();
    if (runner.hasUnsaved())
        Report::note(QStringLiteral("the settings changed in this run were not saved into %1 "
                                    "(save writes them)")
                         .arg(options.settingsPath));
    if (scriptFailed) {
        Report::error(QStringLiteral("a command of %1 failed (see above)").arg(options.scriptPath));
        if (status == ExitStatus::Ok)
            status = ExitStatus::ScriptFailed;
    }

    // In the flight computer's order: stop, delete the plug-in; App, destroyed by the caller,
    // then flushes the run's settings. The pair goes once nothing uses it.
    console.reset();
    host.unload();
    if (line) {
        line->stop();
        QString error;
        const bool statsWritten = line->writeStats(&error);
        if (!statsWritten)
            Report::error(error);
        if ((!statsWritten || line->recordIncomplete()) && status == ExitStatus::Ok)
            status = ExitStatus::Incomplete;
        line.reset();
    }
    pair.close();
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication::setApplicationName(QLatin1String(Report::ProgramName));
    QCoreApplication::setApplicationVersion(QStringLiteral(KELVANE_VERSION));
    int status;
    {
        App app(argc, argv);
        status = run(app);
    }
    return status;
}
