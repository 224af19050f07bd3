// kelvane-scope run as a user runs it: on the cases of tests/data/scope-runs.txt, against the
// simulator, loaded by kelvane-host on a pty pair of its own, in each of its modes, and at the
// ends of runs that must not pass silently; its manual page against its --help, and the README's
// options against the programs'.

#include "buildprogram.h"
#include "datarows.h"
#include "echogram.h"
#include "linerecord.h"
#include "scope.h"

#include <QImage>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QWebSocket>

#include <arpa/inet.h>
#include <cmath>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// Generous: under emulation the programs start and run many times slower.
static const int Deadline = 60000;

class tst_KelvaneScope : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void runs_data();
    void runs();
    void longCapture_data();
    void longCapture();
    void faultedCapture();
    void simulator_data();
    void simulator();
    void endings_data();
    void endings();
    void stalledBrowser();
    void manualFollowsHelp();
    void readmeOptions();

private:
    bool startHost(BuildProgram &host, const QByteArray &frequencyMode, bool sine,
                   const QStringList &extra);

    QScopedPointer<QTemporaryDir> dir;
    QString path(const char *name) const { return dir->filePath(QLatin1String(name)); }
};

// kelvane-host with the simulator on a pty pair of its own (DIR/pty/client), unpaced, with a
// 2 to 8 m sweep, up once it has printed its client end.
bool tst_KelvaneScope::startHost(BuildProgram &host, const QByteArray &frequencyMode, bool sine,
                                 const QStringList &extra)
{
    QFile ini(path("host.ini"));
    if (!ini.open(QIODevice::WriteOnly) ||
        ini.write("[ECHOSOUNDER]\nMIN_DEPTH_M=2\nMAX_DEPTH_M=8\n[KELVANE_SIMULATOR]\n"
                  "FREQUENCY_MODE=" +
                  frequencyMode + "\nSIN_MODE=" + (sine ? "true" : "false") + "\n") <= 0)
        return false;
    ini.close();
    host.start(QStringLiteral(KELVANE_HOST),
               QStringList {"--settings", ini.fileName(), "--plugin", KELVANE_PLUGIN, "--link-dir",
                            path("pty"), "--baud", "0"} +
                   extra);
    return host.wait(host.out, "Client");
}

void tst_KelvaneScope::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY(dir->isValid());
}

void tst_KelvaneScope::runs_data()
{
    addRows("scope-runs.txt", {"arguments", "status", "out", "err", "csv"});
}

// The program's whole output, its exit status and the CSV it leaves (none after a failed start).
void tst_KelvaneScope::runs()
{
    QFETCH(QByteArray, arguments);
    QFETCH(QByteArray, status);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    QFETCH(QByteArray, csv);
    err.replace('@', KELVANE_TEST_DATA_DIR "/");

    QStringList args;
    for (const QByteArray &word : arguments.split(' ')) {
        if (word.isEmpty())
            continue;
        QString arg = QString::fromLatin1(word);
        if (word.startsWith("text:")) {
            QFile in(path("in.txt"));
            QVERIFY(in.open(QIODevice::WriteOnly) && in.write(word.mid(5)) > 0);
            arg = in.fileName();
        }
        args << arg.replace(QLatin1String("@"), QStringLiteral(KELVANE_TEST_DATA_DIR "/"))
                    .replace(QLatin1String("%"), dir->path() + QLatin1Char('/'));
    }
    BuildProgram scope(Deadline);
    scope.start(QStringLiteral(KELVANE_SCOPE), args);
    const bool exited = scope.exited(status.toInt());
    QCOMPARE(scope.err, err.replace('@', KELVANE_TEST_DATA_DIR "/"));
    QCOMPARE(scope.out, out);
    QVERIFY(exited);
    QCOMPARE(readFile(path("run.csv")), csv);
    QCOMPARE(QFileInfo::exists(path("run.csv")), !csv.isEmpty());
}

void tst_KelvaneScope::longCapture_data()
{
    QTest::addColumn<bool>("record");
    QTest::newRow("capture") << false;
    QTest::newRow("record") << true;
}

// Captures larger than the blocks the scope reads (1 MB) and the pieces it decodes (64 kB): the
// three pings of a golden capture 100 times over, then one line of 1.1 MB; in a record each ping
// at a time of its own, a second apart, and the record's last line without its LF. Every ping
// comes out whole wherever a block ended, and the long line is one line.
void tst_KelvaneScope::longCapture()
{
    QFETCH(bool, record);
    const QByteArray golden = testData("scope-single-frames.txt");
    QList<QByteArray> pings; // each from its header's first line to the next one
    for (int from = golden.indexOf("#DeviceID"); from >= 0;) {
        const int next = golden.indexOf("#DeviceID", from + 1);
        pings << golden.mid(from, next < 0 ? -1 : next - from);
        from = next;
    }
    const QList<QByteArray> shown = {
        "ch=450kHz depth=5.0000 temp=20.50 pitch=-12.340 roll=3.210 samples=1333 echo=5.0025",
        "ch=450kHz depth=5.1000 temp=19.87 pitch=10.020 roll=-45.670 samples=1333 echo=5.1000",
        "ch=450kHz depth=5.2000 temp=21.06 pitch=0.500 roll=0.040 samples=1333 echo=5.1975"};
    QByteArray bytes = record ? LineRecord::header() : QByteArray();
    QByteArray out;
    int lines = 0;
    for (int i = 0; i < 300; ++i) {
        const QByteArray &ping = pings.at(i % 3);
        bytes += record ? LineRecord::format(i * 1000000LL, LineRecord::Device, ping) : ping;
        out += "t=" + QByteArray::number(record ? i : i % 3) + ".000 " + shown.at(i % 3) + '\n';
        lines += ping.count('\n');
    }
    const QByteArray longLine = QByteArray(1100000, 'x') + "\r\n";
    bytes += record ? LineRecord::format(300000000, LineRecord::Device, longLine) : longLine;
    if (record)
        bytes.chop(1);
    QFile file(path("long"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    file.close();

    BuildProgram scope(Deadline);
    scope.start(QStringLiteral(KELVANE_SCOPE), {"--from", file.fileName()});
    QVERIFY(scope.exited(1));
    QCOMPARE(scope.out, out + "300 pings, 1 anomaly\n");
    QCOMPARE(scope.err,
             "line " + QByteArray::number(lines + 1) +
                 ": malformed: line longer than 8192 bytes: " + QByteArray(80, 'x') + '\n');
}

// kelvane-host's line with every fault (--faults checksum=0.01,drop=0.005,truncate=0.005,
// duplicate=0.005,garbage=0.005,flip=0.0005 --seed 35 at --baud 0), captured in NMEA, single- and
// dual-frequency output one after the other: all that the scope says of it, compared whole.
void tst_KelvaneScope::faultedCapture()
{
    BuildProgram scope(Deadline);
    scope.start(QStringLiteral(KELVANE_SCOPE),
                {"--from", QStringLiteral(KELVANE_TEST_DATA_DIR "/scope-faulted.txt")});
    QVERIFY(scope.exited(1));
    QCOMPARE(scope.out, testData("scope-faulted.out"));
    QCOMPARE(scope.err, testData("scope-faulted.err"));
}

void tst_KelvaneScope::simulator_data()
{
    QTest::addColumn<QByteArray>("frequencyMode");
    QTest::addColumn<bool>("sine");
    QTest::addColumn<QString>("send");
    QTest::addColumn<int>("pings"); // 0: until SIGTERM
    QTest::addColumn<QList<int>>("panels"); // channel, samples of each panel from the top
    QTest::addColumn<QStringList>("hostArguments");
    QTest::addColumn<QStringList>("scopeArguments");
    QTest::addColumn<QByteArray>("note"); // on standard error; empty: none

    const QString frames = QStringLiteral("interval 0.1 #range %1 #output 2 #go");
    const QStringList none;
    const QByteArray nmeaNote = "kelvane-scope: note: the instrument sends NMEA sentences";
    // No channel in NMEA; 20 m there and back at 100 kHz: 1333 samples.
    QTest::newRow("NMEA") << QByteArray("SINGLE") << false << "interval 0.1 #go" << 6
                          << QList<int>() << none << none << nmeaNote;
    // The host rewrites every talker; the scope takes the instrument's sentences under any.
    QTest::newRow("NMEA, talker SD")
        << QByteArray("SINGLE") << false << "interval 0.1 #go" << 6 << QList<int>()
        << QStringList {"--talker", "SD"} << none << nmeaNote;
    QTest::newRow("single frames") << QByteArray("SINGLE") << false << frames.arg(10000) << 6
                                   << QList<int> {450000, 1333} << none << none << QByteArray();
    QTest::newRow("single frames, SIGTERM")
        << QByteArray("SINGLE") << false << frames.arg(5000) << 0 << QList<int> {450000, 667}
        << none << none << QByteArray();
    // 1 m of data for a depth of 2 to 8 m.
    QTest::newRow("sine") << QByteArray("SINGLE") << true << frames.arg(1000) << 4
                          << QList<int> {450000, 133} << none << none
                          << QByteArray("kelvane-scope: note: the reported depth ");
    QTest::newRow("dual frames") << QByteArray("DUAL") << false
                                 << "interval 0.1 #rangeh 10000 #rangel 20000 #output 2 #go" << 6
                                 << QList<int> {200000, 1333, 50000, 2667} << none << none
                                 << QByteArray();
}

// kelvane-scope on the client end of the host's pair, unpaced (whole pings at once), named
// relative to its working folder: the reply to its command, every ping decoded, its CSV rows and
// its echogram.
void tst_KelvaneScope::simulator()
{
    QFETCH(QByteArray, frequencyMode);
    QFETCH(bool, sine);
    QFETCH(QString, send);
    QFETCH(int, pings);
    QFETCH(QList<int>, panels);
    QFETCH(QStringList, hostArguments);
    QFETCH(QStringList, scopeArguments);
    QFETCH(QByteArray, note);

    BuildProgram host(Deadline);
    QVERIFY2(startHost(host, frequencyMode, sine, QStringList("--no-console") + hostArguments),
             host.err);

    BuildProgram scope(Deadline);
    scope.process.setWorkingDirectory(dir->path());
    QStringList arguments =
        QStringList {"pty/client", "--send", send, "--csv", "run.csv", "--png", "run.png"} +
        scopeArguments;
    if (pings > 0)
        arguments << "--pings" << QString::number(pings);
    scope.start(QStringLiteral(KELVANE_SCOPE), arguments);
    // Without --pings it runs until a signal ends it, and keeps what it has by then.
    if (pings == 0) {
        QVERIFY(scope.wait(scope.out, " samples=", 3));
        scope.process.terminate();
    }
    QVERIFY2(scope.exited(0), scope.out + scope.err);
    host.process.terminate();
    QVERIFY(host.exited(0));
    // A note says why the echogram is empty, once.
    QCOMPARE(scope.err.count(note.isEmpty() ? "note:" : note), note.isEmpty() ? 0 : 1);
    const QByteArray &out = scope.out;
    // The dual-frequency device's first command is answered so; its settings still apply.
    const QByteArray reply =
        frequencyMode == "DUAL" ? "Invalid command >" : send.toLatin1() + " >ok.";
    QVERIFY2(('\n' + out).contains("\nreply " + reply + '\n'), out.constData());
    const QList<QByteArray> lines = out.trimmed().split('\n');
    pings = pings > 0 ? pings : lines.last().split(' ').at(0).toInt();
    QVERIFY(pings >= 3);
    QCOMPARE(lines.last(), QByteArray::number(pings) + " pings, 0 anomalies");

    // time,channel,depth,temperature,pitch,roll,samples,echo depth
    const QList<QByteArray> rows = readFile(path("run.csv")).trimmed().split('\n').mid(1);
    QCOMPARE(rows.size(), pings);
    for (int i = 0; i < pings; ++i) {
        const QList<QByteArray> r = rows.at(i).split(',');
        const double depth = r.value(2).toDouble();
        const int panel = panels.indexOf(r.value(1).toInt());
        // Depth within bounds; a channel of the mode, taking turns in dual mode, with its sample
        // count; the echo on the reported depth, to within one sample of 7.5 mm.
        QVERIFY2(r.size() == 8 && depth >= 2.0 && depth <= 8.0 &&
                     (panels.isEmpty() ? r.at(1) + r.at(6) + r.at(7) == "" : panel % 2 == 0) &&
                     (panels.size() < 4 || i == 0 || rows.at(i - 1).split(',').at(1) != r.at(1)) &&
                     (panels.isEmpty() || r.at(6).toInt() == panels.at(panel + 1)) &&
                     (panels.isEmpty() || sine || std::fabs(r.at(7).toDouble() - depth) <= 0.0076),
                 rows.at(i));
    }
    const int count = qMax(1, int(panels.size()) / 2);
    const int columns = pings / count;
    QCOMPARE(
        QImage(path("run.png")).size(),
        QSize(Echogram::LeftMargin + columns * qBound(1, 480 / columns, 48) + Echogram::RightMargin,
              count * Echogram::PanelHeight));
}

void tst_KelvaneScope::endings_data()
{
    QTest::addColumn<QStringList>("hostArguments");
    QTest::addColumn<QStringList>("scopeArguments");
    QTest::addColumn<QByteArray>("action"); // after two pings: "terminate" the host, or a
                                            // console command; empty: none
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("message"); // the end of the last line on standard error

    const QStringList tenPerSecond = {"--send", "interval 0.1 #go"};
    QTest::newRow("no reply in time")
        << QStringList {"--command-faults", "drop=1"}
        << QStringList {"--send", "#go", "--reply-timeout", "0.5"} << QByteArray() << 4
        << QByteArray("kelvane-scope: no reply to \"#go\" within 0.5 s, stopping");
    QTest::newRow("host gone before the ping count")
        << QStringList() << tenPerSecond + QStringList {"--pings", "1000"}
        << QByteArray("terminate") << 5
        << QByteArray("/pty/client went away (hung up or removed), stopping");
    QTest::newRow("hangup") << QStringList() << tenPerSecond << QByteArray("fault hangup 5") << 5
                            << QByteArray("/pty/client went away (hung up or removed), stopping");
}

// Runs that cannot pass silently: each ends on its own, with its own status, saying why.
void tst_KelvaneScope::endings()
{
    QFETCH(QStringList, hostArguments);
    QFETCH(QStringList, scopeArguments);
    QFETCH(QByteArray, action);
    QFETCH(int, status);
    QFETCH(QByteArray, message);

    BuildProgram host(Deadline);
    QVERIFY2(startHost(host, "SINGLE", false, hostArguments), host.err);
    BuildProgram scope(Deadline);
    scope.process.setWorkingDirectory(dir->path());
    scope.start(QStringLiteral(KELVANE_SCOPE), QStringList("pty/client") + scopeArguments);
    if (action == "terminate") {
        QVERIFY(scope.wait(scope.out, " samples=", 2));
        host.process.terminate();
    } else if (!action.isEmpty()) {
        QVERIFY(scope.wait(scope.out, " samples=", 2));
        QVERIFY(host.send(action));
    }
    QVERIFY2(scope.exited(status), scope.out + scope.err);
    QVERIFY2(scope.err.trimmed().split('\n').last().endsWith(message), scope.err);
}

// kelvane-scope --tcp --serve on a line that the test serves: 7500 single-frequency pings at
// once, read by two browsers, one that reads and one that never does (its receive buffer 4 kB,
// not a byte taken). The decoder goes through every ping; the reading browser gets the last
// one, in order; the stalled one holds no more than the backlog limit and is dropped. The line's
// end stops the run as a lost device does, and the page stays until the signal.
void tst_KelvaneScope::stalledBrowser()
{
    QTcpServer line;
    QVERIFY(line.listen(QHostAddress::LocalHost));
    BuildProgram scope(Deadline);
    scope.process.setProcessChannelMode(QProcess::MergedChannels);
    scope.start(QStringLiteral(KELVANE_SCOPE),
                {"--tcp", QStringLiteral("127.0.0.1:%1").arg(line.serverPort()), "--serve", "0"});
    QVERIFY(waitFor([&] { return line.hasPendingConnections(); }, Deadline));
    QTcpSocket *feed = line.nextPendingConnection();
    const QRegularExpression served(
        QStringLiteral("serving the echogram at http://([\\d.]+):(\\d+)/"));
    const QRegularExpressionMatch url = served.match(QString::fromLatin1(scope.out));
    QVERIFY2(url.hasMatch(), scope.out);

    // The stream's port, from the page.
    QTcpSocket http;
    http.connectToHost(QHostAddress::LocalHost, url.captured(2).toUShort());
    QVERIFY(http.waitForConnected(Deadline));
    http.write("GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    QByteArray page;
    waitFor([&] { return (page += http.readAll()).contains("</html>"); }, Deadline);
    const QRegularExpressionMatch stream =
        QRegularExpression(QStringLiteral("name=\"stream-port\" content=\"(\\d+)\""))
            .match(QString::fromLatin1(page));
    QVERIFY2(stream.hasMatch(), page.left(300));
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(stream.captured(1).toUShort());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    const int stalled = ::socket(AF_INET, SOCK_STREAM, 0);
    const int small = 4096;
    ::setsockopt(stalled, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    QVERIFY(::connect(stalled, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0);
    const QByteArray handshake = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                                 "Connection: Upgrade\r\nSec-WebSocket-Key: "
                                 "dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    QCOMPARE(::write(stalled, handshake.constData(), size_t(handshake.size())),
             ssize_t(handshake.size()));
    // Taken once its answer has come, looked at in place: the buffer is never read.
    char byte;
    QVERIFY(
        waitFor([&] { return ::recv(stalled, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 1; }, Deadline));

    QWebSocket reader;
    QList<quint64> seqs;
    connect(&reader, &QWebSocket::binaryMessageReceived, [&seqs](const QByteArray &message) {
        const int at = message.indexOf("\"seq\":") + 6;
        if (message.startsWith("{\"type\":\"ping\""))
            seqs << message.mid(at, message.indexOf(',', at) - at).toULongLong();
    });
    reader.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/").arg(stream.captured(1))));
    QVERIFY(waitFor([&] { return reader.state() == QAbstractSocket::ConnectedState; }, Deadline));

    const QByteArray golden = testData("scope-single-frames.txt");
    const QByteArray pings = golden.mid(golden.indexOf("#DeviceID")).repeated(2500);
    feed->write(pings);
    QVERIFY(waitFor([&] { return feed->bytesToWrite() == 0; }, Deadline));
    feed->disconnectFromHost();
    QVERIFY(scope.wait(scope.out, "went away (connection closed), stopping"));
    QVERIFY(scope.wait(scope.out, " anomalies\n"));
    const QRegularExpressionMatch total =
        QRegularExpression(QStringLiteral("\n(\\d+) pings, 0 anomalies\n"))
            .match(QString::fromLatin1(scope.out));
    QVERIFY2(total.hasMatch(), scope.out.right(500));
    QVERIFY(total.captured(1).toInt() >= 7499);
    QVERIFY(
        waitFor([&] { return !seqs.isEmpty() && seqs.last() == total.captured(1).toULongLong(); },
                Deadline));
    QVERIFY(std::is_sorted(seqs.begin(), seqs.end()) &&
            std::adjacent_find(seqs.begin(), seqs.end()) == seqs.end());

    QVERIFY(scope.wait(scope.out, " dropped: "));
    const QRegularExpressionMatch dropped =
        QRegularExpression(QStringLiteral("kelvane-scope: browser 127\\.0\\.0\\.1:\\d+ dropped: "
                                          "(\\d+) bytes unread for 5 s\n"))
            .match(QString::fromLatin1(scope.out));
    QVERIFY2(dropped.hasMatch(), scope.out.right(500));
    // Held for it: up to the limit, and the one message that went over it.
    QVERIFY2(dropped.captured(1).toLongLong() <= 1024 * 1024 + 4096, scope.out.right(300));
    ::close(stalled);
    scope.process.terminate();
    QVERIFY(scope.exited(Scope::DeviceLost));
}

// The manual page lists exactly the options of --help, and the exit statuses that --help and
// the program's own list name.
void tst_KelvaneScope::manualFollowsHelp()
{
    BuildProgram scope(Deadline);
    scope.start(QStringLiteral(KELVANE_SCOPE), {"--help"});
    QVERIFY(scope.exited(0));
    const QString help = QString::fromUtf8(scope.out);
    const QString manual = QString::fromUtf8(readFile(QStringLiteral(KELVANE_SCOPE_MANUAL)));
    QVERIFY(!manual.isEmpty());
    auto section = [&](const char *name) {
        const int from = manual.indexOf(QStringLiteral(".SH %1\n").arg(QLatin1String(name)));
        return from < 0 ? QString() : manual.mid(from).section(QLatin1String("\n.SH "), 0, 0);
    };
    auto all = [](const QString &text, const char *pattern) {
        QStringList found;
        QRegularExpressionMatchIterator it = QRegularExpression(pattern).globalMatch(text);
        while (it.hasNext())
            found << it.next().captured(1);
        found.sort();
        return found;
    };
    // Help: "  -h, --help  ...", "  --baud <rate>  ..."; the manual: ".B \-h, \-\-help",
    // ".BI \-\-baud " rate"" after ".TP".
    const QStringList helpOptions = all(help, "(?m)^  (?:-\\w, )?--([a-z-]+)");
    QString options = section("OPTIONS");
    options.remove(QLatin1String("\\"));
    QCOMPARE(all(options, "(?m)^\\.TP\n\\.BI? (?:-\\w, )?--([a-z-]+)"), helpOptions);
    QVERIFY(helpOptions.contains("reply-timeout") && helpOptions.size() == 14);

    const QStringList helpStatuses =
        all(help.section(QLatin1String("Exit status:"), 1, 1).section('\n', 0, 0),
            "(\\d) (?:when|for)");
    QCOMPARE(all(section("EXIT STATUS"), "(?m)^\\.TP\n\\.B (\\d+)\n"), helpStatuses);
    QStringList statuses;
    for (int s : {Scope::Clean, Scope::AnomaliesSeen, Scope::UsageError, Scope::IoError,
                  Scope::NoReply, Scope::DeviceLost, Scope::NothingDecoded, Scope::MalformedRecord})
        statuses << QString::number(s);
    QCOMPARE(helpStatuses, statuses);
}

// Every option the README names is an option of kelvane-host or of kelvane-scope, so that an
// example does not stop with "unknown option" after an option was renamed.
void tst_KelvaneScope::readmeOptions()
{
    const QRegularExpression helpOption(QStringLiteral("(?m)^  (?:-\\w, )?(--[a-z-]+)"));
    QStringList known;
    for (const char *program : {KELVANE_HOST, KELVANE_SCOPE}) {
        BuildProgram help(Deadline);
        help.start(QString::fromLocal8Bit(program), {"--help"});
        QVERIFY(help.exited(0));
        for (auto it = helpOption.globalMatch(QString::fromUtf8(help.out)); it.hasNext();)
            known << it.next().captured(1);
    }
    QVERIFY(known.contains("--no-console") && known.contains("--reply-timeout"));

    const QString readme = QString::fromUtf8(readFile(QStringLiteral(KELVANE_README)));
    const QRegularExpression named(QStringLiteral("(?<![\\w-])(--[a-z][a-z-]*)"));
    QStringList unknown;
    int count = 0;
    for (auto it = named.globalMatch(readme); it.hasNext(); ++count) {
        const QString option = it.next().captured(1);
        if (!known.contains(option))
            unknown << option;
    }
    QVERIFY(count > 20);
    QVERIFY2(unknown.isEmpty(), qPrintable(unknown.join(QLatin1Char(' '))));
}

QTEST_GUILESS_MAIN(tst_KelvaneScope)
#include "tst_kelvanescope.moc"
