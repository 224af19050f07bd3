#include "scope.h"

#include "linerecord.h"

#include <QSerialPort>
#include <QTimer>

#include <cmath>
#include <cstdio>

namespace {

// A value for people and for the CSV: fixed point, or the placeholder when unknown.
QString number(double value, int decimals, const QString &unknown)
{
    return std::isnan(value) ? unknown : QString::number(value, 'f', decimals);
}

QString integer(int value, const QString &unknown)
{
    return value < 0 ? unknown : QString::number(value);
}

// Bytes as text for a terminal: control and non-ASCII bytes, and the backslash, as \xHH.
QString printable(const QByteArray &bytes)
{
    QString text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7f || byte == '\\')
            text += QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0'));
        else
            text += QLatin1Char(c);
    }
    return text;
}

QString channel(int frequency)
{
    const QString name = Ping::channelName(frequency);
    return name.isEmpty() ? QStringLiteral("-") : name;
}

QString counted(int n, const char *one, const char *many)
{
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

// What a user most likely needs to hear when the device cannot be opened.
QString openHint(const QSerialPort &port)
{
    if (port.error() == QSerialPort::DeviceNotFoundError)
        return QStringLiteral(" (is kelvane-host running?)");
    if (port.error() == QSerialPort::PermissionError &&
        port.errorString().contains(QLatin1String("locking")))
        return QStringLiteral(" (another program reads it: a client end takes one reader; "
                              "kelvane-host --tcp PORT serves several)");
    return QString();
}

} // namespace

Scope::Scope(const Options &opts, QObject *parent)
    : QObject(parent), options(opts), out(stdout), err(stderr)
{
    decoder.setDefaultSampleFrequency(options.sampleFrequency);
    decoder.setTalker(options.talker);
    connect(&decoder, &StreamDecoder::pingDecoded, this, &Scope::onPing);
    connect(&decoder, &StreamDecoder::anomalyFound, this, &Scope::onAnomaly);
    connect(&decoder, &StreamDecoder::replyReceived, this, &Scope::onReply);
}

Scope::~Scope() = default;

bool Scope::open()
{
    // The outputs first, so that an unwritable one ends the run before it starts.
    if (!openOutputs())
        return false;
    if (!(options.fromFile.isEmpty() ? openDevice() : openFile())) {
        discardOutputs();
        return false;
    }
    if (csv.isOpen()) {
        csv.resize(0);
        csvOut.setDevice(&csv);
        csvOut << "time_s,channel_hz,depth_m,temperature_c,pitch_deg,roll_deg,samples,"
                  "echo_depth_m\n";
        csvOut.flush();
    }
    return true;
}

bool Scope::openOutputs()
{
    if (!options.csvFile.isEmpty()) {
        // Not truncated yet: a file of an earlier run stays as it was if this one cannot start.
        csv.setFileName(options.csvFile);
        csvExisted = csv.exists();
        if (!csv.open(QIODevice::ReadWrite | QIODevice::Text)) {
            err << "kelvane-scope: cannot write " << options.csvFile << ": " << csv.errorString()
                << Qt::endl;
            return false;
        }
    }
    if (!options.pngFile.isEmpty()) {
        png.setFileName(options.pngFile);
        if (!png.open(QIODevice::WriteOnly)) {
            err << "kelvane-scope: cannot write " << options.pngFile << ": " << png.errorString()
                << Qt::endl;
            discardOutputs();
            return false;
        }
    }
    return true;
}

void Scope::discardOutputs()
{
    if (csv.isOpen() && !csvExisted)
        csv.remove();
    csv.close();
    if (png.isOpen()) {
        png.cancelWriting();
        png.commit(); // after cancelWriting(): removes the unfinished file, writes nothing
    }
}

bool Scope::openDevice()
{
    port = new QSerialPort(this);
    port->setPortName(options.device);
    if (!port->open(QIODevice::ReadWrite)) {
        err << "kelvane-scope: cannot open " << options.device << ": " << port->errorString()
            << openHint(*port) << Qt::endl;
        return false;
    }
    if (!port->setBaudRate(options.baud)) {
        err << "kelvane-scope: cannot set " << options.baud << " baud on " << options.device << ": "
            << port->errorString() << Qt::endl;
        return false;
    }
    // The device has been writing all along: what waited in the buffer is stale, and the first
    // bytes read may be the tail of a frame.
    port->clear(QSerialPort::Input);
    decoder.setSynchronised(false);
    clock.start();
    connect(port, &QSerialPort::readyRead, this, &Scope::readDevice);
    connect(port, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError e) {
        if (e != QSerialPort::NoError && !finished)
            deviceLost(e);
    });
    if (!options.send.isEmpty()) {
        port->write(options.send);
        awaitingReply = true;
        replyTimer = new QTimer(this);
        replyTimer->setSingleShot(true);
        connect(replyTimer, &QTimer::timeout, this, &Scope::replyTimedOut);
        replyTimer->start(options.replyTimeoutMs);
    }
    return true;
}

void Scope::deviceLost(int error)
{
    // The other end went away (the host stopped, a hangup) or the device failed: the stream
    // ends before the run wanted it to. A pty's hang-up fails the read (EIO), whose error text
    // Qt takes from whatever failed last: it is named for what it is.
    const bool hungUp = error == QSerialPort::ReadError || error == QSerialPort::ResourceError;
    err << "kelvane-scope: " << options.device << " went away ("
        << (hungUp ? QStringLiteral("hung up or removed") : port->errorString()) << "), stopping"
        << Qt::endl;
    readDevice();
    if (finished)
        return; // what was left in it completed the ping count
    endStatus = DeviceLost;
    finish(true);
    emit done();
}

void Scope::replyTimedOut()
{
    if (!awaitingReply || finished)
        return;
    err << "kelvane-scope: no reply to \"" << QString::fromLatin1(options.send.simplified())
        << "\" within " << QString::number(options.replyTimeoutMs / 1000.0) << " s, stopping"
        << Qt::endl;
    endStatus = NoReply;
    finish(true);
    emit done();
}

bool Scope::openFile()
{
    const bool ok = options.fromFile == QLatin1String("-")
        ? input.open(stdin, QIODevice::ReadOnly)
        : (input.setFileName(options.fromFile), input.open(QIODevice::ReadOnly));
    if (!ok) {
        err << "kelvane-scope: cannot read " << options.fromFile << ": " << input.errorString()
            << Qt::endl;
        return false;
    }
    // Sentences, frames and prompts start with "$", "#" or ">". A capture that starts with
    // anything else (a sample, the tail of a line) was begun in the middle of a ping, as cat on
    // a running device begins: it is joined as a device is, from its first ping or reply on,
    // so that what the capture cut off is no anomaly. A reply and its echo are still decoded.
    const QByteArray first = input.peek(1);
    if (!first.isEmpty() && !QByteArray("$#>\r\n").contains(first.at(0)))
        decoder.setSynchronised(false);
    return true;
}

void Scope::readDevice()
{
    if (finished || !port)
        return;
    const QByteArray bytes = port->readAll();
    if (!bytes.isEmpty())
        decoder.feed(bytes, clock.elapsed() / 1000.0);
    if (enoughPings()) {
        finish(true);
        emit done();
    }
}

bool Scope::enoughPings() const
{
    return options.pings > 0 && pingsShown >= options.pings;
}

int Scope::runFile()
{
    // A line record of kelvane-host: the instrument's bytes with their times; the commands in
    // it are not the instrument's and are left out. Its first bytes are joined as a capture's.
    const bool isRecord = LineRecord::isRecord(input.peek(64));
    bool first = true;
    for (int number = 1; !enoughPings(); ++number) {
        if (!isRecord) {
            const QByteArray chunk = input.read(64 * 1024);
            if (chunk.isEmpty())
                break;
            decoder.feed(chunk);
            continue;
        }
        if (input.atEnd())
            break;
        const QByteArray line = input.readLine();
        LineRecord::Entry entry;
        if (line.startsWith('#'))
            continue;
        if (!LineRecord::parse(line, &entry)) {
            err << "kelvane-scope: " << options.fromFile << ":" << number
                << ": not a line record entry" << Qt::endl;
            return IoError;
        }
        if (entry.source != LineRecord::Device || entry.bytes.isEmpty())
            continue;
        if (first && !QByteArray("$#>\r\n").contains(entry.bytes.at(0)))
            decoder.setSynchronised(false);
        first = false;
        decoder.feed(entry.bytes, entry.us / 1e6);
    }
    // A capture that ends inside a frame was cut: that is an anomaly of the capture, unless
    // the run stopped early on its own ping count.
    return finish(enoughPings());
}

int Scope::finish(bool streamCut)
{
    if (finished)
        return status;
    finished = true;
    finishing = true;
    decoder.finish(!streamCut);
    if (port)
        port->close();
    out << counted(pingsShown, "ping", "pings") << ", "
        << counted(anomaliesShown, "anomaly", "anomalies") << Qt::endl;
    status = endStatus != Clean ? endStatus : anomaliesShown > 0 ? AnomaliesSeen : Clean;
    if (csv.isOpen()) {
        csvOut.flush();
        csv.close();
        if (csv.error() != QFileDevice::NoError) {
            err << "kelvane-scope: cannot write " << options.csvFile << ": " << csv.errorString()
                << Qt::endl;
            status = IoError;
        }
    }
    if (png.isOpen()) {
        QString why;
        if (!echogram.save(&png, &why) || !png.commit()) {
            err << "kelvane-scope: cannot write " << options.pngFile << ": "
                << (why.isEmpty() ? png.errorString() : why) << Qt::endl;
            status = IoError;
        }
    }
    return status;
}

void Scope::onPing(const Ping &ping)
{
    if (enoughPings())
        return; // the rest of the read that completed the last ping wanted
    const QString unknown = QStringLiteral("-");
    if (awaitingReply) {
        // Written before the command took effect: shown, but neither counted nor kept.
        out << "(before the reply) ";
    } else {
        ++pingsShown;
    }
    out << "t=" << number(ping.time, 3, unknown) << " ch=" << channel(ping.frequency)
        << " depth=" << number(ping.depth, 4, unknown)
        << " temp=" << number(ping.temperature, 2, unknown)
        << " pitch=" << number(ping.pitch, 3, unknown) << " roll=" << number(ping.roll, 3, unknown)
        << " samples=" << integer(ping.sampleCount(), unknown)
        << " echo=" << number(ping.echoDepth, 4, unknown) << Qt::endl;
    if (awaitingReply)
        return;
    if (csv.isOpen()) {
        const QString empty;
        csvOut << number(ping.time, 3, empty) << ',' << integer(ping.frequency, empty) << ','
               << number(ping.depth, 4, empty) << ',' << number(ping.temperature, 2, empty) << ','
               << number(ping.pitch, 3, empty) << ',' << number(ping.roll, 3, empty) << ','
               << integer(ping.sampleCount(), empty) << ',' << number(ping.echoDepth, 4, empty)
               << '\n';
        csvOut.flush();
    }
    echogram.addPing(ping);
    explainEmptyEchoes(ping);
}

// Notes, not anomalies: the instrument does what it was told, and the exit status stays as
// it is. Each is said once a run.
void Scope::explainEmptyEchoes(const Ping &ping)
{
    if (ping.hasData)
        sawData = true;
    // A capture's output mode cannot be changed: there the note is for the picture only.
    const bool nmea = !ping.hasData && ping.headerSamples < 0;
    const bool wanted = options.fromFile.isEmpty() || !options.pngFile.isEmpty();
    if (nmea && wanted && !sawData && !notedNmea) {
        notedNmea = true;
        err << "kelvane-scope: note: the instrument sends NMEA sentences, which carry no echo "
               "samples (samples=- echo=-, an empty echogram); echo frames need a command, "
               "e.g. --send \"#range 40000 #output 2 #go\""
            << Qt::endl;
    }
    const double range = ping.dataRange();
    if (ping.hasData && !std::isnan(ping.depth) && ping.depth > range && !notedRange) {
        notedRange = true;
        err << "kelvane-scope: note: the reported depth " << QString::number(ping.depth, 'f', 2)
            << " m lies beyond the data block's range of " << QString::number(range, 'f', 2)
            << " m (" << ping.samples.size() << " samples at " << ping.samplingFrequency
            << " Hz), so its echo is not in it; a longer range (in mm) shows it, e.g. "
               "--send \"#range 40000 #go\" (dual frequency: #rangeh, #rangel)"
            << Qt::endl;
    }
}

void Scope::onAnomaly(const Anomaly &anomaly)
{
    if (enoughPings() && !finishing)
        return; // past the last ping wanted
    ++anomaliesShown;
    err << "line " << anomaly.line << ": " << Anomaly::kindName(anomaly.kind) << ": "
        << anomaly.message;
    if (!anomaly.text.isEmpty())
        err << ": " << printable(anomaly.text);
    err << Qt::endl;
}

void Scope::onReply(const Reply &reply)
{
    // The device echoes the command with its white space collapsed, or, for its first command
    // in dual mode, only says "Invalid command >"; a text under two bytes gets a bare ">".
    const QByteArray sent = options.send.simplified();
    if (awaitingReply &&
        (reply.echo == sent || reply.prompt == "Invalid command >" ||
         (sent.size() < 2 && reply.prompt == ">"))) {
        awaitingReply = false;
        replyTimer->stop();
    }
    out << "reply " << QString::fromLatin1(reply.echo) << (reply.echo.isEmpty() ? "" : " ")
        << QString::fromLatin1(reply.prompt) << Qt::endl;
}
