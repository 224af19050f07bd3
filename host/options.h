#ifndef KELVANE_OPTIONS_H
#define KELVANE_OPTIONS_H

#include "lineconditioner.h"
#include "netaddress.h"

#include <QString>
#include <QStringList>
#include <QVector>

/// The line options of kelvane-host, read: how the line carries bytes (--baud, --seed, --faults,
/// --command-faults, --talker), what it keeps (--record, --stats), and its ends and source besides
/// the pair (--tcp, --tcp-max-clients, --udp, --udp-from, --no-pty, --replay, --loop).
struct LineOptions
{
    int baud = 115200;
    quint64 seed = 0; ///< drawn at random unless --seed is given
    LineFaultRates faults;
    LineFaultRates commandFaults;
    QByteArray talker;
    QString recordPath;
    QString statsPath;
    bool tcp = false;
    NetAddress tcpAddress;
    int tcpMaxClients = 16;
    QVector<NetAddress> udp;
    NetAddress udpFrom; ///< no family: each destination's own source address
    bool pty = true;
    QString replayPath;
    bool loop = false;
};

/// kelvane-host's command line, parsed once into values. One table declares every option: its
/// name, value, help text and how its value is read; the rules between options are checked in
/// one place after every value has been read.
struct Options
{
    QString settingsPath; ///< absolute
    QString pluginPath; ///< absolute
    bool pluginGiven = false;
    QString device;
    QString linkDir; ///< absolute; empty: the default, looked up when a pair is made
    bool console = true;
    QString scriptPath;
    QString controlPath; ///< the control channel's socket; empty: none
    LineOptions line;

    bool replaying() const { return !line.replayPath.isEmpty(); }

    /// Reads the arguments (the program's name first). Prints --help or --version and exits 0;
    /// prints a usage error, with hints, and exits with ExitStatus::Usage.
    static Options parse(const QStringList &arguments);
};

#endif // KELVANE_OPTIONS_H
