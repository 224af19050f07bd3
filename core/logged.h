#ifndef KELVANE_LOGGED_H
#define KELVANE_LOGGED_H

#include <QDebug>
#include <QString>

/// Mix-in of every host component: its identifier in front of log lines, trace lines, and
/// info and error texts for the ground station.
class Logged
{
public:
    Logged() = default;

    /// Short identifier of the component ("ECHO"); empty here.
    virtual QString id() const { return QString(); }
    /// Optional extra tag of trace lines; empty here.
    virtual QString prefix() const { return QString(); }

    /// A copy of stream with "[id]" written into it, unquoted; unchanged when id() is empty.
    QDebug addPreamble(const QDebug &stream) const;
    /// A debug stream holding the preamble, "Dbg:", "[prefix]" and "[tag]" (each when not empty).
    QDebug trace(const QString &tag = QString()) const;

    /// Sends text to the ground station as information from this component.
    void sendInfo(const QString &text) const;
    /// Sends text to the ground station as an error of this component.
    void sendError(const QString &text) const;

protected:
    // Components are deleted through their QObject side; Logged is never deleted on its own.
    ~Logged() = default;
};

#endif // KELVANE_LOGGED_H
