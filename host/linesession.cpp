#include "linesession.h"

#include "outputfile.h"
#include "ptyclientend.h"
#include "ptypair.h"
#include "replaysource.h"
#include "simulatorsource.h"
#include "tcplistener.h"
#include "udpdestination.h"

#include <QCoreApplication>
#include <QJsonDocument>

#include <unistd.h>

namespace {

const char *const EventNames[4] = {"unplug", "stall", "hangup", "garbage"};

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

LineSession::LineSession(const LineOptions &opts, PtyPair *pair, QObject *parent)
    : QObject(parent), options(opts), pair(pair), clientRates(opts.faults),
      commandRates(opts.commandFaults)
{
}

LineSession::~LineSession()
{
    stop();
    recordFile.close();
    if (recordOut)
        recordOut->commit();
}

void LineSession::stop()
{
    stopped = true;
    if (lineRelay)
        lineRelay->stop();
    if (recorder) {
        // The relay has ended: what it delivered last is posted, and flush() takes it first.
        QString error;
        QMetaObject::invokeMethod(
            recorder,
            [this, &error] {
                error = recorder->flush() ? QString() : recorder->error();
                recorder->moveToThread(QCoreApplication::instance()->thread());
            },
            Qt::BlockingQueuedConnection);
        recordThread.quit();
        recordThread.wait();
        delete recorder;
        recorder = nullptr;
        if (!error.isEmpty())
            recordWriteFailed(error);
    }
}

bool LineSession::open(QString *error, int *status)
{
    *status = 1;
    std::unique_ptr<LineSource> source;
    if (!options.replayPath.isEmpty()) {
        auto replay = std::make_unique<LineReplay>();
        if (!replay->open(options.replayPath, error)) {
            *status = 2;
            return false;
        }
        replay->setLoop(options.loop);
        replay->setBaud(options.baud);
        banner << (replay->isRecord()
                       ? QStringLiteral("Replay: %1, a line record of %2 bytes over %3 s%4")
                             .arg(options.replayPath)
                             .arg(replay->bytes())
                             .arg(QString::number(replay->spanUs() / 1e6, 'f', 3))
                       : QStringLiteral("Replay: %1, a plain capture of %2 bytes at the line "
                                        "rate%4")
                             .arg(options.replayPath)
                             .arg(replay->bytes()))
                      .arg(options.loop ? QStringLiteral(", looped") : QString());
        source = std::make_unique<ReplaySource>(std::move(replay), options.replayPath);
    } else {
        source = std::make_unique<SimulatorSource>(pair);
    }
    if (!options.recordPath.isEmpty()) {
        recordOut = std::make_unique<OutputFile>(options.recordPath, OutputFile::Stream);
        // Unbuffered: the recorder gathers the text and writes it in large pieces.
        if (!recordOut->open() ||
            !recordFile.open(recordOut->handle(), QIODevice::WriteOnly | QIODevice::Unbuffered,
                             QFileDevice::DontCloseHandle)) {
            *error = recordOut->errorString();
            return false;
        }
    }
    // The sockets last: once they are open the relay owns them.
    std::vector<std::unique_ptr<ClientEnd>> ends;
    if (pair && pair->clientFd() >= 0) {
        // The client end is made at the line's speed, and a client that sets another is told;
        // an unpaced line, or one at a speed termios has no code for, has none to compare.
        ends.push_back(std::make_unique<PtyClientEnd>(
            pair, PtyPair::speedCode(options.baud) != B0 ? options.baud : 0));
    }
    for (const NetAddress &to : qAsConst(options.udp)) {
        const int fd = openUdp(to, options.udpFrom, error);
        if (fd < 0)
            return false;
        ends.push_back(std::make_unique<UdpDestination>(fd, to));
        banner << QStringLiteral("UDP: to %1 from %2")
                      .arg(to.toString(), NetAddress::ofSocket(fd, true).toString());
    }
    if (options.tcp) {
        const int fd = listenTcp(options.tcpAddress, error);
        if (fd < 0)
            return false;
        auto listener = std::make_unique<TcpListener>(fd, options.tcpMaxClients);
        tcpBound = listener->address();
        ends.push_back(std::move(listener));
        // Listed before the UDP destinations.
        banner.insert(banner.size() - options.udp.size(),
                      QStringLiteral("TCP: %1, at most %2 clients")
                          .arg(tcpBound.toString())
                          .arg(options.tcpMaxClients));
    }
    LineRelay::Line line;
    line.baud = options.baud;
    line.seed = options.seed;
    line.faults = options.faults;
    line.commandFaults = options.commandFaults;
    line.talker = options.talker;
    lineRelay = std::make_unique<LineRelay>(line, std::move(source), std::move(ends));
    // Checked before anything runs; the first statistics are the line at rest.
    if (!writeStats(error))
        return false;
    connect(lineRelay.get(), &LineRelay::failed, this, &LineSession::failed);
    connect(lineRelay.get(), &LineRelay::notice, this, &LineSession::notice);
    connect(lineRelay.get(), &LineRelay::event, this, &LineSession::event);
    connect(lineRelay.get(), &LineRelay::sourceEnded, this, &LineSession::replayEnded);
    if (recordFile.isOpen()) {
        recorder = new LineRecorder(&recordFile, description());
        recorder->moveToThread(&recordThread);
        recordThread.setObjectName(QStringLiteral("record"));
        recordThread.start();
        // Posted on the relay's thread, with the time each delivery happened; the recorder's
        // thread takes them in batches.
        LineRecorder *to = recorder;
        // Said when it happens, once; the line goes on.
        connect(to, &LineRecorder::failed, this, &LineSession::recordWriteFailed);
        connect(
            lineRelay.get(), &LineRelay::deliveredToClient, to,
            [to](qint64 us, const QByteArray &bytes) { to->post(us, LineRecord::Device, bytes); },
            Qt::DirectConnection);
        connect(
            lineRelay.get(), &LineRelay::deliveredToDevice, to,
            [to](qint64 us, const QByteArray &bytes) { to->post(us, LineRecord::Client, bytes); },
            Qt::DirectConnection);
    }
    lineRelay->start();
    return true;
}

void LineSession::recordWriteFailed(const QString &reason)
{
    if (recordFailed)
        return;
    // Reported once; the clients go on being served, and the exit status tells.
    recordFailed = true;
    emit writeFailed(QStringLiteral("cannot write %1: %2; the record ends here, the line goes on")
                         .arg(options.recordPath, reason));
}

QString LineSession::description() const
{
    QString text = QStringLiteral("Line: %1, seed %2, faults %3, command faults %4")
                       .arg(options.baud == 0 ? QStringLiteral("unpaced")
                                              : QStringLiteral("%1 baud").arg(options.baud))
                       .arg(options.seed)
                       .arg(clientRates.toString(), commandRates.toString());
    if (!options.talker.isEmpty())
        text += QStringLiteral(", talker %1").arg(QLatin1String(options.talker));
    return text;
}

bool LineSession::fault(const FaultCommand &command, QString *error, QString *done)
{
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
        if (command.direction == FaultCommand::Commands) {
            commandRates = command.appliedTo(commandRates);
            lineRelay->setCommandRates(commandRates);
            *done =
                QStringLiteral("Fault rates of the commands now: %1").arg(commandRates.toString());
            return true;
        }
        clientRates = command.appliedTo(clientRates);
        lineRelay->setRates(clientRates);
        *done = QStringLiteral("Fault rates of the output now: %1").arg(clientRates.toString());
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
    const LineRelay::Snapshot now = lineRelay->snapshot();
    QStringList eventCounts;
    for (int i = 0; i < 4; ++i)
        eventCounts << QStringLiteral("%1 %2").arg(QLatin1String(EventNames[i])).arg(events[i]);
    return QStringList {description(), now.source} + now.ends +
        QStringList {QStringLiteral("To the clients: %1").arg(countsLine(now.toClient)),
                     QStringLiteral("%1: %2").arg(now.commandsTo, countsLine(now.toDevice)),
                     QStringLiteral("Events: %1").arg(eventCounts.join(QStringLiteral(", ")))};
}

QJsonObject LineSession::stats() const
{
    const LineRelay::Snapshot now = lineRelay ? lineRelay->snapshot() : LineRelay::Snapshot();
    QJsonObject eventCounts;
    for (int i = 0; i < 4; ++i)
        eventCounts.insert(QLatin1String(EventNames[i]), events[i]);
    // The seed as text: JSON numbers lose 64-bit integers.
    QJsonObject stats = {{QStringLiteral("seed"), QString::number(options.seed)},
                         {QStringLiteral("baud"), options.baud},
                         {QStringLiteral("faults"), clientRates.toString()},
                         {QStringLiteral("commandFaults"), commandRates.toString()},
                         {QStringLiteral("toClient"), now.toClient.toJson()},
                         {QStringLiteral("toDevice"), now.toDevice.toJson()},
                         {QStringLiteral("events"), eventCounts},
                         {QStringLiteral("clients"), now.endsJson}};
    for (auto it = now.sourceJson.begin(); it != now.sourceJson.end(); ++it)
        stats.insert(it.key(), it.value());
    return stats;
}

bool LineSession::writeStats(QString *error)
{
    if (options.statsPath.isEmpty())
        return true;
    const QByteArray json = QJsonDocument(stats()).toJson();
    // A device, a FIFO or this process's output is opened with the line and written once, at
    // the end, so that it gets one document (appended, for ">>"); a regular file is replaced
    // whole each time.
    if (!statsLooked) {
        statsLooked = true;
        auto file = std::make_unique<OutputFile>(options.statsPath, OutputFile::Replace);
        if (!file->open()) {
            *error = file->errorString();
            return false;
        }
        if (file->isInPlace())
            statsInPlace = std::move(file);
    }
    if (statsInPlace) {
        if (!stopped)
            return true;
        const bool written = statsInPlace->write(json) && statsInPlace->commit();
        if (!written)
            *error = statsInPlace->errorString();
        statsInPlace.reset();
        return written;
    }
    return OutputFile::writeWhole(options.statsPath, json, error);
}
