#include "banner.h"

#include "console.h"
#include "linesession.h"
#include "options.h"
#include "payloadhost.h"
#include "ptypair.h"
#include "report.h"

namespace Banner {

// The banner: what runs, and where a client connects.
void print(const Options &options, const PayloadHost &host, const QString &runSettings,
           const QStringList &deviceLines, const PtyPair &pair, const LineSession *line)
{
    if (!options.replaying()) {
        Console::print(QStringLiteral("Plug-in: %1").arg(host.identity()));
        Console::print(QStringLiteral("Metadata: %1").arg(host.metaDataText()));
        Console::print(QStringLiteral("Settings: %1, run on a copy in %2 (save writes it back)")
                           .arg(options.settingsPath, runSettings));
    }
    for (const QString &deviceLine : deviceLines)
        Console::print(deviceLine);
    if (!line)
        return;
    // Not a terminal program: it would send each key as one command text.
    if (options.line.pty)
        Console::print(QStringLiteral("Connect your client to %1 (%2 baud), e.g. kelvane-scope "
                                      "%1 or cat %1; to type commands a line at a time: socat "
                                      "-,icanon=1 %1,raw,echo=0")
                           .arg(pair.clientEnd())
                           .arg(options.line.baud == 0 ? 115200 : options.line.baud));
    for (const QString &endLine : line->endLines())
        Console::print(endLine);
    Console::print(line->description());
    const QString exposure = line->exposure();
    if (!exposure.isEmpty())
        Report::warning(exposure);
}

} // namespace Banner
