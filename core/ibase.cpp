#include "ibase.h"

#include <cstdlib>

IBase::IBase(QObject *parent) : QObject(parent) { }

bool IBase::runSystemCommand(const QString &command)
{
    // The status is what system() returns, not decoded: exit code 1 is logged as 256, a shell
    // that cannot find the command gives 32512 and a failed fork -1.
    const QByteArray line = command.toLatin1();
    const int status = std::system(line.constData());
    addPreamble(qInfo()) << command << "->" << status;
    return status == 0;
}
