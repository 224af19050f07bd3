#ifndef KELVANE_EXITSTATUS_H
#define KELVANE_EXITSTATUS_H

#include <QString>

/// kelvane-host's exit statuses. --help lists them from here, and the manual page lists the same
/// (a test keeps the two in step).
namespace ExitStatus {

enum Code {
    Ok = 0,
    Failure = 1,
    Usage = 2,
    ScriptFailed = 3,
    Incomplete = 4,
};

/// The "Exit status:" section of --help, one status a line.
inline QString helpText()
{
    return QStringLiteral(
        "Exit status:\n"
        "  0  the run ended as asked: quit, end of input (without a script still to\n"
        "     run), SIGINT, SIGTERM, SIGHUP, or the end of a replay\n"
        "  1  the host could not start or could not go on: the plug-in, the device,\n"
        "     the pty pair, a port or a file could not be had\n"
        "  2  usage: an unknown option, a bad value, a script or a recording that\n"
        "     does not read; nothing was started\n"
        "  3  the run ended, but a command of the --script failed while it ran\n"
        "  4  the run ended, but the --record or the --stats file is incomplete: a\n"
        "     write failed (the log says why); the line went on serving\n");
}

} // namespace ExitStatus

#endif // KELVANE_EXITSTATUS_H
