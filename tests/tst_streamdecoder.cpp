#include "nmea.h"
#include "streamdecoder.h"

#include <QFile>
#include <QLocale>
#include <QtTest>

#include <clocale>
#include <cmath>

using Lines = QList<QByteArray>;

namespace {

QString value(double v, int decimals)
{
    return std::isnan(v) ? QStringLiteral("-") : QString::number(v, 'f', decimals);
}

QString summary(const Ping &p)
{
    return QStringLiteral("t=%1 ch=%2 depth=%3 temp=%4 pitch=%5 roll=%6 n=%7 echo=%8")
        .arg(value(p.time, 3), p.frequency < 0 ? QStringLiteral("-") : QString::number(p.frequency),
             value(p.depth, 4), value(p.temperature, 2), value(p.pitch, 3), value(p.roll, 3),
             p.sampleCount() < 0 ? QStringLiteral("-") : QString::number(p.sampleCount()),
             value(p.echoDepth, 4));
}

Lines capture(const char *name)
{
    QFile file(QStringLiteral(KELVANE_TEST_DATA_DIR "/") + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", name);
    Lines lines = file.readAll().split('\n');
    lines.removeLast(); // after the last LF
    for (QByteArray &l : lines)
        l.chop(1); // CR
    return lines;
}

QByteArray join(const Lines &lines)
{
    QByteArray bytes;
    for (const QByteArray &l : lines)
        bytes += l + "\r\n";
    return bytes;
}

// Line number (from 1) of the nth line that starts with text.
int lineOf(const Lines &lines, const QByteArray &text, int nth = 1)
{
    for (int i = 0; i < lines.size(); ++i) {
        if (lines.at(i).startsWith(text) && --nth == 0)
            return i + 1;
    }
    qFatal("no line %s", text.constData());
    return 0;
}

QString at(int line, Anomaly::Kind kind)
{
    return QStringLiteral("%1 %2").arg(line).arg(Anomaly::kindName(kind));
}

struct Result
{
    QStringList pings;
    QStringList anomalies;
    QStringList replies;
};

// Decodes the stream fed in pieces of chunk bytes (all at once for 0).
Result decode(const QByteArray &stream, int chunk, bool synchronised = true)
{
    StreamDecoder decoder;
    decoder.setSynchronised(synchronised);
    Result r;
    QObject::connect(&decoder, &StreamDecoder::pingDecoded,
                     [&r](const Ping &p) { r.pings << summary(p); });
    QObject::connect(&decoder, &StreamDecoder::anomalyFound,
                     [&r](const Anomaly &a) { r.anomalies << at(a.line, a.kind); });
    QObject::connect(&decoder, &StreamDecoder::replyReceived, [&r](const Reply &a) {
        r.replies << QString::fromLatin1(a.echo + '|' + a.prompt);
    });
    if (chunk <= 0) {
        decoder.feed(stream);
    } else {
        for (int i = 0; i < stream.size(); i += chunk)
            decoder.feed(stream.mid(i, chunk));
    }
    decoder.finish();
    if (decoder.pingCount() != r.pings.size() || decoder.anomalyCount() != r.anomalies.size())
        qFatal("counters disagree with the signals");
    return r;
}

const QString single1 =
    QStringLiteral("t=0.000 ch=450000 depth=5.0000 temp=20.50 pitch=-12.340 roll=3.210 n=1333 "
                   "echo=5.0025");
const QString single2 =
    QStringLiteral("t=1.000 ch=450000 depth=5.1000 temp=19.87 pitch=10.020 roll=-45.670 n=1333 "
                   "echo=5.1000");
const QString single3 =
    QStringLiteral("t=2.000 ch=450000 depth=5.2000 temp=21.06 pitch=0.500 roll=0.040 n=1333 "
                   "echo=5.1975");

} // namespace

class tst_StreamDecoder : public QObject
{
    Q_OBJECT

private slots:
    void decode_data();
    void decode();
    void injectedCorruptions();
    void anomalyText();
};

void tst_StreamDecoder::decode_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<bool>("synchronised");
    QTest::addColumn<QStringList>("pings");
    QTest::addColumn<QStringList>("anomalies");
    QTest::addColumn<QStringList>("replies");

    using K = Anomaly;
    const Lines single = capture("scope-single-frames.txt");
    const Lines dual = capture("scope-dual-frames.txt");
    const QByteArray nmea = Nmea::dbt(5.0f, QStringLiteral("SM")) + "\r\n" +
        Nmea::mtw(20.5f, QStringLiteral("SM")) + "\r\n" + Nmea::yxxdr(-12.5f, 3.0f) + "\r\n";
    const QString nmeaPing =
        QStringLiteral("t=- ch=- depth=5.0000 temp=20.50 pitch=-12.500 roll=3.000 n=- echo=-");
    const QStringList singlePings = {single1, single2, single3};
    const QStringList dualPings = {
        "t=0.000 ch=200000 depth=5.0000 temp=20.50 pitch=-12.340 roll=3.210 n=1333 echo=5.0025",
        "t=0.500 ch=50000 depth=5.1000 temp=19.87 pitch=10.020 roll=-45.670 n=2667 echo=5.1000",
        "t=1.000 ch=200000 depth=5.2000 temp=21.06 pitch=0.500 roll=0.040 n=1333 echo=5.1975",
        "t=1.500 ch=50000 depth=5.3000 temp=20.00 pitch=-1.000 roll=1.000 n=2667 echo=5.3025"};
    const QStringList dualReply = {"#rangeh 10000 #rangel 20000 #output 2 #go|>ok"};
    // Rows on a synchronised stream without replies, and on the single-frame capture changed.
    auto row = [](const char *name, const QByteArray &stream, const QStringList &pings,
                  const QStringList &anomalies = {}, const QStringList &replies = {}) {
        QTest::newRow(name) << stream << true << pings << anomalies << replies;
    };
    auto singleRow = [&](const char *name, const Lines &l, const QStringList &anomalies,
                         const QStringList &pings) {
        row(name, join(l), pings, anomalies, {"#range 10000 #output 2 #go|>ok."});
    };

    row("nmea", nmea + nmea, {nmeaPing, nmeaPing});
    row("nmea dual", "#F 50000 Hz*62\r\n" + nmea,
        {QString(nmeaPing).replace(" ch=- ", " ch=50000 ")});
    singleRow("single frames", single, {}, singlePings);
    row("dual frames", join(dual), dualPings, {}, dualReply);
    row("replies", "#range 5000\r\n>ok.\r\n\r\nInvalid command >\r\n\r\n>\r\n#go\r\n>ok\r\n", {},
        {}, {"#range 5000|>ok.", "|Invalid command >", "|>", "#go|>ok"});

    // The sentence's checksum digits follow its body; a changed digit in the body is caught.
    QByteArray badDbt = nmea;
    badDbt.replace("5.000", "5.900");
    row("dbt bad checksum", badDbt + nmea,
        {QString(nmeaPing).replace("depth=5.0000", "depth=-"), nmeaPing}, {at(1, K::BadChecksum)});
    row("mtw unreadable", "$SMMTW,2O.5,C*" + Nmea::calcChecksum("SMMTW,2O.5,C") + "\r\n", {},
        {at(1, K::Malformed)});
    row("text after checksum", "$SMMTW,20.50,C*3Axx\r\n", {}, {at(1, K::Malformed)});
    row("foreign sentence",
        "$GPZDA,120000.00,05,12,2026,00,00*" +
            Nmea::calcChecksum("GPZDA,120000.00,05,12,2026,00,00") + "\r\n",
        {}, {at(1, K::Unexpected)});
    row("nmea ping without temperature",
        Nmea::dbt(5.0f, QStringLiteral("SM")) + "\r\n" + Nmea::yxxdr(-12.5f, 3.0f) + "\r\n",
        {QString(nmeaPing).replace("temp=20.50", "temp=-")}, {at(1, K::Truncated)});
    row("lone frequency line", "#F 200000 Hz*55\r\n", {}, {at(1, K::Truncated)});
    row("stream ends without line ending", nmea + "$SMDBT,16.4", {nmeaPing}, {at(4, K::Truncated)});

    Lines l = single;
    const int altitude = lineOf(l, "#Altitude,m");
    l[altitude - 1] = "#Altitude,m   5.0?00";
    singleRow("header value broken", l, {at(altitude, K::Malformed)},
              {QString(single1).replace("depth=5.0000", "depth=-"), single2, single3});

    l = single;
    l.removeAt(lineOf(l, "##DataStart", 2) + 100);
    singleRow("sample lost", l, {at(lineOf(l, "#NSamples", 2), K::SampleMismatch)},
              {single1,
               QString(single2).replace("n=1333", "n=1332").replace("echo=5.1000", "echo=5.0925"),
               single3});

    l = single;
    const int dataStart = lineOf(l, "##DataStart");
    l[dataStart + 10 - 1] = "1x23";
    l[dataStart + 20 - 1] = "2000";
    singleRow("samples broken", l,
              {at(dataStart + 10, K::Malformed), at(dataStart + 20, K::Malformed)}, singlePings);

    // Ping 1 stops after ten header lines; the next header interrupts it.
    l = single;
    const int firstHeader = lineOf(l, "#DeviceID");
    const int secondHeader = lineOf(l, "#DeviceID", 2);
    l.erase(l.begin() + firstHeader + 10 - 1, l.begin() + secondHeader - 1);
    singleRow("header cut short", l, {at(firstHeader + 10, K::Truncated)},
              {"t=0.000 ch=450000 depth=5.0000 temp=20.50 pitch=- roll=- n=1333 echo=-", single2,
               single3});

    l = single;
    const int dataEnd = lineOf(l, "##DataEnd");
    l.removeAt(dataEnd - 1);
    singleRow("data end lost", l, {at(dataEnd + 1, K::Truncated)}, singlePings);

    l = single;
    l.insert(dataEnd + 1, "hello");
    singleRow("unexpected line", l, {at(dataEnd + 2, K::Unexpected)}, singlePings);

    l = single;
    l[firstHeader - 1] = "#DeviceID 261 Type USB";
    singleRow(
        "header start broken", l, {at(firstHeader, K::Malformed)},
        {"t=- ch=- depth=- temp=- pitch=-12.300 roll=3.200 n=1333 echo=5.0025", single2, single3});

    l = single;
    const int xdr = lineOf(l, "$YXXDR");
    l[xdr - 1] = Nmea::yxxdr(50.0f, 3.21f);
    singleRow("attitude disagrees", l, {at(xdr, K::Malformed)}, singlePings);

    l = single;
    l.insert(dataEnd, QByteArray(9000, 'x'));
    singleRow("overlong line", l, {at(dataEnd + 1, K::Malformed)}, singlePings);

    singleRow("stream ends in a header", single.mid(0, secondHeader + 5),
              {at(secondHeader + 5, K::Truncated)},
              {single1, "t=1.000 ch=- depth=5.1000 temp=19.87 pitch=- roll=- n=1333 echo=-"});

    l = dual;
    const int frequency = lineOf(l, "#F 200000");
    l[frequency - 1] = "#F 200000 Hz*56";
    const int tx = lineOf(l, "#Tx_Frequency,Hz", 2);
    l[tx - 1] = "#Tx_Frequency,Hz 200000";
    row("dual frames damaged", join(l), dualPings,
        {at(frequency, K::BadChecksum), at(tx, K::Malformed)}, dualReply);

    // Joining a running device: the tail of a frame, then a clean ping.
    QTest::newRow("joined mid-stream")
        << join(single.mid(lineOf(single, "#Roll,deg") - 1)) << false
        << QStringList {single2, single3} << QStringList() << QStringList();
}

void tst_StreamDecoder::decode()
{
    QFETCH(QByteArray, stream);
    QFETCH(bool, synchronised);
    QFETCH(QStringList, pings);
    QFETCH(QStringList, anomalies);
    QFETCH(QStringList, replies);

    // Byte boundaries must not matter: whole, and in small uneven pieces.
    for (int chunk : {0, 1, 7}) {
        const Result r = ::decode(stream, chunk, synchronised);
        QCOMPARE(r.pings, pings);
        QCOMPARE(r.anomalies, anomalies);
        QCOMPARE(r.replies, replies);
    }
}

// A capture of all three modes with corruptions injected: each is reported on its own line and
// nothing else is, also when the numbers are read under a locale with a decimal comma.
void tst_StreamDecoder::injectedCorruptions()
{
    const Lines single = capture("scope-single-frames.txt");
    const Lines dual = capture("scope-dual-frames.txt");
    const Lines nmeaSingle = capture("scope-nmea-single.txt");
    const Lines nmeaDual = capture("scope-nmea-dual.txt");
    Lines l = single + dual + nmeaSingle + nmeaDual;
    QMap<int, QString> expected; // by line
    auto inject = [&](int line, const QByteArray &text, Anomaly::Kind kind) {
        l[line - 1] = text;
        expected.insert(line, at(line, kind));
    };
    const int nmeaStart = single.size() + dual.size();

    inject(lineOf(l, "#Temperature,?C", 2), "#Temperature,?C 19,87", Anomaly::Malformed);
    inject(lineOf(l, "#DEBUG_NSamples", 3), "#DEBUG_NSamples 1334", Anomaly::SampleMismatch);
    inject(lineOf(l, "#F 50000", 1), "#F 50000 Hz*26", Anomaly::BadChecksum);
    inject(lineOf(l, "##DataStart", 5) + 700, "10Z3", Anomaly::Malformed);
    inject(lineOf(l, "#Ping", 4), "#Pong 1", Anomaly::Malformed);
    inject(nmeaStart + 2, "$SMMTW,19.50,C*3A", Anomaly::BadChecksum);
    inject(nmeaStart + 4, "garbage", Anomaly::Unexpected);
    inject(l.size() - 1, "$SMMTW,20.00,C*", Anomaly::Malformed);

    const char *const previous = std::setlocale(LC_NUMERIC, nullptr);
    const QByteArray saved = previous ? QByteArray(previous) : QByteArray("C");
    std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const Result r = ::decode(join(l), 4096);
    QLocale::setDefault(QLocale::c());
    std::setlocale(LC_NUMERIC, saved.constData());

    QCOMPARE(r.anomalies, expected.values());
    QCOMPARE(r.pings.size(), 3 + 4 + 3 + 4);
    QVERIFY(r.pings.at(1).contains("temp=- "));
    QVERIFY(r.pings.at(1).contains("depth=5.1000"));
}

// The message and the offending line as a reader sees them.
void tst_StreamDecoder::anomalyText()
{
    StreamDecoder decoder;
    QStringList seen;
    connect(&decoder, &StreamDecoder::anomalyFound, [&seen](const Anomaly &a) {
        seen
            << QStringLiteral("%1: %2: %3").arg(a.line).arg(a.message, QString::fromLatin1(a.text));
    });
    decoder.feed("$SMMTW,20.50,C*3B\r\n#NSamples 5\r\n");
    decoder.finish();
    QCOMPARE(seen,
             QStringList({"1: checksum 3B, expected 3A: $SMMTW,20.50,C*3B",
                          "2: frame line outside a frame; skipping to the next frame: "
                          "#NSamples 5"}));
}

QTEST_GUILESS_MAIN(tst_StreamDecoder)
#include "tst_streamdecoder.moc"
