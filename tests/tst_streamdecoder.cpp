// The decoder on the cases of tests/data/scope-decoder.txt: captures of each output mode, clean
// and damaged, and short streams, with everything it reports in order.

#include "datarows.h"
#include "streamdecoder.h"

#include <QLocale>

#include <clocale>
#include <cmath>
#include <cstring>

static QString value(double v, int decimals)
{
    return std::isnan(v) ? QStringLiteral("-") : QString::number(v, 'f', decimals);
}

static QString summary(const Ping &p)
{
    return QStringLiteral("t=%1 ch=%2 depth=%3 temp=%4 pitch=%5 roll=%6 n=%7 echo=%8")
        .arg(value(p.time, 3), p.frequency < 0 ? QStringLiteral("-") : QString::number(p.frequency),
             value(p.depth, 4), value(p.temperature, 2), value(p.pitch, 3), value(p.roll, 3),
             p.sampleCount() < 0 ? QStringLiteral("-") : QString::number(p.sampleCount()),
             value(p.echoDepth, 4));
}

// Captures joined, each line ending in CR LF, then the edits N=TEXT, N+TEXT and N-M in order.
static QByteArray stream(const QByteArray &recipe)
{
    if (recipe.startsWith("text:"))
        return unescape(recipe.mid(5));
    const int colon = recipe.indexOf(':');
    QList<QByteArray> lines;
    for (const QByteArray &name : (colon < 0 ? recipe : recipe.left(colon)).split('+')) {
        const QByteArray text = testData(name.constData());
        lines += text.isEmpty() ? QList<QByteArray> {"(cannot read " + name + ')'}
                                : QByteArray(text).replace("\r\n", "\n").chopped(1).split('\n');
    }
    const QList<QByteArray> edits =
        colon < 0 ? QList<QByteArray>() : recipe.mid(colon + 1).split(';');
    for (const QByteArray &edit : edits) {
        const QByteArray e = edit.trimmed();
        const int i = int(std::strspn(e.constData(), "0123456789")), n = e.left(i).toInt() - 1;
        if (e.mid(i, 1) == "=")
            lines[n] = unescape(e.mid(i + 1));
        else if (e.mid(i, 1) == "+")
            lines.insert(n, unescape(e.mid(i + 1)));
        else
            lines.erase(lines.begin() + n, lines.begin() + e.mid(i + 1).toInt());
    }
    return lines.join("\r\n") + "\r\n";
}

// What the decoder reports for the stream fed in pieces of chunk bytes (all at once for 0).
static QStringList decode(const QByteArray &bytes, int chunk, bool join)
{
    StreamDecoder decoder;
    decoder.setSynchronised(!join);
    QStringList events;
    QObject::connect(&decoder, &StreamDecoder::pingDecoded,
                     [&](const Ping &p) { events << summary(p); });
    QObject::connect(&decoder, &StreamDecoder::anomalyFound, [&](const Anomaly &a) {
        events << QStringLiteral("!%1 %2: %3: %4")
                      .arg(a.line)
                      .arg(Anomaly::kindName(a.kind), a.message, QString::fromLatin1(a.text));
    });
    QObject::connect(&decoder, &StreamDecoder::replyReceived, [&](const Reply &r) {
        events << QString::fromLatin1('<' + r.echo + '|' + r.prompt);
    });
    for (int i = 0; i < bytes.size(); i += (chunk > 0 ? chunk : bytes.size()))
        decoder.feed(bytes.mid(i, chunk > 0 ? chunk : -1));
    decoder.finish();
    if (decoder.pingCount() != events.filter(QRegularExpression(QStringLiteral("^t="))).size() ||
        decoder.anomalyCount() != events.filter(QRegularExpression(QStringLiteral("^!"))).size())
        events << QStringLiteral("counters disagree with the signals");
    return events;
}

class tst_StreamDecoder : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void decode_data();
    void decode();
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
    QTest::addColumn<bool>("join");
    QTest::addColumn<QStringList>("events");

    QHash<QString, QString> named; // a ping's name: the ping
    for (const QList<QByteArray> &row : readRows("scope-decoder.txt")) {
        const QString first = QString::fromLatin1(row.at(0));
        if (first.startsWith('=')) {
            named.insert(first.mid(1).section(' ', 0, 0), first.section(' ', 1));
            continue;
        }
        QStringList events;
        for (const QString &item : QString::fromLatin1(unescape(row.at(2))).split(" ; ")) {
            const QString name = item.section(' ', 0, 0);
            QString event = named.value(name, item);
            for (const QString &change : item.split(' ').mid(1)) {
                if (named.contains(name))
                    event.replace(QRegularExpression("\\b" + change.section('=', 0, 0) + "=\\S*"),
                                  change);
            }
            events << event;
        }
        const bool join = row.at(1).startsWith("join ");
        QTest::newRow(row.at(0).constData())
            << stream(row.at(1).mid(join ? 5 : 0)) << join << events;
    }
}

void tst_StreamDecoder::decode()
{
    QFETCH(QByteArray, stream);
    QFETCH(bool, join);
    QFETCH(QStringList, events);

    // Byte boundaries must not matter: whole, and in small uneven pieces.
    for (int chunk : {0, 1, 7}) {
        QStringList seen = ::decode(stream, chunk, join);
        // An anomaly given as "!LINE KIND" is compared without its message and text.
        for (int i = 0; i < qMin(seen.size(), events.size()); ++i) {
            if (events.at(i).startsWith('!') && !events.at(i).contains(':'))
                seen[i] = seen.at(i).section(':', 0, 0);
        }
        QCOMPARE(seen, events);
    }
}

QTEST_GUILESS_MAIN(tst_StreamDecoder)
#include "tst_streamdecoder.moc"
