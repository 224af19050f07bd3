#include "report.h"

#include "console.h"

namespace Report {

const char *const ProgramName = "kelvane-host";

void error(const QString &text)
{
    Console::printError(QStringLiteral("%1: error: %2").arg(QLatin1String(ProgramName), text));
}

void warning(const QString &text)
{
    Console::printError(QStringLiteral("%1: warning: %2").arg(QLatin1String(ProgramName), text));
}

void note(const QString &text)
{
    Console::printError(QStringLiteral("%1: %2").arg(QLatin1String(ProgramName), text));
}

} // namespace Report
