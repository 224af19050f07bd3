#include "linesession.h"

#include "ptypair.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSaveFile>

#include <cctype>
#include <unistd.h>

namespace {

const char *const EventNames[4] = {"unplug", "stall", "hangup", "garbage"};

// Longest event: a day, so that microseconds stay far from overflowing.
const double MaxEventSeconds = 86400.0;

QString countsLine(const LineCounts &counts)
{
    QStringList injected;
    for (int i = 0; i < LineFaultCount; ++i)
        injected << QStringLiteral("%1 %2")
                        .arg(lineFaultName(LineFault(i)))
                        .arg(counts.faults[size_t(i)]);
    return QStringLiteral("%1 bytes, %2 lines in; %3 bytes, %4 lines out; %5 bytes unheard, %6 "
                          "lost unplugged; injected: %7")
        .arg(counts.bytesIn)
        .arg(counts.linesIn)
        .arg(counts.bytesOut)
        .arg(counts.linesOut)
        .arg(counts.unheardBytes)
        .arg(counts.unpluggedBytes)
        .arg(injected.join(QStringLiteral(", ")));
}

} // namespace

void LineOptions::addTo(QCommandLineParser &parser)
{
    parser.addOptions({
        {QStringLiteral("baud"),
         QStringLiteral("Line speed the client end delivers at, 8N1 (default 115200); 0: unpaced."),
         QStringLiteral("N")},
        {QStringLiteral("seed"),
         QStringLiteral("Seed of the faults (default: random; printed at start)."),
         QStringLiteral("N")},
        {QStringLiteral("faults"),
         QStringLiteral("Faults on the instrument's output, KIND=RATE[,KIND=RATE...] with KIND "
                        "checksum, drop, truncate, duplicate, garbage (per line) or flip (per "
                        "byte) and RATE from 0 to 1."),
         QStringLiteral("LIST")},
        {QStringLiteral("command-faults"),
         QStringLiteral("The same for the client's commands to the instrument."),
         QStringLiteral("LIST")},
        {QStringLiteral("talker"),
         QStringLiteral("Rewrite the talker of every NMEA sentence to XX (two letters) and its "
                        "checksum, e.g. SD for depth sounder."),
         QStringLiteral("XX")},
        {QStringLiteral("record"),
         QStringLiteral("Record both directions of the line with timestamps into FILE "
                        "(kelvane-scope --from reads it)."),
         QStringLiteral("FILE")},
        {QStringLiteral("stats"),
         QStringLiteral("Write the line's statistics as JSON to FILE on every status and at "
                        "exit."),
         QStringLiteral("FILE")},
        {QStringLiteral("tcp"),
         QStringLiteral("Serve the line to TCP clients on [ADDR:]PORT (ADDR 127.0.0.1 unless "
                        "given, 0.0.0.0 for every interface; PORT 0 for any free one): each gets "
                        "the instrument's output, and what each sends is a command to it."),
         QStringLiteral("[ADDR:]PORT")},
        {QStringLiteral("tcp-max-clients"),
         QStringLiteral("At most N TCP clients at once (default 16); the next is refused."),
         QStringLiteral("N")},
        {QStringLiteral("udp"),
         QStringLiteral("Send every line of the instrument's output as one datagram to ADDR:PORT "
                        "(unicast, broadcast or multicast); may be given more than once."),
         QStringLiteral("ADDR:PORT")},
        {QStringLiteral("no-pty"),
         QStringLiteral("Make no client end DIR/client (with --tcp or --udp).")},
        {QStringLiteral("replay"),
         QStringLiteral("Run no plug-in: play FILE to the client ends instead, a --record "
                        "recording at its recorded times or a plain capture at the line rate."),
         QStringLiteral("FILE")},
        {QStringLiteral("loop"),
         QStringLiteral("With --replay: start again at the end of FILE (without it the host "
                        "ends there).")},
    });
}

QStringList LineOptions::names()
{
    return {QStringLiteral("baud"),
            QStringLiteral("seed"),
            QStringLiteral("faults"),
            QStringLiteral("command-faults"),
            QStringLiteral("talker"),
            QStringLiteral("record"),
            QStringLiteral("stats"),
            QStringLiteral("tcp"),
            QStringLiteral("tcp-max-clients"),
            QStringLiteral("udp"),
            QStringLiteral("no-pty"),
            QStringLiteral("replay"),
            QStringLiteral("loop")};
}

QStringList LineOptions::given(const QCommandLineParser &parser)
{
    QStringList set;
    for (const QString &name : names()) {
        if (parser.isSet(name))
            set << name;
    }
    return set;
}

bool LineOptions::read(const QCommandLineParser &parser, QString *error)
{
    if (parser.isSet(QStringLiteral("baud"))) {
        bool ok = false;
        baud = parser.value(QStringLiteral("baud")).toInt(&ok);
        if (!ok || baud < 0 || (baud > 0 && baud < 50) || baud > 10000000) {
            *error = QStringLiteral("--baud needs 0 (unpaced) or a rate from 50 to 10000000, got "
                                    "\"%1\"")
                         .arg(parser.value(QStringLiteral("baud")));
            return false;
        }
    }
    seedGiven = parser.isSet(QStringLiteral("seed"));
    if (seedGiven) {
        bool ok = false;
        seed = parser.value(QStringLiteral("seed")).toULongLong(&ok);
        if (!ok) {
            *error = QStringLiteral("--seed needs a whole number from 0 to 18446744073709551615, "
                                    "got \"%1\"")
                         .arg(parser.value(QStringLiteral("seed")));
            return false;
        }
    } else {
        seed = QRandomGenerator::system()->generate64();
    }
    for (const auto &[name, rates] :
         {std::pair<const char *, LineFaultRates *> {"faults", &faults},
          std::pair<const char *, LineFaultRates *> {"command-faults", &commandFaults}}) {
        QString why;
        if (parser.isSet(QLatin1String(name)) &&
            !rates->parse(parser.value(QLatin1String(name)), &why)) {
            *error = QStringLiteral("--%1: %2").arg(QLatin1String(name), why);
            return false;
        }
    }
    if (parser.isSet(QStringLiteral("talker"))) {
        talker = parser.value(QStringLiteral("talker")).toLatin1().toUpper();
        if (talker.size() != 2 || !std::isalpha(uchar(talker.at(0))) ||
            !std::isalpha(uchar(talker.at(1))) || talker.at(0) == 'P') {
            *error = QStringLiteral("--talker needs two letters (not starting with P), got \"%1\"")
                         .arg(parser.value(QStringLiteral("talker")));
            return false;
        }
    }
    recordPath = parser.value(QStringLiteral("record"));
    statsPath = parser.value(QStringLiteral("stats"));
    return readEnds(parser, error);
}

bool LineOptions::readEnds(const QCommandLineParser &parser, QString *error)
{
    QString why;
    tcp = parser.isSet(QStringLiteral("tcp"));
    if (tcp &&
        !NetAddress::parse(parser.value(QStringLiteral("tcp")), "127.0.0.1", &tcpAddress, &why)) {
        *error = QStringLiteral("--tcp: %1").arg(why);
        return false;
    }
    if (parser.isSet(QStringLiteral("tcp-max-clients"))) {
        bool ok = false;
        tcpMaxClients = parser.value(QStringLiteral("tcp-max-clients")).toInt(&ok);
        if (!ok || tcpMaxClients < 1 || tcpMaxClients > 1000 || !tcp) {
            *error = tcp ? QStringLiteral("--tcp-max-clients needs a number from 1 to 1000, got "
                                          "\"%1\"")
                               .arg(parser.value(QStringLiteral("tcp-max-clients")))
                         : QStringLiteral("--tcp-max-clients needs --tcp");
            return false;
        }
    }
    for (const QString &text : parser.values(QStringLiteral("udp"))) {
        NetAddress address;
        if (!NetAddress::parse(text, "", &address, &why) || address.port() == 0) {
            *error = QStringLiteral("--udp needs ADDR:PORT with a numeric address and a port "
                                    "from 1 to 65535, got \"%1\"")
                         .arg(text);
            return false;
        }
        udp << address;
    }
    pty = !parser.isSet(QStringLiteral("no-pty"));
    if (!pty && !tcp && udp.isEmpty()) {
        *error = QStringLiteral("--no-pty needs --tcp or --udp: no client could reach the line");
        return false;
    }
    replayPath = parser.value(QStringLiteral("replay"));
    loop = parser.isSet(QStringLiteral("loop"));
    if (loop && replayPath.isEmpty()) {
        *error = QStringLiteral("--loop needs --replay");
        return false;
    }
    return true;
}

bool FaultCommand::parse(const QString &text, const LineFaultRates &current, FaultCommand *command,
                         QString *error)
{
    const QString simple = text.simplified();
    const QStringList words = simple.isEmpty() ? QStringList() : simple.split(QLatin1Char(' '));
    const QString usage = QStringLiteral(
        "fault needs unplug SECONDS, stall SECONDS, hangup SECONDS, garbage N or KIND=RATE");
    if (words.size() == 1 && words.constFirst().contains(QLatin1Char('='))) {
        command->kind = Rates;
        command->rates = current;
        return command->rates.parse(words.constFirst(), error);
    }
    if (words.size() != 2) {
        *error = usage;
        return false;
    }
    const QString &what = words.at(0);
    bool ok = false;
    if (what == QLatin1String("garbage")) {
        command->kind = Garbage;
        command->count = words.at(1).toInt(&ok);
        if (!ok || command->count < 1 || command->count > 1000000) {
            *error = QStringLiteral("fault garbage needs a count from 1 to 1000000");
            return false;
        }
        return true;
    }
    const QStringList timed = {QStringLiteral("unplug"), QStringLiteral("stall"),
                               QStringLiteral("hangup")};
    const int index = timed.indexOf(what);
    if (index < 0) {
        *error = usage;
        return false;
    }
    command->kind = Kind(index);
    command->seconds = words.at(1).toDouble(&ok);
    if (!ok || !(command->seconds >= 0.0 && command->seconds <= MaxEventSeconds)) {
        *error =
            QStringLiteral("fault %1 needs SECONDS from 0 to %2").arg(what).arg(MaxEventSeconds);
        return false;
    }
    return true;
}

LineSession::LineSession(const LineOptions &opts, PtyPair *pair, QObject *parent)
    : QObject(parent), options(opts), pair(pair),
      // Each direction draws from its own sequence, so that the commands a client sends do not
      // change the faults of what it receives.
      toClient(LineConditioner::Lines, opts.seed),
      toDevice(LineConditioner::Chunks, opts.seed ^ 0x6B656C76616E6521ULL)
{
    for (LineConditioner *line : {&toClient, &toDevice})
        line->setBaud(options.baud);
    toClient.setRates(options.faults);
    toDevice.setRates(options.commandFaults);
    toClient.setTalker(options.talker);
}

LineSession::~LineSession()
{
    stop();
    recordFile.close();
}

void LineSession::stop()
{
    // The client ends as they were last, for the statistics at exit.
    if (lineRelay) {
        lineRelay->locked([this] {
            lastEnds = lineRelay->clientEnds().status();
            lastEndsJson = lineRelay->clientEnds().toJson();
        });
    }
    lineRelay.reset();
    // What the relay delivered last is still queued for the record.
    QCoreApplication::sendPostedEvents(this);
    if (recordFile.isOpen())
        recordFile.flush();
}

void LineSession::snapshot(Snapshot *out) const
{
    const auto take = [&] {
        out->counts[0] = toClient.counts();
        out->counts[1] = toDevice.counts();
        out->round = replay.round();
        out->ends = lineRelay ? lineRelay->clientEnds().status() : lastEnds;
        out->endsJson = lineRelay ? lineRelay->clientEnds().toJson() : lastEndsJson;
    };
    if (lineRelay)
        lineRelay->locked(take);
    else
        take();
}

bool LineSession::open(QString *error, int *status)
{
    *status = 1;
    if (!options.replayPath.isEmpty()) {
        if (!replay.open(options.replayPath, error)) {
            *status = 2;
            return false;
        }
        replay.setLoop(options.loop);
        replay.setBaud(options.baud);
    }
    if (!options.recordPath.isEmpty()) {
        recordFile.setFileName(options.recordPath);
        if (!recordFile.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            *error = QStringLiteral("cannot write %1: %2")
                         .arg(options.recordPath, recordFile.errorString());
            return false;
        }
    }
    if (!writeStats(error))
        return false;

    // The sockets last: once they are open the relay owns them.
    ClientEnds::Options ends;
    ends.maxTcpClients = options.tcpMaxClients;
    // The client end is made at the line's speed, and a client that sets another is told; an
    // unpaced line, or one at a speed termios has no code for, has none to compare.
    ends.baud = PtyPair::speedCode(options.baud) != B0 ? options.baud : 0;
    if (options.tcp) {
        ends.tcpFd = listenTcp(options.tcpAddress, error);
        if (ends.tcpFd < 0)
            return false;
        tcpBound = NetAddress::ofSocket(ends.tcpFd, true);
    }
    for (const NetAddress &to : qAsConst(options.udp)) {
        const int fd = openUdp(to, error);
        if (fd < 0) {
            for (const auto &udp : qAsConst(ends.udp))
                ::close(udp.first);
            if (ends.tcpFd >= 0)
                ::close(ends.tcpFd);
            return false;
        }
        ends.udp << qMakePair(fd, to);
    }
    lineRelay = std::make_unique<LineRelay>(pair, options.replayPath.isEmpty() ? nullptr : &replay,
                                            ends, &toClient, &toDevice);
    connect(lineRelay.get(), &LineRelay::failed, this, &LineSession::failed);
    connect(lineRelay.get(), &LineRelay::notice, this, &LineSession::notice);
    connect(lineRelay.get(), &LineRelay::replayEnded, this, &LineSession::replayEnded);
    if (recordFile.isOpen()) {
        recordFile.write(LineRecord::header());
        recordFile.write(QStringLiteral("# %1\n").arg(description()).toUtf8());
        recordFile.flush();
        // Queued from the relay's thread, with the time each delivery happened.
        connect(
            lineRelay.get(), &LineRelay::deliveredToClient, this,
            [this](qint64 us, const QByteArray &bytes) { record(us, LineRecord::Device, bytes); });
        connect(
            lineRelay.get(), &LineRelay::deliveredToDevice, this,
            [this](qint64 us, const QByteArray &bytes) { record(us, LineRecord::Client, bytes); });
    }
    lineRelay->start();
    return true;
}

QStringList LineSession::endLines() const
{
    QStringList lines;
    if (!options.replayPath.isEmpty()) {
        lines << (replay.isRecord()
                      ? QStringLiteral("Replay: %1, a line record of %2 bytes over %3 s%4")
                            .arg(options.replayPath)
                            .arg(replay.bytes())
                            .arg(QString::number(replay.spanUs() / 1e6, 'f', 3))
                      : QStringLiteral("Replay: %1, a plain capture of %2 bytes at the line "
                                       "rate%4")
                            .arg(options.replayPath)
                            .arg(replay.bytes()))
                     .arg(options.loop ? QStringLiteral(", looped") : QString());
    }
    if (options.tcp)
        lines << QStringLiteral("TCP: %1, at most %2 clients")
                     .arg(tcpBound.toString())
                     .arg(options.tcpMaxClients);
    for (const NetAddress &to : qAsConst(options.udp))
        lines << QStringLiteral("UDP: to %1").arg(to.toString());
    return lines;
}

QString LineSession::description() const
{
    QString text = QStringLiteral("Line: %1, seed %2, faults %3, command faults %4")
                       .arg(options.baud == 0 ? QStringLiteral("unpaced")
                                              : QStringLiteral("%1 baud").arg(options.baud))
                       .arg(options.seed)
                       .arg(toClient.rates().toString(), toDevice.rates().toString());
    if (!options.talker.isEmpty())
        text += QStringLiteral(", talker %1").arg(QLatin1String(options.talker));
    return text;
}

void LineSession::record(qint64 us, LineRecord::Source source, const QByteArray &bytes)
{
    if (!recordFile.isOpen())
        return;
    recordFile.write(LineRecord::format(us, source, bytes));
    recordFile.flush();
}

bool LineSession::fault(const QString &text, QString *error, QString *done)
{
    FaultCommand command;
    if (!FaultCommand::parse(text, toClient.rates(), &command, error))
        return false;
    const QString seconds = QString::number(command.seconds);
    switch (command.kind) {
    case FaultCommand::Unplug:
        lineRelay->unplug(command.seconds);
        *done = QStringLiteral("Fault: unplug for %1 s, silence both ways").arg(seconds);
        break;
    case FaultCommand::Stall:
        lineRelay->stall(command.seconds);
        *done = QStringLiteral("Fault: stall for %1 s, nothing reaches the clients until then")
                    .arg(seconds);
        break;
    case FaultCommand::Hangup:
        if (!options.pty && !options.tcp) {
            *error = QStringLiteral("fault hangup needs the client end DIR/client or --tcp: a "
                                    "UDP destination has no device to lose");
            return false;
        }
        lineRelay->hangUp(command.seconds);
        *done =
            QStringLiteral("Fault: hangup for %1 s, every client loses the device").arg(seconds);
        break;
    case FaultCommand::Garbage:
        lineRelay->garbage(command.count);
        *done = QStringLiteral("Fault: %1 random bytes to the clients").arg(command.count);
        break;
    case FaultCommand::Rates:
        if (lineRelay)
            lineRelay->locked([this, &command] { toClient.setRates(command.rates); });
        *done = QStringLiteral("Fault rates of the output now: %1").arg(command.rates.toString());
        return true;
    }
    ++events[command.kind];
    return true;
}

QString LineSession::exposure() const
{
    if (!options.tcp || tcpBound.isLoopback())
        return QString();
    return QStringLiteral("the TCP port %1 is open to the network: whoever reaches this machine "
                          "gets the instrument's output and can send it commands (give "
                          "127.0.0.1:PORT to keep it to this machine)")
        .arg(tcpBound.toString());
}

QStringList LineSession::status() const
{
    Snapshot now;
    snapshot(&now);
    QStringList eventCounts;
    for (int i = 0; i < 4; ++i)
        eventCounts << QStringLiteral("%1 %2").arg(QLatin1String(EventNames[i])).arg(events[i]);
    const bool replaying = !options.replayPath.isEmpty();
    return QStringList {
               description(),
               replaying
                   ? QStringLiteral("Source: %1, round %2").arg(options.replayPath).arg(now.round)
                   : QStringLiteral("Simulator end: %1")
                         .arg(lineRelay && lineRelay->isSimulatorOpen()
                                  ? QStringLiteral("open")
                                  : QStringLiteral("closed"))} +
        now.ends +
        QStringList {QStringLiteral("To the clients: %1").arg(countsLine(now.counts[0])),
                     QStringLiteral("%1: %2").arg(
                         replaying ? QStringLiteral("From the clients (to no instrument)")
                                   : QStringLiteral("To the simulator"),
                         countsLine(now.counts[1])),
                     QStringLiteral("Events: %1").arg(eventCounts.join(QStringLiteral(", ")))};
}

bool LineSession::writeStats(QString *error) const
{
    if (options.statsPath.isEmpty())
        return true;
    Snapshot now;
    snapshot(&now);
    QJsonObject eventCounts;
    for (int i = 0; i < 4; ++i)
        eventCounts.insert(QLatin1String(EventNames[i]), events[i]);
    // The seed as text: JSON numbers lose 64-bit integers.
    QJsonObject stats = {{QStringLiteral("seed"), QString::number(options.seed)},
                         {QStringLiteral("baud"), options.baud},
                         {QStringLiteral("faults"), toClient.rates().toString()},
                         {QStringLiteral("commandFaults"), toDevice.rates().toString()},
                         {QStringLiteral("toClient"), now.counts[0].toJson()},
                         {QStringLiteral("toDevice"), now.counts[1].toJson()},
                         {QStringLiteral("events"), eventCounts},
                         {QStringLiteral("clients"), now.endsJson}};
    if (!options.replayPath.isEmpty())
        stats.insert(QStringLiteral("replay"),
                     QJsonObject {{QStringLiteral("file"), options.replayPath},
                                  {QStringLiteral("round"), now.round}});
    QSaveFile file(options.statsPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(stats).toJson()) < 0 ||
        !file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(options.statsPath, file.errorString());
        return false;
    }
    return true;
}
