#ifndef KELVANE_COMMANDRUNNER_H
#define KELVANE_COMMANDRUNNER_H

#include "command.h"

#include <QJsonObject>
#include <QObject>
#include <QStringList>

class App;
class LineSession;
class PayloadHost;

/// Runs the operator's parsed commands against the running host: the plug-in and its settings,
/// and the line. Every front end (the console, a script, the control channel) hands it the same
/// Command values and shows the same Result, so that a command means the same whoever gives it.
class CommandRunner : public QObject
{
    Q_OBJECT

public:
    /// What a command did, for its front end to show.
    struct Result
    {
        QString text; ///< what the console prints on standard output (may be empty)
        QString warning; ///< a doubt about what was done, for standard error (may be empty)
        QJsonObject data; ///< what a control answer carries besides the text
    };

    /// line: null without the host's pair (--device). replaying: no plug-in runs, and the
    /// commands for it are refused. deviceLines: the devices, as status shows them.
    CommandRunner(App *app, PayloadHost *host, LineSession *line, bool replaying,
                  const QString &settingsPath, const QStringList &deviceLines,
                  QObject *parent = nullptr);

    /// Runs command; false with *error when it cannot be done.
    bool run(const Command &command, Result *result, QString *error);
    /// Runs command for the console or a script: its text to standard output, its warning to
    /// standard error; false with *error.
    bool runPrinted(const Command &command, QString *error);
    /// A set or prune since the start or the last save.
    bool hasUnsaved() const { return unsaved; }

signals:
    void quitRequested();

private:
    bool runFault(const FaultCommand &fault, Result *result, QString *error);

    App *app;
    PayloadHost *host;
    LineSession *line;
    bool replaying;
    QString settingsPath;
    QStringList deviceLines;
    bool unsaved = false;
};

#endif // KELVANE_COMMANDRUNNER_H
