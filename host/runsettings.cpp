#include "runsettings.h"

#include "app.h"
#include "outputfile.h"
#include "reference.h"
#include "regularfile.h"
#include "report.h"
#include "settingsfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

namespace {

// The device the host gives the plug-in, written into the run's settings for each run.
const QString DeviceKey = QStringLiteral("KELVANE_SIMULATOR/SERIAL_DEVICE");

// A warning for each line of the settings file that its INI reader reads past, saying what
// becomes of it.
QStringList droppedLineWarnings(const QString &path, const QString &why)
{
    QStringList warnings;
    for (const auto &line : SettingsFile::droppedLines(path)) {
        warnings << QStringLiteral("%1:%2: not NAME=VALUE, a [section] or blank; %3: %4")
                        .arg(path)
                        .arg(line.first)
                        .arg(why, line.second);
    }
    return warnings;
}

} // namespace

namespace RunSettings {

// The run's settings: a copy of the settings file in the run folder, so that nothing a run does
// (the plug-in writing its defaults back, set, prune, the device the host gives it) reaches the
// file itself unless save asks for it. The copy stays after the run, for a look at what the run
// ended with. False when it cannot be had.
bool prepare(App &app, const QString &settingsPath, const QString &copyPath,
             const QString &simulatorDevice)
{
    // The copy of a run before this one, and the locks its sync may have left.
    SettingsFile::removeStaleLocks(copyPath, 0);
    QFile::remove(copyPath);
    const bool newSettingsFile = !QFileInfo::exists(settingsPath);
    if (!newSettingsFile) {
        // Read once, whole: a FIFO or a device is refused rather than waited for, and a file
        // far beyond any settings file rather than parsed for minutes.
        QFile file;
        QString error;
        if (!RegularFile::openForReading(&file, settingsPath, SettingsFile::MaxBytes, &error)) {
            Report::error(error);
            return false;
        }
        const QByteArray text = file.readAll();
        for (const QString &warning : droppedLineWarnings(settingsPath,
                                                          QStringLiteral("the host reads past it, "
                                                                         "and save would drop it")))
            Report::warning(warning);
        if (!OutputFile::writeWhole(copyPath, text, &error)) {
            Report::error(error);
            return false;
        }
        QFile::setPermissions(copyPath, QFile::ReadOwner | QFile::WriteOwner);
    }
    app.loadSettings(copyPath);
    // Said at the start, since nothing shows it once the run is going; the value stays, as App
    // keeps it, and the host starts.
    for (const QString &warning : Reference::valueWarnings(*app.settings()))
        Report::warning(QStringLiteral("%1: %2").arg(settingsPath, warning));

    // Written straight into the store, not through App::updateSetting: no component exists yet
    // to hear a setting signal, and these values are the host's configuration of the plug-in
    // rather than a change while it runs. The plug-in reads both in its constructor.
    QSettings *store = app.settings();
    const QString periodKey = QStringLiteral("APP/TELEMETRY_PERIOD_MS");
    // An empty period makes the base's telemetry timer fire on every pass of the event loop.
    if (!store->value(periodKey).isValid() || store->value(periodKey).toString().isEmpty())
        store->setValue(periodKey, 1000);
    // A first run shows a moving bottom rather than a depth of 0 m.
    if (newSettingsFile) {
        for (const auto &[key, value] :
             {std::pair<const char *, int> {"ECHOSOUNDER/MIN_DEPTH_M", 2},
              std::pair<const char *, int> {"ECHOSOUNDER/MAX_DEPTH_M", 30}}) {
            if (!store->contains(QLatin1String(key)))
                store->setValue(QLatin1String(key), value);
        }
    }
    store->setValue(DeviceKey, simulatorDevice);
    app.syncSettings();
    // A format error is the lines warned about above, which the copy goes without.
    if (store->status() == QSettings::AccessError) {
        Report::error(QStringLiteral("cannot write %1").arg(copyPath));
        return false;
    }
    return true;
}

// The console's save: the run's settings into the settings file, all but the device of this run
// (the file keeps its own). False with *error when the file cannot be written.
bool save(App &app, const QString &path, QString *error)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        *error = QStringLiteral("cannot create the folder of %1").arg(path);
        return false;
    }
    // A lock that would stall the write, and lines the write drops, of which a copy is kept.
    for (const QString &lock : SettingsFile::removeStaleLocks(path))
        Report::warning(
            QStringLiteral("removed the empty lock file %1 left by a process that died").arg(lock));
    const QStringList dropped = droppedLineWarnings(path, QStringLiteral("save drops it"));
    for (const QString &warning : dropped)
        Report::warning(warning);
    if (!dropped.isEmpty()) {
        const QString copy = path + QStringLiteral(".bak");
        QFile::remove(copy);
        if (QFile::copy(path, copy))
            Report::warning(QStringLiteral("kept a copy of the file as it was in %1").arg(copy));
        else
            Report::warning(QStringLiteral("could not keep a copy of the file in %1").arg(copy));
    }
    return SettingsFile::save(*app.settings(), path, DeviceKey, error);
}

} // namespace RunSettings
