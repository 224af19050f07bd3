#include "streamdecoder.h"

#include "fixeddecimal.h"
#include "nmea.h"

#include <QRegularExpression>

#include <cctype>
#include <cmath>

namespace {

// Longest line kept; anything longer is garbage (the longest real line is under 50 bytes).
constexpr int MaxLineLength = 8192;

enum class Value { Text, Int, Fixed };
enum class Field {
    None,
    Time,
    Depth,
    Temperature,
    Samples,
    SamplingFrequency,
    TxFrequency,
    Pitch,
    Roll,
    DebugSamples
};

// One line of a header: the text up to the value, the value's format and where it goes. A Text
// line must match whole; the others must start with the key and carry a number in the format.
struct TemplateLine
{
    const char *key;
    Value value;
    int decimals;
    Field field;
};

const TemplateLine singleHeader[] = {
    {"#DeviceID 261 Type USB / RS-232, 422, 485", Value::Text, 0, Field::None},
    {"#TimeWork ", Value::Fixed, 3, Field::Time},
    {"#Ping ", Value::Int, 0, Field::None},
    {"#Altitude,m   ", Value::Fixed, 4, Field::Depth},
    {"#Temperature,?C ", Value::Fixed, 2, Field::Temperature},
    {"#NSamples ", Value::Int, 0, Field::Samples},
    {"#Resolution,mm ", Value::Fixed, 3, Field::None},
    {"#SoundSpeed,mps ", Value::Fixed, 2, Field::None},
    {"#---------------Parameters---------------", Value::Text, 0, Field::None},
    {"#Tx_Frequency,Hz ", Value::Int, 0, Field::TxFrequency},
    {"#Range,m  ", Value::Fixed, 1, Field::None},
    {"#Interval,sec  ", Value::Fixed, 2, Field::None},
    {"#Threshold,%   ", Value::Int, 0, Field::None},
    {"#Offset,m  ", Value::Fixed, 3, Field::None},
    {"#Deadzone,m  ", Value::Fixed, 3, Field::None},
    {"#PulseLength,uks ", Value::Int, 0, Field::None},
    {"#TVG_Gain  ", Value::Fixed, 3, Field::None},
    {"#TVG_Slope ", Value::Fixed, 3, Field::None},
    {"#TVG_Mode  ", Value::Int, 0, Field::None},
    {"#OutputMode    ", Value::Int, 0, Field::None},
    {"#Pitch,deg ", Value::Fixed, 3, Field::Pitch},
    {"#Roll,deg ", Value::Fixed, 3, Field::Roll},
    {"#VertRotationPos,deg ", Value::Fixed, 3, Field::None},
};

const TemplateLine dualHeader[] = {
    {"#DeviceID M57USB001 Type USB", Value::Text, 0, Field::None},
    {"#TimeWork ", Value::Fixed, 3, Field::Time},
    {"#Ping ", Value::Int, 0, Field::None},
    {"#Altitude   ", Value::Fixed, 4, Field::Depth},
    {"#Temperature ", Value::Fixed, 2, Field::Temperature},
    {"#NSamples ", Value::Int, 0, Field::Samples},
    {"#Resolution,mm ", Value::Fixed, 3, Field::None},
    {"#Sampling_Frequency,Hz ", Value::Int, 0, Field::SamplingFrequency},
    {"#SoundSpeed,mps ", Value::Fixed, 2, Field::None},
    {"#---------------Parameters---------------", Value::Text, 0, Field::None},
    {"#Tx_Frequency,Hz ", Value::Int, 0, Field::TxFrequency},
    {"#Range,m  ", Value::Fixed, 1, Field::None},
    {"#Interval,sec  ", Value::Fixed, 2, Field::None},
    {"#Threshold,%   ", Value::Int, 0, Field::None},
    {"#Offset,m  ", Value::Fixed, 3, Field::None},
    {"#Deadzone,m  ", Value::Fixed, 3, Field::None},
    {"#PulseLength,uks ", Value::Int, 0, Field::None},
    {"#TxPower,dB  ", Value::Fixed, 3, Field::None},
    {"#TVG_Gain  ", Value::Fixed, 3, Field::None},
    {"#TVG_Slope ", Value::Fixed, 3, Field::None},
    {"#TVG_Mode  ", Value::Int, 0, Field::None},
    {"#OutputMode    ", Value::Int, 0, Field::None},
    {"#Pitch,deg ", Value::Fixed, 3, Field::Pitch},
    {"#Roll,deg ", Value::Fixed, 3, Field::Roll},
};

const TemplateLine debugHeader[] = {
    {"#---------------DEBUG Info---------------", Value::Text, 0, Field::None},
    {"#DEBUG_EchoMaxAmplitude,%  ", Value::Int, 0, Field::None},
    {"#DEBUG_EchoMaxAmplitudeLev,mV ", Value::Int, 0, Field::None},
    {"#DEBUG_EchoMaxAmplitudeN ", Value::Int, 0, Field::None},
    {"#DEBUG_Sampling Frequency,Hz ", Value::Int, 0, Field::None},
    {"#DEBUG_OneSampleDistance,mm   ", Value::Fixed, 3, Field::None},
    {"#DEBUG_ZeroLevel    ", Value::Int, 0, Field::None},
    {"#DEBUG_ADCMaxAmplitude,mV  ", Value::Int, 0, Field::None},
    {"#DEBUG_RealPulseLength,uks ", Value::Int, 0, Field::None},
    {"#DEBUG_NSamples ", Value::Int, 0, Field::DebugSamples},
};

struct Template
{
    const TemplateLine *lines;
    int size;
    const char *name;
};

template<int N> constexpr Template makeTemplate(const TemplateLine (&lines)[N], const char *name)
{
    return {lines, N, name};
}

const Template singleTemplate = makeTemplate(singleHeader, "single-frequency header");
const Template dualTemplate = makeTemplate(dualHeader, "dual-frequency header");
const Template debugTemplate = makeTemplate(debugHeader, "debug header");

const QByteArray dataStart = QByteArrayLiteral("##DataStart");
const QByteArray dataEnd = QByteArrayLiteral("##DataEnd");

bool isPrompt(const QByteArray &text)
{
    return text == ">ok." || text == ">ok" || text == ">" || text == "Invalid command >";
}

// The key of a value line matches when the line starts with it and the value does not start
// with a further blank: "#Altitude,m  5.0000" (two blanks) does not match "#Altitude,m   ".
bool keyMatches(const TemplateLine &t, const QByteArray &text)
{
    if (t.value == Value::Text)
        return text == t.key;
    const int keyLength = int(qstrlen(t.key));
    return text.startsWith(t.key) && (text.size() == keyLength || text.at(keyLength) != ' ');
}

// Digits with an optional leading "-", and, when decimals > 0, a "." followed by exactly that
// many digits: the number formats the instrument writes.
bool isNumber(const QByteArray &text, int decimals)
{
    int i = text.startsWith('-') ? 1 : 0;
    const int digitsFrom = i;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text.at(i))))
        ++i;
    if (i == digitsFrom)
        return false;
    if (decimals == 0)
        return i == text.size();
    if (i >= text.size() || text.at(i) != '.')
        return false;
    const int fraction = ++i;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text.at(i))))
        ++i;
    return i == text.size() && i - fraction == decimals;
}

bool isInteger(const QByteArray &text)
{
    return isNumber(text, 0);
}

// Reads the value of a line whose key matched; false when it is not in the line's format.
bool readValue(const TemplateLine &t, const QByteArray &text, double &value)
{
    if (t.value == Value::Text)
        return true;
    const QByteArray number = text.mid(int(qstrlen(t.key)));
    bool ok = false;
    if (t.value == Value::Int) {
        if (!isInteger(number))
            return false;
        value = number.toInt(&ok);
        return ok;
    }
    if (!isNumber(number, t.decimals))
        return false;
    value = number.toDouble(&ok);
    return ok;
}

const Template *templateOf(int frame)
{
    switch (frame) {
    case 1:
        return &singleTemplate;
    case 2:
        return &dualTemplate;
    case 3:
        return &debugTemplate;
    default:
        return nullptr;
    }
}

// Whether two numbers as the instrument writes them can be roundings of one value.
bool sameValue(const QByteArray &a, const QByteArray &b)
{
    FixedDecimal x;
    FixedDecimal y;
    return FixedDecimal::parse(a, &x) && FixedDecimal::parse(b, &y) &&
        FixedDecimal::sameValue(x, y);
}

QString keyText(const TemplateLine &t)
{
    return QString::fromLatin1(t.key).trimmed();
}

} // namespace

double Ping::dataRange() const
{
    return hasData && samplingFrequency > 0 ? samples.size() * 1500.0 / 2.0 / samplingFrequency
                                            : 0.0;
}

QString Ping::channelName(int frequency)
{
    if (frequency <= 0)
        return QString();
    if (frequency % 1000 == 0)
        return QStringLiteral("%1kHz").arg(frequency / 1000);
    return QStringLiteral("%1Hz").arg(frequency);
}

QString Anomaly::kindName(Kind kind)
{
    switch (kind) {
    case BadChecksum:
        return QStringLiteral("bad checksum");
    case Malformed:
        return QStringLiteral("malformed");
    case Truncated:
        return QStringLiteral("truncated");
    case SampleMismatch:
        return QStringLiteral("sample count mismatch");
    case Repeated:
        return QStringLiteral("repeated line");
    case Gap:
        return QStringLiteral("gap");
    case Burst:
        return QStringLiteral("burst");
    case Unexpected:
        break;
    }
    return QStringLiteral("unexpected line");
}

StreamDecoder::StreamDecoder(QObject *parent) : QObject(parent) { }

void StreamDecoder::setDefaultSampleFrequency(int hz)
{
    if (hz > 0)
        defaultSampleHz = hz;
}

void StreamDecoder::setTalker(const QByteArray &value)
{
    talker = value;
}

void StreamDecoder::setSynchronised(bool value)
{
    synchronised = value;
}

void StreamDecoder::feed(const QByteArray &bytes, double arrivalS)
{
    arrival = arrivalS;
    int from = 0;
    while (from < bytes.size()) {
        const int lf = bytes.indexOf('\n', from);
        const int end = lf < 0 ? bytes.size() : lf;
        if (!overlong)
            buffer.append(bytes.constData() + from, end - from);
        if (!overlong && buffer.size() > MaxLineLength) {
            // Reported once, on the line number it will get, then dropped up to its LF.
            report(Anomaly::Malformed, {lineNumber + 1, buffer.left(80)},
                   QStringLiteral("line longer than %1 bytes").arg(MaxLineLength));
            overlong = true;
            buffer.clear();
        }
        if (lf < 0)
            break;
        ++lineNumber;
        if (buffer.endsWith('\r'))
            buffer.chop(1);
        if (!overlong) {
            lastLine = {lineNumber, buffer};
            processLine(lastLine);
        }
        overlong = false;
        buffer.clear();
        from = lf + 1;
    }
}

void StreamDecoder::finish(bool reportTruncation)
{
    if (!buffer.isEmpty() && !overlong && reportTruncation) {
        report(Anomaly::Truncated, {lineNumber + 1, buffer},
               QStringLiteral("line without line ending at the end of the stream"));
    }
    buffer.clear();
    overlong = false;
    if (frame != Frame::None) {
        if (reportTruncation) {
            abandonFrame(lastLine, true);
        } else {
            frame = Frame::None;
        }
    }
    if (hasPending) {
        if (reportTruncation)
            flushPending();
        hasPending = false;
    }
    if (open) {
        if (reportTruncation) {
            closePing();
        } else {
            // Cut by the reader (a signal, the ping count, the device gone): what the ping has
            // is not the instrument's whole ping, and is not shown as one.
            open = false;
            damaged = false;
        }
    }
    reportTiming(timing.finish());
}

void StreamDecoder::processLine(const Line &line)
{
    if (!synchronised) {
        // Joining a running stream: the first lines may be the tail of a ping, so decoding
        // starts with the first line that starts a ping or is a prompt.
        const QByteArray &t = line.text;
        const bool pingStart = t.startsWith("#F ") || t == singleHeader[0].key ||
            t == dualHeader[0].key || isPrompt(t) || (t.startsWith('$') && t.mid(3, 4) == "DBT,");
        if (!pingStart) {
            if (!line.text.isEmpty()) {
                pending = line;
                hasPending = true;
            }
            return;
        }
        synchronised = true;
        if (!isPrompt(line.text))
            hasPending = false;
    }
    // The instrument never writes a line twice in a row, but for the samples of a data block
    // and the blank lines between frames: a repeat is the line's doing, and is left out.
    const bool repeated = !line.text.isEmpty() && line.text == previousText &&
        !(frame == Frame::Data && isInteger(line.text));
    previousText = line.text;
    if (repeated) {
        report(Anomaly::Repeated, line, QStringLiteral("the line before, again"), false);
        return;
    }
    if (frame == Frame::None)
        processIdle(line);
    else
        processFrameLine(line);
}

bool StreamDecoder::startsSomething(const QByteArray &text) const
{
    return text.startsWith('$') || text.startsWith("#F ") || text == singleHeader[0].key ||
        text == dualHeader[0].key || text == debugHeader[0].key || text == dataStart ||
        isPrompt(text);
}

// A line that belongs inside a frame: a header line other than the first, "##DataEnd" or a
// sample. Met outside a frame it means that the frame's start was lost.
bool StreamDecoder::isStrayFrameLine(const QByteArray &text) const
{
    if (text == dataEnd || isInteger(text))
        return true;
    for (const Template *t : {&singleTemplate, &dualTemplate, &debugTemplate}) {
        for (int i = 1; i < t->size; ++i) {
            if (keyMatches(t->lines[i], text))
                return true;
        }
    }
    return false;
}

// A line of a single- or dual-frequency header other than the first.
bool StreamDecoder::isHeaderLine(const QByteArray &text) const
{
    for (const Template *t : {&singleTemplate, &dualTemplate}) {
        for (int i = 1; i < t->size; ++i) {
            if (keyMatches(t->lines[i], text))
                return true;
        }
    }
    return false;
}

void StreamDecoder::processIdle(const Line &line)
{
    const QByteArray &text = line.text;
    if (text.isEmpty())
        return; // blank lines separate the frames
    if (isPrompt(text)) {
        prompt(line);
        return;
    }
    if (startsSomething(text)) {
        flushPending();
        skipping = false;
        if (text.startsWith('$'))
            sentence(line);
        else if (text.startsWith("#F "))
            frequencyLine(line);
        else if (text == singleHeader[0].key)
            beginFrame(Frame::SingleHeader, line);
        else if (text == dualHeader[0].key)
            beginFrame(Frame::DualHeader, line);
        else if (text == debugHeader[0].key)
            beginFrame(Frame::DebugHeader, line);
        else
            beginFrame(Frame::Data, line);
        return;
    }
    if (isStrayFrameLine(text)) {
        // The rest of a frame whose first line was lost or broken: report once, then drop
        // the frame's lines up to the next thing that starts.
        if (!skipping) {
            const Line start = hasPending ? pending : line;
            if (hasPending) {
                hasPending = false;
                report(Anomaly::Malformed, pending,
                       QStringLiteral("unrecognised line where a frame starts"));
            } else {
                report(Anomaly::Unexpected, line,
                       QStringLiteral("frame line outside a frame; skipping to the next frame"));
            }
            if (isHeaderLine(text)) {
                // A header without its first line still begins a ping: the attitude sentence,
                // debug header and data block that follow belong to it.
                if (open && pingHasContent())
                    closePing();
                if (!open)
                    openPing(start);
                hasHeader = true;
            }
        }
        skipping = true;
        return;
    }
    // Unknown text: the echo of a command when a prompt follows, else unexpected.
    flushPending();
    pending = line;
    hasPending = true;
}

void StreamDecoder::flushPending()
{
    if (!hasPending)
        return;
    hasPending = false;
    report(Anomaly::Unexpected, pending, QStringLiteral("not a line the instrument writes"));
}

void StreamDecoder::prompt(const Line &line)
{
    Reply reply;
    reply.prompt = line.text;
    reply.line = line.number;
    if (hasPending) {
        reply.echo = pending.text;
        reply.line = pending.number;
        hasPending = false;
    }
    skipping = false;
    // A command stops the instrument's timer, and its reply restarts it, perhaps with another
    // interval.
    timing.restart();
    emit replyReceived(reply);
}

void StreamDecoder::beginFrame(Frame f, const Line &line)
{
    switch (f) {
    case Frame::SingleHeader:
    case Frame::DualHeader:
        if (open && pingHasContent())
            closePing();
        if (!open)
            openPing(line);
        hasHeader = true;
        hasSingleHeader = f == Frame::SingleHeader;
        break;
    case Frame::DebugHeader:
        if (open && (hasDebug || ping.hasData || hasDbt))
            closePing();
        if (!open)
            openPing(line);
        hasDebug = true;
        break;
    case Frame::Data:
        if (open && (ping.hasData || hasDbt))
            closePing();
        if (!open)
            openPing(line);
        data.clear();
        break;
    case Frame::None:
        return;
    }
    frame = f;
    frameStart = line;
    frameIndex = f == Frame::Data ? 0 : 1;
    if (f == Frame::DualHeader)
        ping.samplingFrequency = -1; // until the header states it
}

void StreamDecoder::processFrameLine(const Line &line)
{
    if (frame == Frame::Data)
        dataLine(line);
    else
        headerLine(line);
}

void StreamDecoder::headerLine(const Line &line)
{
    const QByteArray &text = line.text;
    if (text.isEmpty())
        return;
    const Template *t = templateOf(int(frame));
    int index = frameIndex;
    if (!keyMatches(t->lines[index], text)) {
        int later = -1;
        for (int j = index + 1; j < t->size && later < 0; ++j) {
            if (keyMatches(t->lines[j], text))
                later = j;
        }
        if (later >= 0) {
            const int missing = later - index;
            report(Anomaly::Malformed, line,
                   missing == 1 ? QStringLiteral("%1: line \"%2\" missing before this line")
                                      .arg(QString::fromLatin1(t->name), keyText(t->lines[index]))
                                : QStringLiteral("%1: %2 lines missing before this line")
                                      .arg(QString::fromLatin1(t->name))
                                      .arg(missing));
            index = later;
        } else if (startsSomething(text)) {
            abandonFrame(line, true);
            processIdle(line);
            return;
        } else {
            // Taken for a damaged copy of the expected line, so that the lines after it keep
            // their places.
            report(
                Anomaly::Malformed, line,
                QStringLiteral("%1: expected \"%2\"")
                    .arg(QString::fromLatin1(t->name),
                         QString::fromLatin1(t->lines[index].key) +
                             (t->lines[index].value == Value::Text ? QString()
                                                                   : QStringLiteral("<number>"))));
            frameIndex = index + 1;
            if (frameIndex == t->size)
                finishHeader();
            return;
        }
    }
    const TemplateLine &tl = t->lines[index];
    double value = 0.0;
    if (!readValue(tl, text, value)) {
        report(
            Anomaly::Malformed, line,
            QStringLiteral("%1: bad value for %2").arg(QString::fromLatin1(t->name), keyText(tl)));
    } else {
        switch (tl.field) {
        case Field::Time:
            headerTime = value;
            break;
        case Field::Depth:
            ping.depth = value;
            break;
        case Field::Temperature:
            ping.temperature = value;
            break;
        case Field::Samples:
            ping.headerSamples = int(value);
            headerSamplesLine = line.number;
            headerSamplesText = text;
            break;
        case Field::SamplingFrequency:
            if (value > 0)
                ping.samplingFrequency = int(value);
            else
                report(Anomaly::Malformed, line,
                       QStringLiteral("sampling frequency must be above 0"));
            break;
        case Field::TxFrequency:
            if (hasFrequencyLine && int(value) != ping.frequency) {
                report(Anomaly::Malformed, line,
                       QStringLiteral("transmit frequency differs from the frequency line (%1 Hz)")
                           .arg(ping.frequency));
            } else {
                ping.frequency = int(value);
            }
            break;
        case Field::Pitch:
            ping.pitch = value;
            headerPitch = text.mid(int(qstrlen(tl.key)));
            break;
        case Field::Roll:
            ping.roll = value;
            headerRoll = text.mid(int(qstrlen(tl.key)));
            break;
        case Field::DebugSamples:
            debugSamples = int(value);
            debugSamplesLine = line;
            break;
        case Field::None:
            break;
        }
    }
    frameIndex = index + 1;
    if (frameIndex == t->size)
        finishHeader();
}

void StreamDecoder::finishHeader()
{
    if (frame != Frame::DebugHeader && std::isnan(ping.time))
        ping.time = headerTime;
    frame = Frame::None;
}

void StreamDecoder::abandonFrame(const Line &at, bool reportIt)
{
    if (reportIt) {
        QString message;
        if (frame == Frame::Data) {
            message = QStringLiteral("data block cut short after %1 samples, without \"##DataEnd\"")
                          .arg(data.size());
        } else {
            const Template *t = templateOf(int(frame));
            message = QStringLiteral("%1 cut short after %2 of %3 lines")
                          .arg(QString::fromLatin1(t->name))
                          .arg(frameIndex)
                          .arg(t->size);
        }
        report(Anomaly::Truncated, at, message);
    }
    if (frame == Frame::Data) {
        ping.hasData = true;
        ping.samples = data;
    } else if (frame != Frame::DebugHeader) {
        finishHeader();
    }
    frame = Frame::None;
}

void StreamDecoder::dataLine(const Line &line)
{
    const QByteArray &text = line.text;
    if (text.isEmpty())
        return;
    if (text == dataEnd) {
        finishData(line);
        return;
    }
    if (startsSomething(text)) {
        abandonFrame(line, true);
        processIdle(line);
        return;
    }
    // A damaged sample keeps its place, as 0, so that the echo stays at its depth and a
    // corrupt large value does not pass for the strongest echo.
    bool ok = false;
    const int value = isInteger(text) ? text.toInt(&ok) : 0;
    if (!ok) {
        report(Anomaly::Malformed, line, QStringLiteral("sample is not a number"));
        data.append(0);
    } else if (value < 0 || value > 1023) {
        report(Anomaly::Malformed, line, QStringLiteral("sample outside 0 to 1023"));
        data.append(0);
    } else {
        data.append(value);
    }
}

void StreamDecoder::finishData(const Line &line)
{
    Q_UNUSED(line)
    frame = Frame::None;
    ping.hasData = true;
    ping.samples = data;
    // A count that disagrees is reported on the line that states it.
    if (ping.headerSamples >= 0 && ping.headerSamples != data.size()) {
        report(Anomaly::SampleMismatch, {headerSamplesLine, headerSamplesText},
               QStringLiteral("#NSamples %1, but the data block has %2 samples")
                   .arg(ping.headerSamples)
                   .arg(data.size()));
    } else if (debugSamples >= 0 && debugSamples != data.size()) {
        report(Anomaly::SampleMismatch, debugSamplesLine,
               QStringLiteral("#DEBUG_NSamples %1, but the data block has %2 samples")
                   .arg(debugSamples)
                   .arg(data.size()));
    }
    closePing();
}

void StreamDecoder::frequencyLine(const Line &line)
{
    static const QRegularExpression re(QStringLiteral("^(#F (\\S+) Hz)\\*(..)$"));
    const QRegularExpressionMatch m = re.match(QString::fromLatin1(line.text));
    if (!m.hasMatch()) {
        report(Anomaly::Malformed, line, QStringLiteral("frequency line not \"#F <Hz> Hz*hh\""));
        return;
    }
    const QByteArray expected = Nmea::calcChecksum(m.captured(1).toLatin1());
    if (m.captured(3).toLatin1() != expected) {
        report(Anomaly::BadChecksum, line,
               QStringLiteral("checksum %1, expected %2")
                   .arg(m.captured(3), QString::fromLatin1(expected)));
        return;
    }
    bool ok = false;
    const double hz = m.captured(2).toDouble(&ok);
    if (!ok || hz <= 0 || hz > 1e9) {
        report(Anomaly::Malformed, line, QStringLiteral("frequency is not a positive number"));
        return;
    }
    if (open)
        closePing();
    openPing(line);
    ping.frequency = int(std::lround(hz));
    hasFrequencyLine = true;
}

void StreamDecoder::sentence(const Line &line)
{
    const QByteArray &text = line.text;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7f) {
            report(Anomaly::Malformed, line,
                   QStringLiteral("%1 byte 0x%2 in the sentence")
                       .arg(byte >= 0x80 ? QStringLiteral("non-ASCII") : QStringLiteral("control"))
                       .arg(byte, 2, 16, QLatin1Char('0')));
            return;
        }
    }
    QByteArray found;
    if (!Nmea::isNmeaString(text, &found)) {
        report(Anomaly::Malformed, line, QStringLiteral("not an NMEA 0183 sentence"));
        return;
    }
    if (found != text) {
        report(Anomaly::Malformed, line, QStringLiteral("text after the checksum"));
        return;
    }
    if (!Nmea::checksum(text)) {
        const int star = text.indexOf('*');
        report(Anomaly::BadChecksum, line,
               QStringLiteral("checksum %1, expected %2")
                   .arg(QString::fromLatin1(text.mid(star + 1)),
                        QString::fromLatin1(Nmea::calcChecksum(text.mid(1, star - 1)))));
        return;
    }
    const QByteArray address = text.mid(1, text.indexOf(',') - 1);
    const QByteArray formatter = address.mid(2);
    if (!talker.isEmpty() && !address.startsWith(talker)) {
        // Decoded all the same: the sentence is whole, only not from the talker expected.
        report(Anomaly::Unexpected, line,
               QStringLiteral("talker %1, expected %2")
                   .arg(QString::fromLatin1(address.left(2)), QString::fromLatin1(talker)));
    }
    float first = 0.0f;
    float second = 0.0f;
    if (formatter == "DBT") {
        if (!Nmea::getValue(text, C::Dbt, first)) {
            report(Anomaly::Malformed, line, QStringLiteral("depth sentence without a depth"));
            return;
        }
        // A depth starts the NMEA part of a ping; after a frequency line it belongs to it.
        if (open && (hasDbt || hasHeader || ping.hasData || hasMtw || hasXdr))
            closePing();
        if (!open)
            openPing(line);
        ping.depth = double(first);
        hasDbt = true;
    } else if (formatter == "MTW") {
        if (!Nmea::getValue(text, C::Mtw, first)) {
            report(Anomaly::Malformed, line,
                   QStringLiteral("temperature sentence without a temperature"));
            return;
        }
        if (open && (hasMtw || hasHeader))
            closePing();
        if (!open)
            openPing(line);
        ping.temperature = double(first);
        hasMtw = true;
    } else if (formatter == "XDR") {
        if (!Nmea::getValues(text, C::Xdr, first, second)) {
            report(Anomaly::Malformed, line,
                   QStringLiteral("attitude sentence without pitch and roll"));
            return;
        }
        if (open && hasHeader && !hasXdr && !hasDebug && !ping.hasData) {
            // The attitude sentence of a single-frequency ping repeats the header's values to
            // one decimal.
            hasXdr = true;
            if (std::isnan(ping.pitch) && std::isnan(ping.roll)) {
                ping.pitch = double(first);
                ping.roll = double(second);
                return;
            }
            // Both are the instrument's roundings of one value, to three decimals and to one:
            // compared as written, so that "-71.650" and "-71.6" agree.
            const QList<QByteArray> fields = text.split(',');
            if ((!headerPitch.isEmpty() && !sameValue(headerPitch, fields.value(2))) ||
                (!headerRoll.isEmpty() && !sameValue(headerRoll, fields.value(6)))) {
                report(Anomaly::Malformed, line,
                       QStringLiteral("pitch and roll differ from the header's"));
            }
            return;
        }
        if (open && (hasXdr || hasHeader))
            closePing();
        if (!open)
            openPing(line);
        ping.pitch = double(first);
        ping.roll = double(second);
        hasXdr = true;
        closePing(); // the attitude sentence ends an NMEA ping
    } else {
        report(Anomaly::Unexpected, line, QStringLiteral("sentence the instrument does not send"));
    }
}

void StreamDecoder::openPing(const Line &line)
{
    ping = Ping();
    ping.line = line.number;
    ping.time = arrival >= 0.0 ? arrival : Ping::Unknown;
    pingArrival = arrival;
    ping.samplingFrequency = -1;
    open = true;
    hasHeader = hasSingleHeader = hasDbt = hasMtw = hasXdr = hasDebug = hasFrequencyLine = false;
    pingStart = line;
    headerTime = Ping::Unknown;
    debugSamples = -1;
    headerSamplesLine = 0;
    headerSamplesText.clear();
    headerPitch.clear();
    headerRoll.clear();
    data.clear();
}

bool StreamDecoder::pingHasContent() const
{
    return hasHeader || hasDbt || hasMtw || hasXdr || hasDebug || ping.hasData;
}

void StreamDecoder::closePing()
{
    if (!open)
        return;
    open = false;

    // What each kind of ping carries; a missing part is reported once, unless the ping already
    // had an anomaly that explains it.
    QStringList missing;
    if (hasHeader) {
        if (hasSingleHeader) {
            if (!hasXdr)
                missing << QStringLiteral("attitude sentence");
            if (!hasDebug)
                missing << QStringLiteral("debug header");
        }
        if (!ping.hasData)
            missing << QStringLiteral("data block");
    } else if (hasDbt || hasMtw || hasXdr) {
        if (!hasDbt)
            missing << QStringLiteral("depth sentence");
        if (!hasMtw)
            missing << QStringLiteral("temperature sentence");
        if (!hasXdr)
            missing << QStringLiteral("attitude sentence");
    } else {
        missing << QStringLiteral("header");
        if (!hasDebug && !ping.hasData)
            missing << QStringLiteral("depth sentence");
    }
    if (!missing.isEmpty() && !damaged) {
        report(Anomaly::Truncated, pingStart,
               QStringLiteral("ping without %1").arg(missing.join(QStringLiteral(", "))));
    }
    damaged = false;
    if (!pingHasContent())
        return; // a lone frequency line carries nothing to show
    // Arrival times only: a header's working time is the sum of the intervals it was written
    // at, not a clock.
    reportTiming(
        timing.add(pingArrival, pingStart.number, pingStart.text, hasDbt && hasFrequencyLine));

    if (ping.samplingFrequency <= 0)
        ping.samplingFrequency = defaultSampleHz;
    if (ping.hasData && !ping.samples.isEmpty()) {
        // The middle of the first run of samples at the largest amplitude: the echo is a
        // plateau, and its first sample would place the bottom a few samples short.
        int first = 0;
        for (int i = 1; i < ping.samples.size(); ++i) {
            if (ping.samples.at(i) > ping.samples.at(first))
                first = i;
        }
        if (ping.samples.at(first) > 0) {
            int last = first;
            while (last + 1 < ping.samples.size() &&
                   ping.samples.at(last + 1) == ping.samples.at(first))
                ++last;
            const double index = (first + last) / 2.0;
            ping.echoDepth = index * 1500.0 / 2.0 / ping.samplingFrequency;
        }
    }
    ++pings;
    emit pingDecoded(ping);
}

void StreamDecoder::reportTiming(const QVector<PingTiming::Event> &events)
{
    for (const PingTiming::Event &e : events) {
        const Line at {e.line, e.text};
        if (e.kind == PingTiming::Event::Gap) {
            report(Anomaly::Gap, at,
                   QStringLiteral("ping %1 s after the one before, at a period of %2 s")
                       .arg(e.seconds, 0, 'f', 3)
                       .arg(e.period, 0, 'f', 3),
                   false);
        } else {
            report(Anomaly::Burst, at,
                   QStringLiteral("%1 pings within %2 s after a gap, at a period of %3 s")
                       .arg(e.pings)
                       .arg(e.seconds, 0, 'f', 3)
                       .arg(e.period, 0, 'f', 3),
                   false);
        }
    }
}

void StreamDecoder::report(Anomaly::Kind kind, const Line &line, const QString &message,
                           bool damaging)
{
    if (damaging)
        damaged = true;
    ++anomalies;
    Anomaly a;
    a.kind = kind;
    a.line = line.number;
    a.text = line.text;
    a.message = message;
    emit anomalyFound(a);
}
