// QSerialPort::error(SerialPortError) is compiled out of Qt's headers past this level.
#undef QT_DISABLE_DEPRECATED_BEFORE
#define QT_DISABLE_DEPRECATED_BEFORE 0x050700

#include "kelvanesimulator.h"

#include "app.h"
#include "nmea.h"

#include <QFile>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTimer>
#include <QTimerEvent>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <tuple>

namespace {

constexpr float SoundSpeed = 1500.0f;
constexpr int HighFrequency = 200000;
constexpr int LowFrequency = 50000;
constexpr int DefaultSampleFrequency = 100000;
// 2^-31: turns a rand() value into [0, 1]. RAND_MAX converts to 2^31 as a float, giving 1.
constexpr float RandScale = 1.0f / 2147483648.0f;
constexpr int EmulatorDelayPings = 100;
constexpr int EmulatorDelayMs = 15000;
constexpr double Pi = 3.14159265358979323846;
constexpr int SinePeriod = 128;
// The bytes of a ping gathered before they are handed to the port.
constexpr size_t PingWriteSize = 1 << 16;

// A fresh draw of the unseeded generator, scaled to [0, 1] in single precision.
float randomUnit()
{
    return float(std::rand()) * RandScale;
}

// The talker of every sentence the simulator writes.
const QString &talker()
{
    static const QString sm = QStringLiteral("SM");
    return sm;
}

// value in decimal, "-" first when negative, as QString::number(int) and QByteArray::number(int)
// write it.
void appendInt(QByteArray &out, int value)
{
    char text[12];
    char *end = text + sizeof text;
    char *p = end;
    unsigned magnitude = value < 0 ? 0u - unsigned(value) : unsigned(value);
    do {
        *--p = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (value < 0)
        *--p = '-';
    out.append(p, int(end - p));
}

template<int N> void appendText(QByteArray &out, const char (&text)[N])
{
    out.append(text, N - 1);
}

// The line of an echo sample: its text (one to four digits), then CR LF, in one word's room.
// Samples are 0 to 1023 (10 bits).
constexpr int SampleLevels = 1024;

struct SampleLine
{
    char bytes[8];
};

constexpr std::array<SampleLine, SampleLevels> makeSampleLines()
{
    std::array<SampleLine, SampleLevels> lines {};
    for (int value = 0; value < SampleLevels; ++value) {
        char *text = lines[size_t(value)].bytes;
        const int digits = value < 10 ? 1 : value < 100 ? 2 : value < 1000 ? 3 : 4;
        for (int i = digits - 1, rest = value; i >= 0; --i, rest /= 10)
            text[i] = char('0' + rest % 10);
        text[digits] = '\r';
        text[digits + 1] = '\n';
    }
    return lines;
}

// Made by the compiler: serialWrite() knows a sample's text by its address.
constexpr std::array<SampleLine, SampleLevels> sampleLines = makeSampleLines();

// Whether text lies in sampleLines, which its CR LF and the word's room then follow.
bool isSampleText(const char *text)
{
    return uintptr_t(text) - uintptr_t(sampleLines.data()) < sizeof sampleLines;
}

// The text of each sample level, viewed in place in sampleLines.
const QByteArray *sampleTexts()
{
    static const auto texts = [] {
        std::array<QByteArray, SampleLevels> all;
        for (int i = 0; i < SampleLevels; ++i) {
            const char *text = sampleLines[size_t(i)].bytes;
            all[size_t(i)] = QByteArray::fromRawData(text, int(std::strchr(text, '\r') - text));
        }
        return all;
    }();
    return texts.data();
}

// Sample k of the sine trace's period, each made once in the order of the formula.
int sineSample(int k)
{
    static const auto table = [] {
        std::array<int, SinePeriod> samples;
        for (int i = 0; i < SinePeriod; ++i)
            samples[size_t(i)] = qRound((std::sin(2 * i * Pi * 0.0078125) + 1.0) * 511.0);
        return samples;
    }();
    return table[size_t(k)];
}

// Half-up rounding of a period in milliseconds; periods beyond an int run as long as one allows.
int periodMs(float seconds)
{
    const float ms = seconds * 1000.0f;
    if (!(double(ms) + 0.5 < double(INT_MAX)))
        return INT_MAX;
    return qRound(ms);
}

// The reply to a command text, without the CR LF that serialWrite adds.
QByteArray reply(const QByteArray &text, bool emulateInvalid, bool single)
{
    if (text.size() < 2)
        return QByteArrayLiteral("\r\n>");
    if (emulateInvalid)
        return QByteArrayLiteral("\r\nInvalid command >");
    return text + (single ? QByteArrayLiteral("\r\n>ok.") : QByteArrayLiteral("\r\n>ok"));
}

} // namespace

KelvaneSimulator::KelvaneSimulator() : IPayloadPlugin(nullptr)
{
    auto *app = static_cast<App *>(QCoreApplication::instance());

    // Handlers only store the value: the port is reopened at the next start(), the timer and
    // the depth sweep keep running as they are.
    connect(app, &App::KELVANE_SIMULATOR_SERIAL_DEVICE, this,
            [this](const QString &value) { serialDevice = value; });
    serialDevice =
        app->settingValue("KELVANE_SIMULATOR", "SERIAL_DEVICE", QStringLiteral("/dev/pts/1"))
            .toString();

    connect(app, &App::KELVANE_SIMULATOR_CONST_MODE, this,
            [this](bool value) { constMode = value; });
    constMode = app->settingValue("KELVANE_SIMULATOR", "CONST_MODE", false).toBool();

    connect(app, &App::KELVANE_SIMULATOR_SIN_MODE, this, [this](bool value) { sinMode = value; });
    sinMode = app->settingValue("KELVANE_SIMULATOR", "SIN_MODE", false).toBool();

    connect(app, &App::KELVANE_SIMULATOR_DELTA_M, this,
            [this](float value) { depthDelta = value; });
    depthDelta = app->settingValue("KELVANE_SIMULATOR", "DELTA_M", 0.1).toFloat();

    connect(app, &App::KELVANE_SIMULATOR_FREQUENCY_MODE, this,
            [this](const QString &value) { frequencyMode = value; });
    frequencyMode =
        app->settingValue("KELVANE_SIMULATOR", "FREQUENCY_MODE", QStringLiteral("SINGLE"))
            .toString();

    connect(app, &App::ECHOSOUNDER_MIN_DEPTH_M, this, [this](float value) { minDepth = value; });
    minDepth = app->settingValue("ECHOSOUNDER", "MIN_DEPTH_M").toFloat();

    connect(app, &App::ECHOSOUNDER_MAX_DEPTH_M, this, [this](float value) { maxDepth = value; });
    maxDepth = app->settingValue("ECHOSOUNDER", "MAX_DEPTH_M").toFloat();

    setStartDelay(0);
    sampleFrequency = DefaultSampleFrequency;

    // Reserved, so that emptying them for the next line keeps their room (Qt 5.7 gives back
    // the room of a shrinking array unless it was reserved).
    frame.reserve(1024);
    unsent.resize(PingWriteSize);
}

KelvaneSimulator::~KelvaneSimulator()
{
    KelvaneSimulator::stop();
}

QString KelvaneSimulator::name() const
{
    return QStringLiteral("Kelvane simulator");
}

QString KelvaneSimulator::version() const
{
    return QStringLiteral("2.10.0.1856");
}

QString KelvaneSimulator::id() const
{
    return QStringLiteral("ECHO");
}

void KelvaneSimulator::start()
{
    stop();
    addPreamble(qInfo()) << "Run in console before app starting:"
                         << "'socat -d -d pty,raw,echo=0 pty,raw,echo=0'";

    if (!QFile::exists(serialDevice)) {
        addPreamble(qCritical()) << "CRIT:"
                                 << "Unable to find virtual serial port:" << serialDevice;
        return;
    }
    if (!openPort()) {
        addPreamble(qCritical()) << "CRIT:"
                                 << "Unable to open serial port:" << serialDevice << "->"
                                 << port->errorString();
        stop();
        return;
    }
    startDataTimer();
}

void KelvaneSimulator::stop()
{
    stopDataTimer();
    closePort();
}

bool KelvaneSimulator::openPort()
{
    port = new QSerialPort(serialDevice, this);
    if (!port->open(QIODevice::ReadWrite))
        return false;
    // Data bits, parity, stop bits and flow control keep the port's defaults (8N1, none).
    port->setBaudRate(QSerialPort::Baud115200, QSerialPort::AllDirections);
    connect(port, &QSerialPort::readyRead, this, &KelvaneSimulator::readData);
    connect(port, &QSerialPort::bytesWritten, this, &KelvaneSimulator::portWrote);
    // error(SerialPortError) rather than errorOccurred, which is Qt 5.8's: the flight computer's
    // Qt 5.7 has only this one, and later versions still emit it next to errorOccurred.
    connect(port, QOverload<QSerialPort::SerialPortError>::of(&QSerialPort::error), this,
            [this] { checkPortError(); });
    skippedPings = 0;
    skipping = false;
    errorBurstCount = 0;
    return true;
}

void KelvaneSimulator::closePort()
{
    if (!port)
        return;
    endSkipping();
    // A stop asked for is not a lost line, whatever closing the port reports.
    port->disconnect(this);
    port->close();
    delete port;
    port = nullptr;
}

void KelvaneSimulator::checkPortError()
{
    // A pty whose other side went away (socat killed) or an unplugged adapter fails every read
    // at once, and Qt reports it again on every pass of the event loop, which then spins. Let
    // the port go as stop() does, so that the loop goes idle, and say so once. A later start()
    // opens the device again.
    const QSerialPort::SerialPortError error = port->error();
    if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError &&
        error != QSerialPort::WriteError)
        return;
    QString loss = lineLoss();
    if (loss.isEmpty() && isErrorBurst())
        loss = port->errorString();
    if (loss.isEmpty()) {
        // Passing trouble, such as EAGAIN after a spurious wake-up, which Qt 5 reports as a
        // ResourceError too. Qt stops watching the port for input after a ResourceError on a
        // read. Qt 5.15 watches again when the read buffer size is set (two sizes, in case an
        // unchanged one is ignored); Qt 5.7 only when a read asks the port while the buffer
        // has a bound. The peek takes nothing: readData() left Qt's buffer empty.
        port->clearError();
        const qint64 size = port->readBufferSize();
        port->setReadBufferSize(size + 1);
        char none;
        port->peek(&none, 1);
        port->setReadBufferSize(size);
        return;
    }

    addPreamble(qCritical()) << "CRIT:"
                             << "Serial port lost:" << serialDevice << "->" << loss;
    stopDataTimer();
    endSkipping();
    // This runs inside the port's own signal: close it now, delete it once the signal is done.
    QSerialPort *lost = port;
    port = nullptr;
    lost->disconnect(this);
    lost->close();
    lost->deleteLater();
}

QString KelvaneSimulator::lineLoss() const
{
    // The other side hung up (a pty whose master was closed, socat killed). Qt's error text
    // says nothing then: it comes from whatever errno held before (seen: "File exists").
    pollfd line = {int(port->handle()), 0, 0};
    if (::poll(&line, 1, 0) == 1 && (line.revents & POLLHUP))
        return QStringLiteral("Hung up");
    // The device is gone: EIO, ENXIO or ENODEV, whose texts are the only trace of the errno
    // that Qt keeps.
    const QString text = port->errorString();
    for (const int code : {EIO, ENXIO, ENODEV}) {
        if (text == qt_error_string(code))
            return text;
    }
    return QString();
}

bool KelvaneSimulator::isErrorBurst()
{
    // A single failed read or write may pass; ten within a second do not.
    if (!errorBurst.isValid() || errorBurst.hasExpired(1000)) {
        errorBurst.start();
        errorBurstCount = 0;
    }
    return ++errorBurstCount >= 10;
}

void KelvaneSimulator::endSkipping()
{
    skipping = false;
    if (skippedPings == 0)
        return;
    addPreamble(qWarning()) << "WARN:"
                            << "Stopped skipping pings, pings skipped:" << skippedPings;
    skippedPings = 0;
}

bool KelvaneSimulator::startDataTimer()
{
    // A running timer keeps its period: a new interval takes effect once the timer has been
    // stopped, which every command text does.
    if (dataTimerId != -1 || waitingForPort)
        return true;
    const int period = periodMs(interval);
    pacedByPort = period == 0;
    dataTimerId = startTimer(period, Qt::CoarseTimer);
    // QObject::startTimer() reports failure as 0.
    if (dataTimerId == 0)
        dataTimerId = -1;
    return dataTimerId != -1;
}

void KelvaneSimulator::stopDataTimer()
{
    waitingForPort = false;
    if (dataTimerId == -1)
        return;
    killTimer(dataTimerId);
    dataTimerId = -1;
}

bool KelvaneSimulator::serialWrite(const QByteArray &data)
{
    // Most lines of a ping are echo samples, whose texts come from sampleLines: such a line,
    // while the ping has room, is one move of a word, without a call. Everything else goes the
    // long way.
    const char *from = data.constData();
    if (gatheringLines && isSampleText(from) && unsentSize + sizeof(SampleLine) <= PingWriteSize) {
        // Read before the move, which may write anywhere for all the compiler knows.
        const size_t end = unsentSize + size_t(data.size()) + 2;
        std::memcpy(unsent.data() + unsentSize, from, sizeof(SampleLine));
        unsentSize = end;
        return true;
    }
    return gather(data);
}

// Kept out of serialWrite(), whose short path sendData() takes into its loop.
Q_NEVER_INLINE bool KelvaneSimulator::gather(const QByteArray &data)
{
    if (!port)
        return false;
    // The lines of a ping that the backlog holds back (see timerEvent).
    if (holdingBack) {
        heldBack = true;
        return false;
    }
    // The line and its CR LF, after the lines not yet handed to the port, in a buffer that keeps
    // its room.
    const size_t size = size_t(data.size());
    if (unsentSize + size + 2 > unsent.size())
        unsent.resize(std::max(unsent.size() * 2, unsentSize + size + 2));
    char *end = unsent.data() + unsentSize;
    std::memcpy(end, data.constData(), size);
    end[size] = '\r';
    end[size + 1] = '\n';
    unsentSize += size + 2;
    // A ping's lines go to the port together when the ping ends (or a large ping's every
    // PingWriteSize bytes): one write a ping rather than one a line, each of which costs Qt's
    // port far more than the line's bytes. Anything else goes at once.
    if (pinging && unsentSize < PingWriteSize)
        return true;
    return writeUnsent();
}

bool KelvaneSimulator::writeUnsent()
{
    const qint64 written = port ? port->write(unsent.data(), qint64(unsentSize)) : -1;
    unsentSize = 0;
    return written > 0;
}

void KelvaneSimulator::readData()
{
    // No line buffering: whatever one read returns is one command text.
    parse(port->readAll().simplified());
}

void KelvaneSimulator::parse(const QByteArray &data)
{
    // The dual-frequency instrument answers the first command after power-up with an error.
    static bool isEmulateInvalid = isFrequencyMode("DUAL");

    stopDataTimer();

    const bool emulateInvalid = isEmulateInvalid && data.size() >= 2;
    serialWrite(reply(data, emulateInvalid, isFrequencyMode("SINGLE")));
    if (emulateInvalid)
        isEmulateInvalid = false;

    // The patterns search the text up to its first NUL byte.
    const QString text =
        QString::fromUtf8(data.constData(), int(qstrnlen(data.constData(), uint(data.size()))));
    const auto blockSettings = std::make_tuple(range, rangeHigh, rangeLow, sampleFrequency);
    static const QRegularExpression intervalPattern(
        QStringLiteral("(#?)interval ((?:\\d*[.])?\\d+)"));
    static const QRegularExpression outputPattern(QStringLiteral("(#?)output (\\d+)"));
    static const QRegularExpression rangePattern(QStringLiteral("#range (\\d+)"));
    static const QRegularExpression rangeHighPattern(QStringLiteral("#rangeh (\\d+)"));
    static const QRegularExpression rangeLowPattern(QStringLiteral("#rangel (\\d+)"));
    static const QRegularExpression sampleFrequencyPattern(QStringLiteral("#samplfreq (\\d+)"));

    QRegularExpressionMatch match = intervalPattern.match(text);
    if (match.hasMatch())
        interval = match.captured(2).toFloat();
    match = outputPattern.match(text);
    if (match.hasMatch())
        outputMode = match.captured(2).toInt();
    // Ranges arrive in millimetres and are kept in whole metres.
    match = rangePattern.match(text);
    if (match.hasMatch())
        range = float(match.captured(1).toInt() / 1000);
    match = rangeHighPattern.match(text);
    if (match.hasMatch())
        rangeHigh = float(match.captured(1).toInt() / 1000);
    match = rangeLowPattern.match(text);
    if (match.hasMatch())
        rangeLow = float(match.captured(1).toInt() / 1000);
    match = sampleFrequencyPattern.match(text);
    if (match.hasMatch()) {
        sampleFrequency = match.captured(1).toInt();
        if (sampleFrequency == 0)
            sampleFrequency = DefaultSampleFrequency;
    }

    // A cut block is logged once until what sizes the blocks changes.
    if (std::make_tuple(range, rangeHigh, rangeLow, sampleFrequency) != blockSettings)
        cutReported = false;

    if (data.contains("go"))
        startDataTimer();
}

bool KelvaneSimulator::isFrequencyMode(const char *mode) const
{
    // Asked several times a ping: plain ASCII is compared as its upper case without making it;
    // other text as toUpper() makes it, which maps more than ASCII (U+0131 to "I", for one).
    const int size = frequencyMode.size();
    const QChar *text = frequencyMode.constData();
    int i = 0;
    for (; i < size && mode[i]; ++i) {
        const ushort c = text[i].unicode();
        if (c >= 0x80)
            return frequencyMode.toUpper() == QLatin1String(mode);
        if ((c >= 'a' && c <= 'z' ? c - 32 : c) != ushort(mode[i]))
            return false;
    }
    for (int j = i; j < size; ++j) {
        if (text[j].unicode() >= 0x80)
            return frequencyMode.toUpper() == QLatin1String(mode);
    }
    return i == size && !mode[i];
}

int KelvaneSimulator::sampleCount(float channelRange)
{
    // Samples over the two-way travel time across the range.
    const float count = (channelRange + channelRange) / SoundSpeed * float(sampleFrequency);
    if (count <= float(MaxSampleCount))
        return qRound(count);
    if (!cutReported) {
        addPreamble(qWarning()).noquote()
            << "WARN:" << QStringLiteral("Data blocks are cut to %1 samples").arg(MaxSampleCount);
        cutReported = true;
    }
    return MaxSampleCount;
}

void KelvaneSimulator::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != dataTimerId)
        return;
    if (pacedByPort) {
        pingAhead();
        return;
    }
    pingOnce();
    if (unsentSize > 0)
        writeUnsent();
}

void KelvaneSimulator::pingOnce()
{
    // A serial line does not queue, but Qt keeps every byte the client has not read yet. A
    // client that does not keep up loses whole pings, never part of one: a ping that finds more
    // than MaxSerialBacklog waiting is taken all the same (the sweep, the draws and the counters
    // move on) but writes nothing. Once skipping, pings are written again when the backlog is
    // down to half. The log tells of an episode once: it ends when the client has caught up
    // (the backlog is empty), so that a line that cannot carry the pings, which fills and
    // drains in turn, gives two lines in all rather than two every few seconds.
    const qint64 backlog = port ? port->bytesToWrite() : 0;
    holdingBack = backlog > (skipping ? MaxSerialBacklog / 2 : MaxSerialBacklog);
    skipping = skipping && holdingBack;
    if (backlog == 0)
        endSkipping();
    heldBack = false;
    pinging = true;
    gatheringLines = !holdingBack && port;
    ping();
    pinging = false;
    gatheringLines = false;
    holdingBack = false;
    skipping = skipping || heldBack;
    if (heldBack && skippedPings++ == 0)
        addPreamble(qWarning()) << "WARN:"
                                << "Serial output backlog full, skipping pings:" << serialDevice;
}

void KelvaneSimulator::pingAhead()
{
    // A timer of period 0 fires on every pass of the event loop: one ping a pass would cost a
    // pass, and the system calls it makes, for every ping, and behind a line slower than the
    // pings the loop would spin. Instead the pings are made in runs: enough of them to have
    // PacedBacklog bytes waiting in the port, handed to it in one write, and then none until
    // the port has written them all (portWrote()). The loop sleeps meanwhile, and the next run
    // is made while the bytes already in the line's own buffer go out, never in front of
    // bytes that wait for it. A ping that writes nothing (the dual instrument's silence) ends
    // the run, and the timer goes on firing until pings write again.
    while (port) {
        const size_t before = unsentSize;
        pingOnce();
        if (unsentSize == before || !port ||
            port->bytesToWrite() + qint64(unsentSize) >= PacedBacklog)
            break;
    }
    if (unsentSize > 0)
        writeUnsent();
    if (port && port->bytesToWrite() > 0) {
        stopDataTimer();
        waitingForPort = true;
    } else if (waitingForPort) {
        waitingForPort = false;
        startDataTimer();
    }
}

void KelvaneSimulator::portWrote()
{
    // On the pass that wrote the last of them: the next run goes to the port on this pass too.
    if (waitingForPort && port->bytesToWrite() == 0)
        pingAhead();
}

void KelvaneSimulator::ping()
{
    static int count = 0;
    static float depth = 0.0f;
    static bool isSendData = true;
    static bool frequencyHigh = true;
    static bool isEmulatorDelay = true;

    // The sweep moves on every ping, whatever is written.
    const float pingDepth = constMode ? maxDepth : calcDepth();
    const float temperature = 19.0f + 3.0f * randomUnit();
    const float pitch = 180.0f * randomUnit() - 90.0f;
    const float roll = 180.0f * randomUnit() - 90.0f;

    if (outputMode == 2 || outputMode == 4) {
        if (isFrequencyMode("SINGLE")) {
            const int samples = sampleCount(range);
            sendEchosounderHeader(pingDepth, temperature, pitch, roll, samples);
            Nmea::yxxdr(frame, pitch, roll);
            serialWrite(frame);
            sendEchosounderDebugHeader(samples);
            // A ping held back makes no samples; the sine moves on all the same.
            sendData(generateData(holdingBack ? 0 : samples, range, pingDepth));
        } else if (isFrequencyMode("DUAL")) {
            const float channelRange = frequencyHigh ? rangeHigh : rangeLow;
            const int frequency = frequencyHigh ? HighFrequency : LowFrequency;
            const int samples = sampleCount(channelRange);
            sendFrequency(float(frequency));
            sendDualEchosounderHeader(frequency, pingDepth, temperature, pitch, roll, samples);
            sendData(generateData(holdingBack ? 0 : samples, channelRange, pingDepth));
            frequencyHigh = !frequencyHigh;
        }
        return;
    }
    if (outputMode != 3)
        return;

    float sentenceDepth = 0.0f;
    if (isFrequencyMode("SINGLE")) {
        sentenceDepth = constMode ? maxDepth : calcDepth();
    } else if (isFrequencyMode("DUAL")) {
        ++count;
        // The dual instrument falls silent once, for a while, after its first hundred pings.
        if (count > EmulatorDelayPings && isEmulatorDelay) {
            isSendData = false;
            isEmulatorDelay = false;
            count = 0;
            QTimer::singleShot(EmulatorDelayMs, Qt::CoarseTimer, this, [] { isSendData = true; });
        }
        if (!isSendData)
            return;
        sendFrequency(frequencyHigh ? float(HighFrequency) : float(LowFrequency));
        if (constMode) {
            sentenceDepth = frequencyHigh ? maxDepth : float(double(maxDepth) - 0.5);
        } else {
            // The low channel reports half a metre below the preceding high-channel depth.
            depth = frequencyHigh ? calcDepth() : depth - 0.5f;
            sentenceDepth = depth;
        }
    } else {
        return;
    }

    Nmea::dbt(frame, sentenceDepth, talker());
    serialWrite(frame);
    const float waterTemperature = 19.0f + 3.0f * randomUnit();
    Nmea::mtw(frame, waterTemperature, talker());
    serialWrite(frame);
    const float sentencePitch = 180.0f * randomUnit() - 90.0f;
    const float sentenceRoll = 180.0f * randomUnit() - 90.0f;
    Nmea::yxxdr(frame, sentencePitch, sentenceRoll);
    serialWrite(frame);

    if (isFrequencyMode("DUAL"))
        frequencyHigh = !frequencyHigh;
}

float KelvaneSimulator::calcDepth()
{
    static float range = minDepth;
    static float delta = depthDelta;

    range += delta;
    // The turn is decided one step ahead, so a depth on a bound is still returned.
    const float next = range + delta;
    if (next > maxDepth || next < minDepth)
        delta = -delta;
    return range;
}

QVector<int> KelvaneSimulator::generateData(int sampleCount, float range, float depth)
{
    static int phaseOffset = 0;

    // The trace of the last ping, released by now, gives its room to this one.
    const int size = qMax(sampleCount, 0);
    if (trace.capacity() < size)
        trace.reserve(size);
    trace.resize(size);
    std::fill(trace.begin(), trace.end(), 0);
    if (sinMode) {
        for (int i = 0; i < size; ++i)
            trace[i] = sineSample((phaseOffset + i) % SinePeriod);
        phaseOffset = phaseOffset + 1 > 127 ? 0 : phaseOffset + 1;
        return trace;
    }
    if (size == 0)
        return trace;

    // The echo sits at the two-way travel time to the bottom, in samples.
    const float centre = float(sampleCount) * depth / range;
    // Also false for a range of 0 (infinite or undefined centre): no echo then.
    if (!(centre >= -8.0f && centre <= float(sampleCount) + 8.0f))
        return trace;
    const int c = qRound(centre);
    const int first = qMax(c - 5, 0);
    const int last = qMin(c + 5, sampleCount - 1);
    for (int i = first; i <= last; ++i)
        trace[i] = 1023;
    return trace;
}

void KelvaneSimulator::sendEchosounderHeader(float depth, float temperature, float pitch,
                                             float roll, int samples)
{
    static float time = 0.0f;
    static int ping = 0;

    // The instrument's template, its values put in where they stand.
    frame.resize(0);
    appendText(frame,
               "#DeviceID 261 Type USB / RS-232, 422, 485\r\n"
               "#TimeWork ");
    appendFixed(frame, double(time), 3);
    appendText(frame, "\r\n#Ping ");
    appendInt(frame, ping);
    appendText(frame, "\r\n#Altitude,m   ");
    appendFixed(frame, double(depth), 4);
    appendText(frame, "\r\n#Temperature,?C ");
    appendFixed(frame, double(temperature), 2);
    appendText(frame, "\r\n#NSamples ");
    appendInt(frame, samples);
    appendText(frame,
               "\r\n"
               "#Resolution,mm 7.581\r\n"
               "#SoundSpeed,mps 1500.00\r\n"
               "#---------------Parameters---------------\r\n"
               "#Tx_Frequency,Hz 450000\r\n"
               "#Range,m  10.0\r\n"
               "#Interval,sec  ");
    appendFixed(frame, double(interval), 2);
    appendText(frame,
               "\r\n"
               "#Threshold,%   10\r\n"
               "#Offset,m  0.000\r\n"
               "#Deadzone,m  0.300\r\n"
               "#PulseLength,uks 20\r\n"
               "#TVG_Gain  0.000\r\n"
               "#TVG_Slope 1.000\r\n"
               "#TVG_Mode  1\r\n"
               "#OutputMode    2\r\n"
               "#Pitch,deg ");
    appendFixed(frame, double(pitch), 3);
    appendText(frame, "\r\n#Roll,deg ");
    appendFixed(frame, double(roll), 3);
    appendText(frame, "\r\n#VertRotationPos,deg 156.075");
    serialWrite(frame);

    ++ping;
    time += interval;
}

void KelvaneSimulator::sendDualEchosounderHeader(int frequency, float depth, float temperature,
                                                 float pitch, float roll, int samples)
{
    static float time = 0.0f;
    static int ping = 0;

    frame.resize(0);
    appendText(frame,
               "#DeviceID M57USB001 Type USB\r\n"
               "#TimeWork ");
    appendFixed(frame, double(time), 3);
    appendText(frame, "\r\n#Ping ");
    appendInt(frame, ping);
    appendText(frame, "\r\n#Altitude   ");
    appendFixed(frame, double(depth), 4);
    appendText(frame, "\r\n#Temperature ");
    appendFixed(frame, double(temperature), 2);
    appendText(frame, "\r\n#NSamples ");
    appendInt(frame, samples);
    appendText(frame,
               "\r\n"
               "#Resolution,mm 7.500\r\n"
               "#Sampling_Frequency,Hz ");
    appendInt(frame, sampleFrequency);
    appendText(frame,
               "\r\n"
               "#SoundSpeed,mps 1500.00\r\n"
               "#---------------Parameters---------------\r\n"
               "#Tx_Frequency,Hz ");
    appendInt(frame, frequency);
    appendText(frame,
               "\r\n"
               "#Range,m  3.0\r\n"
               "#Interval,sec  ");
    appendFixed(frame, double(interval), 2);
    appendText(frame,
               "\r\n"
               "#Threshold,%   10\r\n"
               "#Offset,m  0.000\r\n"
               "#Deadzone,m  0.200\r\n"
               "#PulseLength,uks 20\r\n"
               "#TxPower,dB  0.000\r\n"
               "#TVG_Gain  -6.000\r\n"
               "#TVG_Slope 1.000\r\n"
               "#TVG_Mode  1\r\n"
               "#OutputMode    2\r\n"
               "#Pitch,deg ");
    appendFixed(frame, double(pitch), 3);
    appendText(frame, "\r\n#Roll,deg ");
    appendFixed(frame, double(roll), 3);
    appendText(frame, "\r\n");
    serialWrite(frame);

    ++ping;
    time += interval;
}

void KelvaneSimulator::sendEchosounderDebugHeader(int samples)
{
    frame.resize(0);
    appendText(frame,
               "#---------------DEBUG Info---------------\r\n"
               "#DEBUG_EchoMaxAmplitude,%  61\r\n"
               "#DEBUG_EchoMaxAmplitudeLev,mV 2001\r\n"
               "#DEBUG_EchoMaxAmplitudeN 621\r\n"
               "#DEBUG_Sampling Frequency,Hz 98935\r\n"
               "#DEBUG_OneSampleDistance,mm   7.581\r\n"
               "#DEBUG_ZeroLevel    0\r\n"
               "#DEBUG_ADCMaxAmplitude,mV  3300\r\n"
               "#DEBUG_RealPulseLength,uks 30\r\n"
               "#DEBUG_NSamples ");
    appendInt(frame, samples);
    serialWrite(frame);
}

// Flattened: serialWrite()'s short path is made part of the loop over the samples, a move a
// sample rather than a call.
__attribute__((flatten)) void KelvaneSimulator::sendData(const QVector<int> &data)
{
    frame.resize(0);
    appendText(frame, "\r\n##DataStart");
    serialWrite(frame);
    const QByteArray *texts = sampleTexts();
    for (const int sample : data) {
        if (sample >= 0 && sample < SampleLevels) {
            serialWrite(texts[sample]);
        } else {
            frame.resize(0);
            appendInt(frame, sample);
            serialWrite(frame);
        }
    }
    frame.resize(0);
    appendText(frame, "##DataEnd\r\n");
    serialWrite(frame);
}

void KelvaneSimulator::sendFrequency(float frequency)
{
    frame.resize(0);
    // A whole number of one to six digits is written as it is in the shortest form with six
    // significant digits; anything else is left to Qt's formatting.
    if (frequency >= 1.0f && frequency < 1e6f && frequency == std::floor(frequency)) {
        appendText(frame, "#F ");
        appendInt(frame, int(frequency));
        appendText(frame, " Hz");
    } else {
        frame.append(QStringLiteral("#F %1 Hz").arg(double(frequency), 0, 'g', 6).toLatin1());
    }
    Nmea::appendChecksum(frame);
    serialWrite(frame);
}
