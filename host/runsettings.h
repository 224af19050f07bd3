#ifndef KELVANE_RUNSETTINGS_H
#define KELVANE_RUNSETTINGS_H

#include <QString>

class App;

/// The run's settings: a copy of the settings file in the run folder, so that nothing a run does
/// (the plug-in writing its defaults back, set, prune, the device the host gives the plug-in)
/// reaches the file itself unless save asks for it.
namespace RunSettings {

/// Makes the copy at copyPath from settingsPath (or from nothing), loads it into app, and writes
/// the host's configuration of the plug-in into it: simulatorDevice, a telemetry period when it
/// is missing, and a depth range for a first run. False, with the reason printed, when it
/// cannot be had.
bool prepare(App &app, const QString &settingsPath, const QString &copyPath,
             const QString &simulatorDevice);

/// The console's save: the run's settings into the file at path, all but the device of this run
/// (the file keeps its own). False with *error when the file cannot be written.
bool save(App &app, const QString &path, QString *error);

} // namespace RunSettings

#endif // KELVANE_RUNSETTINGS_H
