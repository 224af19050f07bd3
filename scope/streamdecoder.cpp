#include "streamdecoder.h"

#include "fixeddecimal.h"
#include "nmea.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

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
    std::string_view key;
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

using Text = std::string_view;

constexpr Text dataStart = "##DataStart";
constexpr Text dataEnd = "##DataEnd";

bool startsWith(Text text, Text prefix)
{
    return text.size() >= prefix.size() &&
        std::memcmp(text.data(), prefix.data(), prefix.size()) == 0;
}

// QByteArray::mid() on a view: empty past the end, the rest for a length below 0 or beyond it.
Text mid(Text text, int position, int length = -1)
{
    if (position < 0 || size_t(position) >= text.size())
        return Text();
    return text.substr(size_t(position), length < 0 ? Text::npos : size_t(length));
}

// Field index (from 0) of a line of fields separated by ","; empty when there are fewer.
Text field(Text text, int index)
{
    size_t from = 0;
    for (; index > 0; --index) {
        const size_t comma = text.find(',', from);
        if (comma == Text::npos)
            return Text();
        from = comma + 1;
    }
    const size_t comma = text.find(',', from);
    return text.substr(from, comma == Text::npos ? Text::npos : comma - from);
}

QByteArray bytes(Text text)
{
    return QByteArray(text.data(), int(text.size()));
}

QString latin1(Text text)
{
    return QString::fromLatin1(text.data(), int(text.size()));
}

Text view(const QByteArray &text)
{
    return Text(text.constData(), size_t(text.size()));
}

bool isPrompt(Text text)
{
    return text == ">ok." || text == ">ok" || text == ">" || text == "Invalid command >";
}

// The key of a value line matches when the line starts with it and the value does not start
// with a further blank: "#Altitude,m  5.0000" (two blanks) does not match "#Altitude,m   ".
bool keyMatches(const TemplateLine &t, Text text)
{
    if (t.value == Value::Text)
        return text == t.key;
    const size_t keyLength = t.key.size();
    return startsWith(text, t.key) && (text.size() == keyLength || text[keyLength] != ' ');
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Digits with an optional leading "-", and, when decimals > 0, a "." followed by exactly that
// many digits: the number formats the instrument writes.
bool isNumber(Text text, int decimals)
{
    size_t i = startsWith(text, "-") ? 1 : 0;
    const size_t digitsFrom = i;
    while (i < text.size() && isDigit(text[i]))
        ++i;
    if (i == digitsFrom)
        return false;
    if (decimals == 0)
        return i == text.size();
    if (i >= text.size() || text[i] != '.')
        return false;
    const size_t fraction = ++i;
    while (i < text.size() && isDigit(text[i]))
        ++i;
    return i == text.size() && i - fraction == size_t(decimals);
}

bool isInteger(Text text)
{
    return isNumber(text, 0);
}

// An integer that isInteger() accepted, as QByteArray::toInt() reads it: false beyond an int.
bool readInt(Text text, double &value)
{
    const bool negative = text[0] == '-';
    long long magnitude = 0;
    for (size_t i = negative ? 1 : 0; i < text.size(); ++i) {
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > 1LL + std::numeric_limits<int>::max())
            return false;
    }
    const long long v = negative ? -magnitude : magnitude;
    if (v > std::numeric_limits<int>::max())
        return false;
    value = double(v);
    return true;
}

const double Pow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                        1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

// A number that isNumber() accepted, as QByteArray::toDouble() reads it: up to 15 digits, the
// digits as an integer (exact in a double) divided by an exact power of ten are the correctly
// rounded value that the general reading gives, and longer numbers take that reading.
bool readFixed(Text text, double &value)
{
    const bool negative = text[0] == '-';
    uint64_t digits = 0;
    int count = 0;
    int decimals = 0;
    bool point = false;
    for (size_t i = negative ? 1 : 0; i < text.size() && count <= 15; ++i) {
        if (text[i] == '.') {
            point = true;
            continue;
        }
        digits = digits * 10 + uint64_t(text[i] - '0');
        ++count;
        if (point)
            ++decimals;
    }
    if (count > 15) {
        bool ok = false;
        value = bytes(text).toDouble(&ok);
        return ok;
    }
    const double magnitude = double(digits) / Pow10[decimals];
    value = negative ? -magnitude : magnitude;
    return true;
}

// Reads the value of a line whose key matched; false when it is not in the line's format.
bool readValue(const TemplateLine &t, Text text, double &value)
{
    if (t.value == Value::Text)
        return true;
    const Text number = text.substr(t.key.size());
    if (t.value == Value::Int)
        return isInteger(number) && readInt(number, value);
    return isNumber(number, t.decimals) && readFixed(number, value);
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
bool sameValue(Text a, Text b)
{
    FixedDecimal x;
    FixedDecimal y;
    return FixedDecimal::parse(a.data(), int(a.size()), &x) &&
        FixedDecimal::parse(b.data(), int(b.size()), &y) && FixedDecimal::sameValue(x, y);
}

QString keyText(const TemplateLine &t)
{
    return latin1(t.key).trimmed();
}

// A sentence of printable ASCII that starts with "$" is one sentence, as Nmea::isNmeaString()
// finds it, from its first byte to its last: "$", two characters, capital letters, ",", at least
// one byte up to the first "*" after that, and two characters after it.
bool isWholeSentence(Text text)
{
    if (text.size() < 3)
        return false;
    size_t comma = 3;
    while (comma < text.size() && text[comma] >= 'A' && text[comma] <= 'Z')
        ++comma;
    if (comma == 3 || comma == text.size() || text[comma] != ',')
        return false;
    const size_t star = text.find('*', comma + 1);
    return star != Text::npos && star != comma + 1 && star + 3 == text.size();
}

// The frequency line "#F <Hz> Hz*hh" read as the pattern ^(#F (\S+) Hz)\*(..)$ reads the text up
// to its first zero byte: Hz is a run without blanks (space, tab, CR, vertical tab, form feed),
// and the two checksum characters may be any bytes.
bool frequencyFields(Text text, Text &body, Text &hz, Text &checksum)
{
    text = text.substr(0, text.find('\0'));
    const size_t n = text.size();
    if (n < 10 || !startsWith(text, "#F ") || text.substr(n - 6, 4) != " Hz*")
        return false;
    hz = text.substr(3, n - 9);
    if (hz.find_first_of(" \t\r\v\f") != Text::npos)
        return false;
    body = text.substr(0, n - 3);
    checksum = text.substr(n - 2);
    return true;
}

// The frequency as QString::toDouble() reads it; plain digits without a QString.
bool readFrequency(Text hz, double &value)
{
    if (hz.size() <= 9 && hz.find_first_not_of("0123456789") == Text::npos) {
        long long v = 0;
        for (const char c : hz)
            v = v * 10 + (c - '0');
        value = double(v);
        return true;
    }
    bool ok = false;
    value = latin1(hz).toDouble(&ok);
    return ok;
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

StreamDecoder::StreamDecoder(QObject *parent) : QObject(parent)
{
    // Reserved, so that emptying them keeps their memory for the next line.
    partial.reserve(MaxLineLength + 1);
}

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

void StreamDecoder::feed(const char *bytes, int size, double arrivalS)
{
    arrival = arrivalS;
    const char *p = bytes;
    const char *const end = bytes + size;
    if (!partial.isEmpty() || overlong)
        p = continueLine(p, end);
    while (p < end) {
        // Most lines of a data block are samples: read as a run, not one line at a time.
        if (frame == Frame::Data && synchronised) {
            p = sampleRun(p, end);
            if (p == end)
                break;
        }
        const char *lf = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
        if (!lf) {
            p = continueLine(p, end);
            break;
        }
        completeLine(p, int(lf - p));
        p = lf + 1;
    }
}

// Adds the bytes up to the next LF to the line begun in an earlier call, and decodes the line
// when its LF is among them; returns the position after that LF, or end.
const char *StreamDecoder::continueLine(const char *from, const char *end)
{
    const char *lf = static_cast<const char *>(std::memchr(from, '\n', size_t(end - from)));
    const char *stop = lf ? lf : end;
    if (!overlong) {
        partial.append(from, int(stop - from));
        if (partial.size() > MaxLineLength) {
            // Reported once, on the line number it will get, then dropped up to its LF.
            report(Anomaly::Malformed, {lineNumber + 1, Text(partial.constData(), 80)},
                   QStringLiteral("line longer than %1 bytes").arg(MaxLineLength));
            overlong = true;
            partial.resize(0);
        }
    }
    if (!lf)
        return end;
    if (overlong) {
        ++lineNumber;
        overlong = false;
    } else {
        completeLine(partial.constData(), partial.size());
        partial.resize(0);
    }
    return lf + 1;
}

// A whole line, its CR (if any) included, its LF not.
void StreamDecoder::completeLine(const char *from, int length)
{
    if (length > MaxLineLength) {
        report(Anomaly::Malformed, {lineNumber + 1, Text(from, 80)},
               QStringLiteral("line longer than %1 bytes").arg(MaxLineLength));
        ++lineNumber;
        return;
    }
    ++lineNumber;
    if (length > 0 && from[length - 1] == '\r')
        --length;
    const Line line {lineNumber, Text(from, size_t(length))};
    lastLine.store(line);
    processLine(line);
}

// Samples of a data block in a run: lines of up to five digits with a value from 0 to 1023,
// ending in CR LF or LF, each of which processLine() would only append to the block (they are
// never repeats). Stops at the first other line, and at a line the bytes do not hold whole, and
// returns where it stopped.
const char *StreamDecoder::sampleRun(const char *from, const char *end)
{
    const char *p = from;
    int count = 0;
    // While eight bytes are left, a whole sample line (five digits, CR, LF) and the byte that
    // tells it is longer fit: no check against the end inside a line.
    while (end - p >= 8) {
        unsigned value = unsigned(*p - '0');
        if (value > 9)
            break;
        if (p[1] == '\r' && p[2] == '\n') {
            // One digit: most samples away from the echo.
            data.push_back(int(value));
            ++count;
            p += 3;
            continue;
        }
        const char *q = p + 1;
        for (unsigned digit; q < p + 5 && (digit = unsigned(*q - '0')) < 10; ++q)
            value = value * 10 + digit;
        if (value > 1023)
            break;
        if (*q == '\r')
            ++q;
        if (*q != '\n')
            break;
        data.push_back(int(value));
        ++count;
        p = q + 1;
    }
    while (p < end) {
        const char *q = p;
        unsigned value = 0;
        for (unsigned digit; q < end && q < p + 5 && (digit = unsigned(*q - '0')) < 10; ++q)
            value = value * 10 + digit;
        if (q == p || value > 1023)
            break;
        const char *lf = q < end && *q == '\r' ? q + 1 : q;
        if (lf == end || *lf != '\n')
            break;
        data.push_back(int(value));
        ++count;
        p = lf + 1;
    }
    if (count == 0)
        return p;
    // The run's last line, as the line before the next one and as the last line seen.
    const char *last = p - 1;
    if (last > from && last[-1] == '\r')
        --last;
    const char *digits = last;
    while (digits > from && isDigit(digits[-1]))
        --digits;
    lineNumber += count;
    const Line line {lineNumber, Text(digits, size_t(last - digits))};
    lastLine.store(line);
    previousText.assign(line.text);
    return p;
}

void StreamDecoder::finish(bool reportTruncation)
{
    if (!partial.isEmpty() && !overlong && reportTruncation) {
        report(Anomaly::Truncated, {lineNumber + 1, view(partial)},
               QStringLiteral("line without line ending at the end of the stream"));
    }
    partial.resize(0);
    overlong = false;
    if (frame != Frame::None) {
        if (reportTruncation) {
            abandonFrame(lastLine.line(), true);
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
        const Text t = line.text;
        const bool pingStart = startsWith(t, "#F ") || t == singleHeader[0].key ||
            t == dualHeader[0].key || isPrompt(t) || (startsWith(t, "$") && mid(t, 3, 4) == "DBT,");
        if (!pingStart) {
            if (!line.text.empty()) {
                pending.store(line);
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
    const bool repeated = !line.text.empty() && line.text == previousText &&
        !(frame == Frame::Data && isInteger(line.text));
    previousText.assign(line.text);
    if (repeated) {
        report(Anomaly::Repeated, line, QStringLiteral("the line before, again"), false);
        return;
    }
    if (frame == Frame::None)
        processIdle(line);
    else
        processFrameLine(line);
}

bool StreamDecoder::startsSomething(Text text) const
{
    return startsWith(text, "$") || startsWith(text, "#F ") || text == singleHeader[0].key ||
        text == dualHeader[0].key || text == debugHeader[0].key || text == dataStart ||
        isPrompt(text);
}

// A line that belongs inside a frame: a header line other than the first, "##DataEnd" or a
// sample. Met outside a frame it means that the frame's start was lost.
bool StreamDecoder::isStrayFrameLine(Text text) const
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
bool StreamDecoder::isHeaderLine(Text text) const
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
    const Text text = line.text;
    if (text.empty())
        return; // blank lines separate the frames
    if (isPrompt(text)) {
        prompt(line);
        return;
    }
    if (startsSomething(text)) {
        flushPending();
        skipping = false;
        if (startsWith(text, "$"))
            sentence(line);
        else if (startsWith(text, "#F "))
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
            const Line start = hasPending ? pending.line() : line;
            if (hasPending) {
                hasPending = false;
                report(Anomaly::Malformed, pending.line(),
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
    pending.store(line);
    hasPending = true;
}

void StreamDecoder::flushPending()
{
    if (!hasPending)
        return;
    hasPending = false;
    report(Anomaly::Unexpected, pending.line(), QStringLiteral("not a line the instrument writes"));
}

void StreamDecoder::prompt(const Line &line)
{
    Reply reply;
    reply.prompt = bytes(line.text);
    reply.line = line.number;
    if (hasPending) {
        reply.echo = bytes(pending.text);
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
    const Text text = line.text;
    if (text.empty())
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
                         latin1(t->lines[index].key) +
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
            // A negative count is no count; left as it is, it would read as "none stated".
            if (value < 0) {
                report(Anomaly::Malformed, line,
                       QStringLiteral("%1: #NSamples %2: a sample count must be 0 or more")
                           .arg(QString::fromLatin1(t->name))
                           .arg(qint64(value)));
                break;
            }
            ping.headerSamples = int(value);
            headerSamples.store(line);
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
            headerPitch.assign(text.substr(tl.key.size()));
            break;
        case Field::Roll:
            ping.roll = value;
            headerRoll.assign(text.substr(tl.key.size()));
            break;
        case Field::DebugSamples:
            debugSamples = int(value);
            debugSamplesLine.store(line);
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
                          .arg(int(data.size()));
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
        keepSamples();
    } else if (frame != Frame::DebugHeader) {
        finishHeader();
    }
    frame = Frame::None;
}

void StreamDecoder::dataLine(const Line &line)
{
    const Text text = line.text;
    if (text.empty())
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
    double value = -1.0;
    const bool ok = isInteger(text) && readInt(text, value);
    if (!ok) {
        report(Anomaly::Malformed, line, QStringLiteral("sample is not a number"));
        data.push_back(0);
    } else if (value < 0 || value > 1023) {
        report(Anomaly::Malformed, line, QStringLiteral("sample outside 0 to 1023"));
        data.push_back(0);
    } else {
        data.push_back(int(value));
    }
}

// The block's samples become the ping's, in the memory the ping's samples already have when no
// receiver of an earlier ping holds on to it.
void StreamDecoder::keepSamples()
{
    ping.hasData = true;
    ping.samples.resize(int(data.size()));
    if (!data.empty())
        std::memcpy(ping.samples.data(), data.data(), data.size() * sizeof(int));
}

void StreamDecoder::finishData(const Line &line)
{
    Q_UNUSED(line)
    frame = Frame::None;
    keepSamples();
    const int count = int(data.size());
    // A count that disagrees is reported on the line that states it.
    if (ping.headerSamples >= 0 && ping.headerSamples != count) {
        report(Anomaly::SampleMismatch, headerSamples.line(),
               QStringLiteral("#NSamples %1, but the data block has %2 samples")
                   .arg(ping.headerSamples)
                   .arg(count));
    } else if (debugSamples >= 0 && debugSamples != count) {
        report(Anomaly::SampleMismatch, debugSamplesLine.line(),
               QStringLiteral("#DEBUG_NSamples %1, but the data block has %2 samples")
                   .arg(debugSamples)
                   .arg(count));
    }
    closePing();
}

void StreamDecoder::frequencyLine(const Line &line)
{
    Text body;
    Text hzText;
    Text written;
    if (!frequencyFields(line.text, body, hzText, written)) {
        report(Anomaly::Malformed, line, QStringLiteral("frequency line not \"#F <Hz> Hz*hh\""));
        return;
    }
    unsigned char sum = 0;
    for (const char c : body)
        sum ^= static_cast<unsigned char>(c);
    static const char hex[] = "0123456789ABCDEF";
    const char expected[2] = {hex[sum >> 4], hex[sum & 0xF]};
    if (written != Text(expected, 2)) {
        report(Anomaly::BadChecksum, line,
               QStringLiteral("checksum %1, expected %2")
                   .arg(latin1(written), QString::fromLatin1(expected, 2)));
        return;
    }
    double hz = 0.0;
    const bool ok = readFrequency(hzText, hz);
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
    const Text text = line.text;
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
    // The toolkit reads the sentence where it lies.
    sentenceText.setRawData(text.data(), uint(text.size()));
    if (!isWholeSentence(text)) {
        report(Anomaly::Malformed, line,
               Nmea::isNmeaString(sentenceText) ? QStringLiteral("text after the checksum")
                                                : QStringLiteral("not an NMEA 0183 sentence"));
        return;
    }
    if (!Nmea::checksum(sentenceText)) {
        const int star = sentenceText.indexOf('*');
        report(Anomaly::BadChecksum, line,
               QStringLiteral("checksum %1, expected %2")
                   .arg(QString::fromLatin1(sentenceText.mid(star + 1)),
                        QString::fromLatin1(Nmea::calcChecksum(sentenceText.mid(1, star - 1)))));
        return;
    }
    const Text address = mid(text, 1, int(text.find(',')) - 1);
    const Text formatter = mid(address, 2);
    if (!talker.isEmpty() && !startsWith(address, view(talker))) {
        // Decoded all the same: the sentence is whole, only not from the talker expected.
        report(Anomaly::Unexpected, line,
               QStringLiteral("talker %1, expected %2")
                   .arg(latin1(address.substr(0, 2)), QString::fromLatin1(talker)));
    }
    float first = 0.0f;
    float second = 0.0f;
    if (formatter == "DBT") {
        if (!Nmea::getValue(sentenceText, C::Dbt, first)) {
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
        if (!Nmea::getValue(sentenceText, C::Mtw, first)) {
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
        if (!Nmea::getValues(sentenceText, C::Xdr, first, second)) {
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
            if ((!headerPitch.empty() && !sameValue(headerPitch, field(text, 2))) ||
                (!headerRoll.empty() && !sameValue(headerRoll, field(text, 6)))) {
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
    // The samples' memory stays for the next ping unless a receiver of this one holds on to it.
    QVector<int> samples;
    samples.swap(ping.samples);
    ping = Ping();
    if (samples.isDetached()) {
        samples.resize(0);
        ping.samples.swap(samples);
    }
    ping.line = line.number;
    ping.time = arrival >= 0.0 ? arrival : Ping::Unknown;
    pingArrival = arrival;
    ping.samplingFrequency = -1;
    open = true;
    hasHeader = hasSingleHeader = hasDbt = hasMtw = hasXdr = hasDebug = hasFrequencyLine = false;
    pingStart.store(line);
    headerTime = Ping::Unknown;
    debugSamples = -1;
    headerSamples.number = 0;
    headerSamples.text.clear();
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
        report(Anomaly::Truncated, pingStart.line(),
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
        const int *samples = ping.samples.constData();
        const int n = ping.samples.size();
        int top = 0;
        for (int i = 0; i < n; ++i)
            top = std::max(top, samples[i]);
        if (top > 0) {
            const int first = int(std::find(samples, samples + n, top) - samples);
            int last = first;
            while (last + 1 < n && samples[last + 1] == top)
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
        const Line at {e.line, view(e.text)};
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
    a.text = bytes(line.text);
    a.message = message;
    emit anomalyFound(a);
}
