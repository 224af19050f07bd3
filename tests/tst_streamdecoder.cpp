// The decoder on the golden captures of each output mode (tests/data/scope-*.txt), clean and
// damaged line by line, on short streams, and on pings stamped with arrival times: everything it
// reports, in order.

#include "datarows.h"
#include "streamdecoder.h"

#include <QLocale>

#include <clocale>
#include <cmath>

using Lines = QList<QByteArray>;
using Edits = QList<QPair<int, QByteArray>>;

// A golden capture as its lines, without line endings.
static Lines capture(const char *name)
{
    const QByteArray text = testData(name);
    if (text.isEmpty())
        qFatal("cannot read %s", name);
    return QByteArray(text).replace("\r\n", "\n").chopped(1).split('\n');
}

static Lines captures(std::initializer_list<const char *> names)
{
    Lines lines;
    for (const char *name : names)
        lines += capture(name);
    return lines;
}

// Lines (numbered from 1) replaced by other text, in the order given.
static Lines replaced(Lines lines, const Edits &edits)
{
    for (const auto &edit : edits)
        lines[edit.first - 1] = edit.second;
    return lines;
}

// Text inserted so that it becomes line n.
static Lines inserted(Lines lines, int n, const QByteArray &text)
{
    lines.insert(n - 1, text);
    return lines;
}

// Lines first to last (from 1) left out.
static Lines removed(Lines lines, int first, int last)
{
    lines.erase(lines.begin() + first - 1, lines.begin() + last);
    return lines;
}

static QByteArray crlf(const Lines &lines)
{
    return lines.join("\r\n") + "\r\n";
}

static QString value(double v, int decimals)
{
    return std::isnan(v) ? QStringLiteral("-") : QString::number(v, 'f', decimals);
}

// The decoder's signals as text: a ping's values, "line N: KIND: MESSAGE: TEXT" for an anomaly,
// "reply: ECHO | PROMPT" for a reply.
class Events : public QObject
{
public:
    explicit Events(StreamDecoder &decoder)
    {
        connect(&decoder, &StreamDecoder::pingDecoded, this, [this](const Ping &p) {
            seen << QStringLiteral("t=%1 ch=%2 depth=%3 temp=%4 pitch=%5 roll=%6 n=%7 echo=%8")
                        .arg(value(p.time, 3),
                             p.frequency < 0 ? QStringLiteral("-") : QString::number(p.frequency),
                             value(p.depth, 4), value(p.temperature, 2), value(p.pitch, 3),
                             value(p.roll, 3),
                             p.sampleCount() < 0 ? QStringLiteral("-")
                                                 : QString::number(p.sampleCount()),
                             value(p.echoDepth, 4));
        });
        connect(&decoder, &StreamDecoder::anomalyFound, this, [this](const Anomaly &a) {
            seen << QStringLiteral("line %1: %2: %3: %4")
                        .arg(a.line)
                        .arg(Anomaly::kindName(a.kind), a.message, QString::fromLatin1(a.text));
        });
        connect(&decoder, &StreamDecoder::replyReceived, this, [this](const Reply &r) {
            seen << QString::fromLatin1("reply: " + r.echo + " | " + r.prompt);
        });
    }
    QStringList seen;
};

// The pings of the captures, as decoded; a variant of one is written out where a row expects it.
static const QString s1 =
    "t=0.000 ch=450000 depth=5.0000 temp=20.50 pitch=-12.340 roll=3.210 n=1333 echo=5.0025";
static const QString s2 =
    "t=1.000 ch=450000 depth=5.1000 temp=19.87 pitch=10.020 roll=-45.670 n=1333 echo=5.1000";
static const QString s3 =
    "t=2.000 ch=450000 depth=5.2000 temp=21.06 pitch=0.500 roll=0.040 n=1333 echo=5.1975";
static const QString d1 =
    "t=0.000 ch=200000 depth=5.0000 temp=20.50 pitch=-12.340 roll=3.210 n=1333 echo=5.0025";
static const QString d2 =
    "t=0.500 ch=50000 depth=5.1000 temp=19.87 pitch=10.020 roll=-45.670 n=2667 echo=5.1000";
static const QString d3 =
    "t=1.000 ch=200000 depth=5.2000 temp=21.06 pitch=0.500 roll=0.040 n=1333 echo=5.1975";
static const QString d4 =
    "t=1.500 ch=50000 depth=5.3000 temp=20.00 pitch=-1.000 roll=1.000 n=2667 echo=5.3025";
static const QString n1 = "t=- ch=- depth=5.0000 temp=20.50 pitch=-12.300 roll=3.200 n=- echo=-";
static const QString n2 = "t=- ch=- depth=5.1000 temp=19.87 pitch=10.000 roll=-45.700 n=- echo=-";
static const QString n3 = "t=- ch=- depth=5.2000 temp=21.06 pitch=0.500 roll=0.000 n=- echo=-";
static const QString dn1 =
    "t=- ch=200000 depth=5.0000 temp=20.50 pitch=-12.300 roll=3.200 n=- echo=-";
static const QString dn2 =
    "t=- ch=50000 depth=4.6000 temp=19.87 pitch=10.000 roll=-45.700 n=- echo=-";
static const QString dn3 =
    "t=- ch=200000 depth=5.2000 temp=21.06 pitch=0.500 roll=0.000 n=- echo=-";
static const QString dn4 =
    "t=- ch=50000 depth=4.8000 temp=20.00 pitch=-1.000 roll=1.000 n=- echo=-";
static const QString r1 = "reply: #range 10000 #output 2 #go | >ok.";
static const QString r2 = "reply: #rangeh 10000 #rangel 20000 #output 2 #go | >ok";

// An expected anomaly of which only the line and the kind are compared.
static QString kindAt(int line, const char *kind)
{
    return QStringLiteral("line %1: %2").arg(line).arg(QLatin1String(kind));
}

static bool isKindOnly(const QString &event)
{
    return event.startsWith(QLatin1String("line ")) && event.count(QLatin1String(": ")) == 1;
}

class tst_StreamDecoder : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void decode_data();
    void decode();
    void readerCutKeepsWholePings();
    void timing_data();
    void timing();
};

// Numbers are written and read with "." whatever the locale says.
void tst_StreamDecoder::initTestCase()
{
    std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
}

void tst_StreamDecoder::decode_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<bool>("join"); // joins a running stream instead of reading it from its start
    QTest::addColumn<QByteArray>("talker"); // required of every sentence; empty: any
    QTest::addColumn<QStringList>("events");

    const Lines nmea = capture("scope-nmea-single.txt");
    const Lines single = capture("scope-single-frames.txt");
    const Lines dual = capture("scope-dual-frames.txt");
    const QByteArray any;
    auto row = [](const char *name, const Lines &lines, const QStringList &events,
                  const QByteArray &talker = QByteArray()) {
        QTest::newRow(name) << crlf(lines) << false << talker << events;
    };
    auto text = [](const char *name, const QByteArray &bytes, const QStringList &events) {
        QTest::newRow(name) << bytes << false << QByteArray() << events;
    };

    row("nmea", nmea, {n1, n2, n3});
    row("nmea dual", capture("scope-nmea-dual.txt"), {dn1, dn2, dn3, dn4});
    row("single frames", single, {r1, s1, s2, s3});
    row("dual frames", dual, {r2, d1, d2, d3, d4});
    text("replies", "#range 5000\r\n>ok.\r\n\r\nInvalid command >\r\n\r\n>\r\n#go\r\n>ok\r\n",
         {"reply: #range 5000 | >ok.", "reply:  | Invalid command >", "reply:  | >",
          "reply: #go | >ok"});

    // Talkers: the instrument's sentences under any talker, unless one is required.
    row("another talker", capture("scope-nmea-talker-sd.txt"), {n1, n2, n3});
    row("not the required talker", removed(nmea, 4, 9),
        {"line 1: unexpected line: talker SM, expected SD: $SMDBT,16.404,f,5.000,M,,*55",
         "line 2: unexpected line: talker SM, expected SD: $SMMTW,20.50,C*3A",
         "line 3: unexpected line: talker YX, expected SD: "
         "$YXXDR,A,-12.3,D,PTCH,A,3.2,D,ROLL*41",
         n1},
        "SD");

    // The checksum follows the sentence's body: a changed digit in the body is caught.
    row("dbt bad checksum", replaced(nmea, {{1, "$SMDBT,16.404,f,5.900,M,,*55"}}),
        {"line 1: bad checksum: checksum 55, expected 5C: $SMDBT,16.404,f,5.900,M,,*55",
         "t=- ch=- depth=- temp=20.50 pitch=-12.300 roll=3.200 n=- echo=-", n2, n3});
    text("mtw unreadable", "$SMMTW,2O.5,C*75\r\n",
         {"line 1: malformed: temperature sentence without a temperature: $SMMTW,2O.5,C*75"});
    text("text after checksum", "$SMMTW,20.50,C*3Axx\r\n",
         {"line 1: malformed: text after the checksum: $SMMTW,20.50,C*3Axx"});
    text("non-ASCII byte in a field", "$SMMTW,2\xe9.50,C*3A\r\n",
         {QString::fromLatin1("line 1: malformed: non-ASCII byte 0xe9 in the sentence: "
                              "$SMMTW,2\xe9.50,C*3A")});
    text("foreign sentence", "$GPZDA,120000.00,05,12,2026,00,00*65\r\n",
         {"line 1: unexpected line: sentence the instrument does not send: "
          "$GPZDA,120000.00,05,12,2026,00,00*65"});
    row("nmea ping without temperature", removed(nmea, 2, 2),
        {"line 1: truncated: ping without temperature sentence: $SMDBT,16.404,f,5.000,M,,*55",
         "t=- ch=- depth=5.0000 temp=- pitch=-12.300 roll=3.200 n=- echo=-", n2, n3});
    text("lone frequency line", "#F 200000 Hz*55\r\n",
         {"line 1: truncated: ping without header, depth sentence: #F 200000 Hz*55"});
    text("stream ends without line ending",
         "$SMDBT,16.404,f,5.000,M,,*55\r\n$SMMTW,20.50,C*3A\r\n"
         "$YXXDR,A,-12.3,D,PTCH,A,3.2,D,ROLL*41\r\n$SMDBT,16.4",
         {n1, "line 4: truncated: line without line ending at the end of the stream: $SMDBT,16.4"});
    text("stray frame line", "$SMMTW,20.50,C*3B\r\n#NSamples 5\r\n",
         {"line 1: bad checksum: checksum 3B, expected 3A: $SMMTW,20.50,C*3B",
          "line 2: unexpected line: frame line outside a frame; skipping to the next frame: "
          "#NSamples 5",
          "t=- ch=- depth=- temp=- pitch=- roll=- n=- echo=-"});

    // A line twice: the line's doing, left out; a repeated sample cannot be told from the
    // instrument's own runs of equal samples, and shows in the count.
    row("repeated sentence", inserted(nmea, 3, "$SMMTW,20.50,C*3A"),
        {"line 3: repeated line: the line before, again: $SMMTW,20.50,C*3A", n1, n2, n3});
    row("repeated sample", inserted(single, 40, "0"),
        {r1,
         "line 8: sample count mismatch: #NSamples 1333, but the data block has 1334 samples: "
         "#NSamples 1333",
         "t=0.000 ch=450000 depth=5.0000 temp=20.50 pitch=-12.340 roll=3.210 n=1334 echo=5.0100",
         s2, s3});

    row("header value broken", replaced(single, {{6, "#Altitude,m   5.0?00"}}),
        {r1,
         "line 6: malformed: single-frequency header: bad value for #Altitude,m: "
         "#Altitude,m   5.0?00",
         "t=0.000 ch=450000 depth=- temp=20.50 pitch=-12.340 roll=3.210 n=1333 echo=5.0025", s2,
         s3});
    row("sample count negative", replaced(single, {{8, "#NSamples -1"}}),
        {r1,
         "line 8: malformed: single-frequency header: #NSamples -1: a sample count must be 0 "
         "or more: #NSamples -1",
         "t=0.000 ch=450000 depth=5.0000 temp=20.50 pitch=-12.340 roll=3.210 n=1333 echo=5.0025",
         s2, s3});
    row("sample lost", removed(single, 1510, 1510),
        {r1, s1,
         "line 1379: sample count mismatch: #NSamples 1333, but the data block has 1332 samples: "
         "#NSamples 1333",
         "t=1.000 ch=450000 depth=5.1000 temp=19.87 pitch=10.020 roll=-45.670 n=1332 "
         "echo=5.0925",
         s3});
    row("samples broken", replaced(single, {{48, "1x23"}, {58, "2000"}}),
        {r1, "line 48: malformed: sample is not a number: 1x23",
         "line 58: malformed: sample outside 0 to 1023: 2000", s1, s2, s3});
    // The first ping stops after ten header lines; the next header interrupts it.
    row("header cut short", removed(single, 13, 1373),
        {r1,
         "line 13: truncated: single-frequency header cut short after 10 of 23 lines: "
         "#DeviceID 261 Type USB / RS-232, 422, 485",
         "t=0.000 ch=450000 depth=5.0000 temp=20.50 pitch=- roll=- n=1333 echo=-", s2, s3});
    row("data end lost", removed(single, 1372, 1372),
        {r1,
         "line 1373: truncated: data block cut short after 1333 samples, without \"##DataEnd\": "
         "#DeviceID 261 Type USB / RS-232, 422, 485",
         s1, s2, s3});
    row("unexpected line", inserted(single, 1374, "hello"),
        {r1, s1, "line 1374: unexpected line: not a line the instrument writes: hello", s2, s3});
    row("header start broken", replaced(single, {{3, "#DeviceID 261 Type USB"}}),
        {r1, "line 3: malformed: unrecognised line where a frame starts: #DeviceID 261 Type USB",
         "t=- ch=- depth=- temp=- pitch=-12.300 roll=3.200 n=1333 echo=5.0025", s2, s3});
    row("attitude disagrees", replaced(single, {{26, "$YXXDR,A,50.0,D,PTCH,A,3.2,D,ROLL*69"}}),
        {r1,
         "line 26: malformed: pitch and roll differ from the header's: "
         "$YXXDR,A,50.0,D,PTCH,A,3.2,D,ROLL*69",
         s1, s2, s3});
    // The header's -71.650 was written from -71.6499...: the sentence's -71.6 is the same value.
    row("attitude half-way",
        replaced(single,
                 {{23, "#Pitch,deg -71.650"}, {26, "$YXXDR,A,-71.6,D,PTCH,A,3.2,D,ROLL*41"}}),
        {r1,
         "t=0.000 ch=450000 depth=5.0000 temp=20.50 pitch=-71.650 roll=3.210 n=1333 echo=5.0025",
         s2, s3});
    row("overlong line", inserted(single, 1373, QByteArray(9000, 'x')),
        {r1, s1, "line 1373: malformed: line longer than 8192 bytes: " + QString(80, 'x'), s2, s3});
    // Cut inside the echo: the cut is reported on the block's last sample.
    row("stream ends in a data block", single.mid(0, 705),
        {r1,
         "line 705: truncated: data block cut short after 667 samples, without \"##DataEnd\": "
         "1023",
         "t=0.000 ch=450000 depth=5.0000 temp=20.50 pitch=-12.340 roll=3.210 n=667 echo=4.9800"});
    row("stream ends in a header", removed(single, 1380, 4115),
        {r1, s1, kindAt(1379, "truncated"),
         "t=1.000 ch=- depth=5.1000 temp=19.87 pitch=- roll=- n=1333 echo=-"});
    row("dual frames damaged",
        replaced(dual, {{3, "#F 200000 Hz*56"}, {1377, "#Tx_Frequency,Hz 200000"}}),
        {r2, "line 3: bad checksum: checksum 56, expected 55: #F 200000 Hz*56", d1,
         "line 1377: malformed: transmit frequency differs from the frequency line (50000 Hz): "
         "#Tx_Frequency,Hz 200000",
         d2, d3, d4});

    // Joining a running device: the tail of a frame, then clean pings.
    QTest::newRow("joined mid-stream")
        << crlf(removed(single, 1, 23)) << true << any << QStringList {s2, s3};

    // All four modes in one stream with damage in each: every damage is reported on its own
    // line and nothing else is.
    row("injected",
        replaced(captures({"scope-single-frames.txt", "scope-dual-frames.txt",
                           "scope-nmea-single.txt", "scope-nmea-dual.txt"}),
                 {{1378, "#Temperature,?C 19,87"},
                  {2778, "#DEBUG_NSamples 1334"},
                  {5481, "#F 50000 Hz*26"},
                  {6208, "10Z3"},
                  {4121, "#Pong 1"},
                  {12239, "$SMMTW,19.50,C*3A"},
                  {12241, "garbage"},
                  {12261, "$SMMTW,20.00,C*"}}),
        {r1,
         s1,
         "line 1378: malformed: single-frequency header: bad value for #Temperature,?C: "
         "#Temperature,?C 19,87",
         "t=1.000 ch=450000 depth=5.1000 temp=- pitch=10.020 roll=-45.670 n=1333 echo=5.1000",
         "line 2778: sample count mismatch: #DEBUG_NSamples 1334, but the data block has 1333 "
         "samples: #DEBUG_NSamples 1334",
         s3,
         r2,
         "line 4121: malformed: dual-frequency header: expected \"#Ping <number>\": #Pong 1",
         d1,
         kindAt(5481, "bad checksum"),
         kindAt(6208, "malformed"),
         d2,
         d3,
         d4,
         kindAt(12239, "bad checksum"),
         "t=- ch=- depth=5.0000 temp=- pitch=-12.300 roll=3.200 n=- echo=-",
         kindAt(12241, "unexpected line"),
         "t=- ch=- depth=- temp=19.87 pitch=10.000 roll=-45.700 n=- echo=-",
         n3,
         dn1,
         dn2,
         dn3,
         "line 12261: malformed: not an NMEA 0183 sentence: $SMMTW,20.00,C*",
         "t=- ch=50000 depth=4.8000 temp=- pitch=-1.000 roll=1.000 n=- echo=-"});
}

void tst_StreamDecoder::decode()
{
    QFETCH(QByteArray, stream);
    QFETCH(bool, join);
    QFETCH(QByteArray, talker);
    QFETCH(QStringList, events);

    // Byte boundaries must not matter: whole, and in small uneven pieces.
    for (int chunk : {0, 1, 7}) {
        StreamDecoder decoder;
        decoder.setSynchronised(!join);
        decoder.setTalker(talker);
        Events seen(decoder);
        for (int i = 0; i < stream.size(); i += (chunk > 0 ? chunk : stream.size()))
            decoder.feed(stream.mid(i, chunk > 0 ? chunk : -1));
        decoder.finish();
        for (int i = 0; i < qMin(seen.seen.size(), events.size()); ++i) {
            if (isKindOnly(events.at(i)))
                seen.seen[i] = seen.seen.at(i).section(QLatin1String(": "), 0, 1);
        }
        QCOMPARE(seen.seen, events);
        QCOMPARE(decoder.pingCount(), int(seen.seen.filter(QRegularExpression("^t=")).size()));
        QCOMPARE(decoder.anomalyCount(),
                 int(seen.seen.filter(QRegularExpression("^line ")).size()));
    }
}

// A stream cut by its reader (a signal, the ping count) in the middle of a ping: the pings before
// come out whole, the unfinished one not at all, and nothing is an anomaly.
void tst_StreamDecoder::readerCutKeepsWholePings()
{
    for (const char *name : {"scope-single-frames.txt", "scope-nmea-single.txt"}) {
        const Lines lines = capture(name);
        StreamDecoder decoder;
        Events seen(decoder);
        decoder.feed(crlf(lines.mid(0, lines.size() - 2)));
        decoder.finish(false);
        QCOMPARE(seen.seen.filter(QRegularExpression("^t=")).size(), 2);
        QCOMPARE(seen.seen.filter(QRegularExpression("^line ")), QStringList());
    }
}

void tst_StreamDecoder::timing_data()
{
    QTest::addColumn<bool>("dual"); // NMEA pings of the dual-frequency instrument
    QTest::addColumn<QVector<double>>("arrivals"); // seconds; -1: the instrument's reply
    QTest::addColumn<QStringList>("anomalies");

    // A ping is three lines: the nth starts on line 3n - 2 (4n - 3 in dual mode).
    const QByteArray dbt = "$SMDBT,16.404,f,5.000,M,,*55";
    QTest::newRow("steady") << false << QVector<double> {0, 1, 2, 3, 4, 5} << QStringList();
    QTest::newRow("late, within three quarters of a period")
        << false << QVector<double> {0, 1, 2, 3, 4.7, 5.7} << QStringList();
    QTest::newRow("a ping lost")
        << false << QVector<double> {0, 1, 2, 3, 5, 6}
        << QStringList {
               "line 13: gap: ping 2.000 s after the one before, at a period of 1.000 s: " + dbt};
    QTest::newRow("nothing judged before three intervals")
        << false << QVector<double> {0, 1, 5, 6, 7} << QStringList();
    // Held back by a stall: the first late ping and the two after it arrive together.
    QTest::newRow("a stall let go")
        << false << QVector<double> {0, 1, 2, 3, 6.1, 6.1, 6.12, 7.1}
        << QStringList {
               "line 13: gap: ping 3.100 s after the one before, at a period of 1.000 s: " + dbt,
               "line 13: burst: 3 pings within 0.020 s after a gap, at a period of "
               "1.000 s: " +
                   dbt};
    QTest::newRow("a burst at the end of the stream")
        << false << QVector<double> {0, 1, 2, 3, 6, 6}
        << QStringList {
               "line 13: gap: ping 3.000 s after the one before, at a period of 1.000 s: " + dbt,
               "line 13: burst: 2 pings within 0.000 s after a gap, at a period of "
               "1.000 s: " +
                   dbt};
    QTest::newRow("pings together without a gap")
        << false << QVector<double> {0, 1, 2, 3, 4, 4, 4, 5} << QStringList();
    // Faster than a burst can be told from the instrument's pace.
    QTest::newRow("a gap among fast pings")
        << false << QVector<double> {0, 0.01, 0.02, 0.03, 0.6, 0.6, 0.6}
        << QStringList {
               "line 13: gap: ping 0.570 s after the one before, at a period of 0.010 s: " + dbt};
    QTest::newRow("a reply restarts the period")
        << false << QVector<double> {0, 1, 2, 3, -1, 13, 13.1, 13.2, 13.3} << QStringList();
    QTest::newRow("the dual instrument's own pause")
        << true << QVector<double> {0, 1, 2, 3, 19, 20} << QStringList();
    QTest::newRow("a gap longer than that pause")
        << true << QVector<double> {0, 1, 2, 3, 25, 26}
        << QStringList {"line 17: gap: ping 22.000 s after the one before, at a period of 1.000 s: "
                        "#F 200000 Hz*55"};
}

void tst_StreamDecoder::timing()
{
    QFETCH(bool, dual);
    QFETCH(QVector<double>, arrivals);
    QFETCH(QStringList, anomalies);

    const Lines ping =
        capture(dual ? "scope-nmea-dual.txt" : "scope-nmea-single.txt").mid(0, dual ? 4 : 3);
    StreamDecoder decoder;
    Events seen(decoder);
    for (double t : arrivals)
        decoder.feed(t < 0 ? QByteArray("#go\r\n>ok\r\n") : crlf(ping), t);
    decoder.finish(false);
    QCOMPARE(seen.seen.filter(QRegularExpression("^line ")), anomalies);
}

QTEST_GUILESS_MAIN(tst_StreamDecoder)
#include "tst_streamdecoder.moc"
