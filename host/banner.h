#ifndef KELVANE_BANNER_H
#define KELVANE_BANNER_H

#include <QStringList>

class LineSession;
class PayloadHost;
class PtyPair;
struct Options;

/// What kelvane-host prints once it runs: the plug-in, the settings, the devices, where a client
/// connects and how the line carries (line: null without the host's pair).
namespace Banner {

void print(const Options &options, const PayloadHost &host, const QString &runSettings,
           const QStringList &deviceLines, const PtyPair &pair, const LineSession *line);

} // namespace Banner

#endif // KELVANE_BANNER_H
