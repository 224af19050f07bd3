#ifndef KELVANE_COMMANDRUNNER_H
#define KELVANE_COMMANDRUNNER_H

#include "command.h"

#include <QObject>
#include <QStringList>

class App;
class LineSession;
class PayloadHost;

/// Runs the operator's parsed commands against the running host: the plug-in and its settings,
/// and the line. Every front end (the console, a script) hands it the same Command values, so
/// that a command means the same whoever gives it. What a command shows goes to standard output.
class CommandRunner : public QObject
{
    Q_OBJECT

public:
    /// line: null without the host's pair (--device). replaying: no plug-in runs, and the
    /// commands for it are refused. deviceLines: the devices, as status shows them.
    CommandRunner(App *app, PayloadHost *host, LineSession *line, bool replaying,
                  const QString &settingsPath, const QStringList &deviceLines,
                  QObject *parent = nullptr);

    /// Runs command; false with *error when it cannot be done.
    bool run(const Command &command, QString *error);
    /// A set or prune since the start or the last save.
    bool hasUnsaved() const { return unsaved; }

signals:
    void quitRequested();

private:
    bool runFault(const FaultCommand &fault, QString *error);

    App *app;
    PayloadHost *host;
    LineSession *line;
    bool replaying;
    QString settingsPath;
    QStringList deviceLines;
    bool unsaved = false;
};

#endif // KELVANE_COMMANDRUNNER_H
