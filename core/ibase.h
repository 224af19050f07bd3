#ifndef KELVANE_IBASE_H
#define KELVANE_IBASE_H

#include "logged.h"

#include <QObject>

/// Common base of host components: a QObject that logs under its identifier.
class IBase : public QObject, public Logged
{
    Q_OBJECT

public:
    explicit IBase(QObject *parent = nullptr);

    /// Runs command through the system shell and waits for it; logs the command and the raw
    /// wait status. True when the status is 0. Blocks the calling thread meanwhile.
    bool runSystemCommand(const QString &command);
};

#endif // KELVANE_IBASE_H
