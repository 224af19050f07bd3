#ifndef KELVANE_RUNPLACES_H
#define KELVANE_RUNPLACES_H

#include <QString>

/// Where a run of kelvane-host lives: the folder of its pair's names and run settings, and the
/// serial device it may be given instead of a pair. Each prints the reason when it fails.
namespace RunPlaces {

/// $XDG_RUNTIME_DIR/kelvane-host, or a private folder of this user's in the temporary folder;
/// empty when that folder cannot be had.
QString defaultLinkDir();

/// Whether dir, a --link-dir given by name, is this user's own folder that no one else may
/// write in; a folder that does not exist yet is made, private.
bool checkLinkDir(const QString &dir);

/// Whether path is a serial device the plug-in can open: it exists, is a terminal and is not in
/// use (its lock file included).
bool checkDevice(const QString &path);

} // namespace RunPlaces

#endif // KELVANE_RUNPLACES_H
