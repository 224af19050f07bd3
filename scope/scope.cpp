#include "scope.h"

#include "linerecord.h"
#include "outputfile.h"

#include "liveview.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QSerialPort>
#include <QTcpSocket>
#include <QTimer>

#include "nmea.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Capture files are read in blocks of this size, and handed to the decoder in pieces of
// FeedSize with the ping count checked between.
constexpr int BlockSize = 1024 * 1024;
constexpr int FeedSize = 64 * 1024;
// How long a TCP connection may take to be made.
constexpr int ConnectTimeoutMs = 10000;

template<int N> void put(QByteArray &out, const char (&text)[N])
{
    out.append(text, N - 1);
}

// A value for people and for the CSV: fixed point, or the placeholder when unknown.
template<int N> void number(QByteArray &out, double value, int decimals, const char (&unknown)[N])
{
    if (std::isnan(value))
        put(out, unknown);
    else
        appendFixed(out, value, decimals);
}

template<int N> void integer(QByteArray &out, int value, const char (&unknown)[N])
{
    if (value < 0) {
        put(out, unknown);
        return;
    }
    char digits[12];
    char *p = digits + sizeof digits;
    do {
        *--p = char('0' + value % 10);
        value /= 10;
    } while (value > 0);
    out.append(p, int(digits + sizeof digits - p));
}

// One read of up to size bytes: all of them from a file but at its end, what has come from a
// pipe; 0 at the end, -1 when reading fails.
qint64 readSome(int fd, char *to, qint64 size)
{
    for (;;) {
        const ssize_t n = ::read(fd, to, size_t(size));
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

// Sentences, frames and prompts start with "$", "#" or ">", and blank lines with CR or LF: a
// stream that starts with anything else was begun in the middle of a line.
bool startsMidLine(char first)
{
    return !QByteArray("$#>\r\n").contains(first);
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

Scope::Scope(const Options &opts, QObject *parent) : QObject(parent), options(opts)
{
    row.reserve(256); // emptied for each ping, its memory kept
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
    if (csv)
        csvRows = "time_s,channel_hz,depth_m,temperature_c,pitch_deg,roll_deg,samples,"
                  "echo_depth_m\n";
    return true;
}

bool Scope::openOutputs()
{
    for (auto [file, path] :
         {std::make_pair(&csv, options.csvFile), std::make_pair(&png, options.pngFile)}) {
        if (path.isEmpty())
            continue;
        *file = std::make_unique<OutputFile>(path, OutputFile::Replace);
        if (!(*file)->open()) {
            text.err() << "kelvane-scope: " << (*file)->errorString() << '\n';
            discardOutputs();
            return false;
        }
    }
    return true;
}

void Scope::discardOutputs()
{
    csv.reset();
    png.reset();
}

void Scope::writeCsvRows()
{
    // A failed write is said once, at the end, by commit().
    if (csv && !csvRows.isEmpty())
        csv->write(csvRows);
    csvRows.resize(0);
}

bool Scope::openDevice()
{
    if (!options.tcpHost.isEmpty())
        return openTcp();
    auto *serial = new QSerialPort(this);
    port = serial;
    serial->setPortName(options.device);
    if (!serial->open(QIODevice::ReadWrite)) {
        text.err() << "kelvane-scope: cannot open " << options.device << ": "
                   << serial->errorString() << openHint(*serial) << '\n';
        return false;
    }
    if (!serial->setBaudRate(options.baud)) {
        text.err() << "kelvane-scope: cannot set " << options.baud << " baud on " << options.device
                   << ": " << serial->errorString() << '\n';
        return false;
    }
    // The device has been writing all along: what waited in the buffer is stale, and the first
    // bytes read may be the tail of a frame.
    serial->clear(QSerialPort::Input);
    connect(serial, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError e) {
        if (e != QSerialPort::NoError && !finished)
            deviceLost(e == QSerialPort::ReadError || e == QSerialPort::ResourceError
                           ? QStringLiteral("hung up or removed")
                           : port->errorString());
    });
    watchInput();
    return true;
}

// kelvane-host's TCP end carries the same stream as its client pty, from the next whole line
// on, and takes commands as the pty does: read like a device.
bool Scope::openTcp()
{
    auto *socket = new QTcpSocket(this);
    port = socket;
    socket->connectToHost(options.tcpHost, options.tcpPort);
    // The one wait of the program: nothing is decoded before the connection is made.
    if (!socket->waitForConnected(ConnectTimeoutMs)) {
        text.err() << "kelvane-scope: cannot connect to " << inputName() << ": "
                   << socket->errorString() << " (is kelvane-host --tcp running?)\n";
        return false;
    }
    connect(socket, &QTcpSocket::disconnected, this, [this] {
        if (!finished)
            deviceLost(QStringLiteral("connection closed"));
    });
    connect(socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError e) {
        if (e != QAbstractSocket::RemoteHostClosedError && !finished)
            deviceLost(port->errorString());
    });
    watchInput();
    return true;
}

// What the device and the TCP connection share: joined in the middle of the stream, read as
// bytes come, the command written once.
void Scope::watchInput()
{
    decoder.setSynchronised(false);
    clock.start();
    connect(port, &QIODevice::readyRead, this, &Scope::readDevice);
    if (live)
        live->setState(LiveView::Reading, inputName());
    if (!options.send.isEmpty()) {
        port->write(options.send);
        awaitingReply = true;
        replyTimer = new QTimer(this);
        replyTimer->setSingleShot(true);
        connect(replyTimer, &QTimer::timeout, this, &Scope::replyTimedOut);
        replyTimer->start(options.replyTimeoutMs);
    }
}

QString Scope::inputName() const
{
    if (!options.tcpHost.isEmpty()) {
        const QString host = options.tcpHost.contains(QLatin1Char(':'))
            ? QStringLiteral("[%1]").arg(options.tcpHost)
            : options.tcpHost;
        return QStringLiteral("%1:%2").arg(host).arg(options.tcpPort);
    }
    return options.fromFile.isEmpty() ? options.device : options.fromFile;
}

void Scope::deviceLost(const QString &why)
{
    // The other end went away (the host stopped, a hangup) or the device failed: the stream
    // ends before the run wanted it to. A pty's hang-up fails the read (EIO), whose error text
    // Qt takes from whatever failed last: it is named for what it is.
    text.err() << "kelvane-scope: " << inputName() << " went away (" << why << "), stopping\n";
    text.flush();
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
    text.err() << "kelvane-scope: no reply to \"" << QString::fromLatin1(options.send.simplified())
               << "\" within " << QString::number(options.replyTimeoutMs / 1000.0)
               << " s, stopping\n";
    text.flush();
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
        text.err() << "kelvane-scope: cannot read " << options.fromFile << ": "
                   << input.errorString() << '\n';
        return false;
    }
    // A pipe or a terminal may be a live stream (cat of a device): shown as it is read.
    struct stat status;
    pipedInput = ::fstat(input.handle(), &status) != 0 || !S_ISREG(status.st_mode);
    if (live)
        live->setState(LiveView::Reading, inputName());
    return true;
}

void Scope::readDevice()
{
    if (finished || !port)
        return;
    const QByteArray bytes = port->readAll();
    if (!bytes.isEmpty())
        decoder.feed(bytes, clock.elapsed() / 1000.0);
    showDecoded();
    if (enoughPings()) {
        finish(true);
        emit done();
    }
}

// Live input: what a read decoded is shown at once, not when the output has gathered a piece.
void Scope::showDecoded()
{
    text.flush();
    writeCsvRows();
}

bool Scope::enoughPings() const
{
    return options.pings > 0 && pingsShown >= options.pings;
}

int Scope::runFile()
{
    // The capture is read in blocks, never whole: memory stays the same whatever its length.
    std::vector<char> block(BlockSize);
    // Enough of the start to tell a record by its first line, also from a pipe.
    qint64 size = 0;
    for (qint64 n = 1; n > 0 && size < 64; size += n)
        n = qMax<qint64>(0, readSome(input.handle(), block.data() + size, BlockSize - size));
    if (size == 0)
        return finish(false);
    // A line record of kelvane-host: the instrument's bytes with their times; the commands in
    // it are not the instrument's and are left out.
    if (LineRecord::isRecord(QByteArray::fromRawData(block.data(), int(qMin<qint64>(size, 64)))))
        return runRecord(block, size);
    // A capture that starts in the middle of a line (a sample, the tail of a line) was begun
    // in the middle of a ping, as cat on a running device begins: it is joined as a device is,
    // from its first ping or reply on, so that what the capture cut off is no anomaly. A reply
    // and its echo are still decoded.
    if (startsMidLine(block[0]))
        decoder.setSynchronised(false);
    for (qint64 got = size; got > 0 && !enoughPings();
         got = readSome(input.handle(), block.data(), BlockSize)) {
        for (qint64 from = 0; from < got && !enoughPings(); from += FeedSize) {
            decoder.feed(block.data() + from, int(qMin<qint64>(FeedSize, got - from)));
            serveBrowsers();
        }
        if (pipedInput)
            showDecoded();
    }
    // A capture that ends inside a frame was cut: that is an anomaly of the capture, unless
    // the run stopped early on its own ping count.
    return finish(enoughPings());
}

// The record's lines one by one, from the block already read on; its first instrument bytes
// are joined as a capture's are.
int Scope::runRecord(std::vector<char> &block, qint64 size)
{
    RecordState record;
    record.entry.version =
        LineRecord::version(QByteArray::fromRawData(block.data(), int(qMin<qint64>(size, 64))));
    record.bytes.reserve(2 * FeedSize); // kept when emptied
    QByteArray line; // one that did not end in its block
    int number = 0;
    for (qint64 got = size; got > 0; got = readSome(input.handle(), block.data(), BlockSize)) {
        const char *p = block.data();
        const char *end = p + got;
        while (p < end && !enoughPings()) {
            if (line.isEmpty() && *p == ' ' && takesPlainLines(record)) {
                // The further lines of the instrument's entry under way, a frame's samples a
                // line each, in one go while they are plain text.
                const char *reach = p + qMin<qint64>(end - p, FeedSize - record.bytes.size());
                const char *taken = LineRecord::takePlainLines(p, reach, &record.bytes, &number);
                if (record.bytes.size() >= FeedSize)
                    feedRecorded(record);
                if (taken != p) {
                    p = taken;
                    continue;
                }
            }
            const char *lf = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
            if (!lf) {
                line.append(p, int(end - p));
                if (line.size() > LineRecord::MaxLineBytes)
                    return malformedRecord(number + 1,
                                           QStringLiteral("a line longer than %1 bytes")
                                               .arg(LineRecord::MaxLineBytes));
                break;
            }
            const char *from = p;
            int length = int(lf - p);
            if (!line.isEmpty()) {
                line.append(p, length);
                from = line.constData();
                length = line.size();
            }
            p = lf + 1;
            if (!recordLine(++number, from, length, record))
                return MalformedRecord;
            line.resize(0);
        }
        if (pipedInput)
            showDecoded();
        if (enoughPings())
            break;
    }
    if (!line.isEmpty() && !enoughPings() &&
        !recordLine(++number, line.constData(), line.size(), record))
        return MalformedRecord;
    feedRecorded(record);
    return finish(enoughPings());
}

// Whether the next further lines of the entry under way may be taken together: they are the
// instrument's, of the time the bytes gathered are of, and after its first bytes; and no ping
// count wants each line decoded before the next is read, so that reading stops at the count.
bool Scope::takesPlainLines(const RecordState &record) const
{
    return record.entry.begun && record.entry.source == LineRecord::Device && !record.first &&
        record.us == record.entry.us && options.pings == 0;
}

// One line of a record (its LF left out): the instrument's bytes in it decoded at their time;
// false, said on standard error, when it is not a line of a record.
bool Scope::recordLine(int number, const char *line, int length, RecordState &record)
{
    if (LineRecord::isComment(line, length))
        return true;
    if (!LineRecord::parse(line, length, &record.entry)) {
        feedRecorded(record); // everything before it is decoded, as it stands
        malformedRecord(number,
                        QStringLiteral("not a line record entry (SECONDS device|client BYTES)"));
        return false;
    }
    const QByteArray &bytes = record.entry.bytes;
    if (record.entry.source != LineRecord::Device || bytes.isEmpty())
        return true;
    if (record.first && startsMidLine(bytes.at(0)))
        decoder.setSynchronised(false);
    record.first = false;
    // Deliveries of one time are decoded together: the same lines with the same time, in
    // fewer calls. With a ping count the decoder gets each alone, so that it stops where the
    // count is reached.
    if (record.us != record.entry.us || options.pings > 0)
        feedRecorded(record);
    record.us = record.entry.us;
    record.bytes.append(bytes);
    if (options.pings > 0 || record.bytes.size() >= FeedSize)
        feedRecorded(record);
    return true;
}

// The file is not what its first line says: said with its line, and no output is written.
int Scope::malformedRecord(int number, const QString &why)
{
    text.err() << "kelvane-scope: " << options.fromFile << ":" << number << ": " << why << '\n';
    text.flush();
    discardOutputs();
    return MalformedRecord;
}

void Scope::feedRecorded(RecordState &record)
{
    if (record.bytes.isEmpty())
        return;
    decoder.feed(record.bytes, record.us / 1e6);
    record.bytes.resize(0);
    serveBrowsers();
}

// A file is decoded in one go, outside the event loop: the browsers are served between its
// pieces, so that they see it grow rather than only its end.
void Scope::serveBrowsers()
{
    if (live)
        QCoreApplication::processEvents();
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
    text.out() << counted(pingsShown, "ping", "pings") << ", "
               << counted(anomaliesShown, "anomaly", "anomalies") << '\n';
    status = endStatus != Clean ? endStatus : anomaliesShown > 0 ? AnomaliesSeen : Clean;
    // A run that got nothing out of its input (a record made while nobody read the line, a
    // device that stayed silent) must not pass as a clean one. A command that was answered
    // is something: a run may send one and want nothing else.
    if (endStatus == Clean && pingsShown == 0 && !replied) {
        text.err() << "kelvane-scope: no ping decoded from " << inputName() << '\n';
        status = NothingDecoded;
    }
    if (live)
        live->setState(endStatus == DeviceLost ? LiveView::Lost : LiveView::Ended, inputName());
    writeCsvRows();
    if (csv && !csv->commit()) {
        text.err() << "kelvane-scope: " << csv->errorString() << '\n';
        status = IoError;
    }
    if (png) {
        QBuffer image;
        image.open(QIODevice::WriteOnly);
        QString why;
        if (!echogram.save(&image, &why)) {
            text.err() << "kelvane-scope: cannot write " << options.pngFile << ": " << why << '\n';
            status = IoError;
        } else if (!png->write(image.data()) || !png->commit()) {
            text.err() << "kelvane-scope: " << png->errorString() << '\n';
            status = IoError;
        }
    }
    text.flush();
    return status;
}

void Scope::onPing(const Ping &ping)
{
    if (enoughPings())
        return; // the rest of the read that completed the last ping wanted
    if (awaitingReply) {
        // Written before the command took effect: shown, but neither counted nor kept.
        text.out() << "(before the reply) ";
    } else {
        ++pingsShown;
    }
    if (ping.frequency != channelFrequency) {
        channelFrequency = ping.frequency;
        channelText = channel(ping.frequency).toLatin1();
    }
    // The line is put together as bytes: a QString per number would cost more than the
    // decoding of the ping.
    QByteArray &line = row;
    line.resize(0);
    put(line, "t=");
    number(line, ping.time, 3, "-");
    put(line, " ch=");
    line.append(channelText);
    put(line, " depth=");
    number(line, ping.depth, 4, "-");
    put(line, " temp=");
    number(line, ping.temperature, 2, "-");
    put(line, " pitch=");
    number(line, ping.pitch, 3, "-");
    put(line, " roll=");
    number(line, ping.roll, 3, "-");
    put(line, " samples=");
    integer(line, ping.sampleCount(), "-");
    put(line, " echo=");
    number(line, ping.echoDepth, 4, "-");
    line.append('\n');
    text.out() << line;
    if (awaitingReply)
        return;
    if (csv) {
        line.resize(0);
        number(line, ping.time, 3, "");
        line.append(',');
        integer(line, ping.frequency, "");
        line.append(',');
        number(line, ping.depth, 4, "");
        line.append(',');
        number(line, ping.temperature, 2, "");
        line.append(',');
        number(line, ping.pitch, 3, "");
        line.append(',');
        number(line, ping.roll, 3, "");
        line.append(',');
        integer(line, ping.sampleCount(), "");
        line.append(',');
        number(line, ping.echoDepth, 4, "");
        line.append('\n');
        csvRows.append(line);
        if (csvRows.size() >= 65536)
            writeCsvRows();
    }
    // The echogram keeps its last columns only for the picture at the end.
    if (png)
        echogram.addPing(ping);
    if (live)
        live->addPing(ping);
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
        text.err() << "kelvane-scope: note: the instrument sends NMEA sentences, which carry no "
                      "echo samples (samples=- echo=-, an empty echogram); echo frames need a "
                      "command, e.g. --send \"#range 40000 #output 2 #go\"\n";
    }
    const double range = ping.dataRange();
    if (ping.hasData && !std::isnan(ping.depth) && ping.depth > range && !notedRange) {
        notedRange = true;
        text.err() << "kelvane-scope: note: the reported depth "
                   << QString::number(ping.depth, 'f', 2)
                   << " m lies beyond the data block's range of " << QString::number(range, 'f', 2)
                   << " m (" << ping.samples.size() << " samples at " << ping.samplingFrequency
                   << " Hz), so its echo is not in it; a longer range (in mm) shows it, e.g. "
                      "--send \"#range 40000 #go\" (dual frequency: #rangeh, #rangel)\n";
    }
}

void Scope::onAnomaly(const Anomaly &anomaly)
{
    if (enoughPings() && !finishing)
        return; // past the last ping wanted
    ++anomaliesShown;
    QString shown = QStringLiteral("line %1: %2: %3")
                        .arg(anomaly.line)
                        .arg(Anomaly::kindName(anomaly.kind), anomaly.message);
    if (!anomaly.text.isEmpty())
        shown += QLatin1String(": ") + printable(anomaly.text);
    text.err() << shown << '\n';
    if (live)
        live->addAnomaly(anomaly.kind, shown);
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
        replied = true;
        replyTimer->stop();
    }
    text.out() << "reply " << QString::fromLatin1(reply.echo) << (reply.echo.isEmpty() ? "" : " ")
               << QString::fromLatin1(reply.prompt) << '\n';
}
