#ifndef KELVANE_REPORT_H
#define KELVANE_REPORT_H

#include <QString>

/// kelvane-host's own lines on standard error, each written at once: "kelvane-host: error: ...",
/// "kelvane-host: warning: ...", "kelvane-host: ..." (a note: what the host did or saw).
namespace Report {

extern const char *const ProgramName;

void error(const QString &text);
void warning(const QString &text);
void note(const QString &text);

} // namespace Report

#endif // KELVANE_REPORT_H
