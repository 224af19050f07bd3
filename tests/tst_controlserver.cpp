// ControlServer as a unit, on real Unix-domain sockets in the test's folder: its socket file,
// the protocol's greeting, answers and refusals, events in order, several clients and one that
// stops reading (the paths it refuses are tst_kelvanehost's), and the events of log lines. The
// commands run by a stand-in runner; what a request means is tst_command's.

#include "controlserver.h"
#include "datarows.h"
#include "logtap.h"
#include "pty.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

QJsonObject json(const QByteArray &text)
{
    return QJsonDocument::fromJson(text).object();
}

// The next line a client got, as JSON; an empty object when none came in time.
QJsonObject next(Peer *peer)
{
    return json(peer->readUntil("\n"));
}

} // namespace

class TstControlServer : public QObject
{
    Q_OBJECT

private slots:
    void init() { dir = std::make_unique<QTemporaryDir>(); }
    void cleanup() { server.reset(); }
    void socketFile();
    void answers_data() { addRows("control-answers.txt", {"request", "answer"}); }
    void answers();
    void longLineRefusedAndSkipped();
    void eventsInOrderToSubscribers();
    void stalledClientDropped();
    void logEvents_data() { addRows("control-log-events.txt", {"level", "text", "events"}); }
    void logEvents();

private:
    QByteArray socketPath() const { return QFile::encodeName(dir->filePath("control")); }
    /// A client of the server, greeted.
    Peer *connectClient()
    {
        peers.push_back(std::make_unique<Peer>(unixSocket(socketPath())));
        next(peers.back().get());
        return peers.back().get();
    }
    bool startServer();

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<ControlServer> server;
    std::vector<std::unique_ptr<Peer>> peers;
    QList<Command::Kind> ran;
};

// A server at socketPath() whose runner stands in for the host's.
bool TstControlServer::startServer()
{
    peers.clear();
    ran.clear();
    server = std::make_unique<ControlServer>();
    QString error;
    if (!server->listen(QFile::decodeName(socketPath()), &error))
        return false;
    server->start([this](const Command &command, CommandRunner::Result *result, QString *error) {
        ran << command.kind;
        if (command.kind == Command::Stop) {
            result->text = QStringLiteral("Stopped; serial port: closed");
            result->data.insert(QStringLiteral("serialPort"), QStringLiteral("closed"));
        } else if (command.kind == Command::Set) {
            result->warning = QStringLiteral("about %1").arg(command.value);
        } else if (command.kind == Command::Save) {
            *error = QStringLiteral("cannot write the settings");
        }
        return error->isEmpty();
    });
    return true;
}

// The socket is the owner's alone, a socket left by a host that died is taken over, each client
// is greeted with the protocol's version, and the socket goes with the server.
void TstControlServer::socketFile()
{
    const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {AF_UNIX, {}};
    std::strcpy(address.sun_path, socketPath().constData());
    QCOMPARE(::bind(stale, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ::close(stale);
    QVERIFY(startServer());
    struct stat info = {};
    QCOMPARE(::lstat(socketPath().constData(), &info), 0);
    QCOMPARE(int(info.st_mode & 07777), 0600);

    Peer peer(unixSocket(socketPath()));
    const QJsonObject hello = next(&peer);
    QCOMPARE(hello.value("hello").toString(), QStringLiteral("kelvane-host"));
    QCOMPARE(hello.value("protocol").toInt(), 1);
    server.reset();
    QVERIFY(!QFile::exists(QFile::decodeName(socketPath())));
    QVERIFY(waitFor([&peer] { return peer.ended; }));
}

// Each request gets one answer, and a bad one leaves the channel serving the next.
void TstControlServer::answers()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);
    QVERIFY(startServer());
    Peer *peer = connectClient();
    QVERIFY(peer->write(request + "\n" + R"({"cmd": "status", "id": "after"})" + "\n"));
    QCOMPARE(next(peer), json(answer));
    QCOMPARE(next(peer).value("id").toString(), QStringLiteral("after"));
}

// A line over the bound is refused once, however long, never reaches the runner, and the next
// line is read again.
void TstControlServer::longLineRefusedAndSkipped()
{
    QVERIFY(startServer());
    Peer *peer = connectClient();
    QVERIFY(peer->write(R"({"cmd": "stop", "pad": ")" +
                        QByteArray(3 * ControlServer::MaxRequestBytes, 'x') + "\"}\n" +
                        R"({"cmd": "stop", "id": 1})" + "\n"));
    QCOMPARE(next(peer), json(R"({"ok": false, "error": "request longer than 65536 bytes"})"));
    QCOMPARE(next(peer).value("id").toInt(), 1);
    QCOMPARE(ran, QList<Command::Kind> {Command::Stop});
}

// Events reach the clients that subscribed, after their answer and in the order published;
// the others only get their answers.
void TstControlServer::eventsInOrderToSubscribers()
{
    QVERIFY(startServer());
    Peer *listener = connectClient(), *other = connectClient();
    server->publish({{"event", "before"}});
    QVERIFY(listener->write(R"({"cmd": "subscribe", "id": "s"})"
                            "\n"));
    QCOMPARE(next(listener), json(R"({"id": "s", "ok": true})"));
    for (int i = 0; i < 100; ++i)
        server->publish({{"event", "n"}, {"i", i}});
    QVERIFY(other->write(R"({"cmd": "status", "id": 1})"
                         "\n"));
    for (int i = 0; i < 100; ++i)
        QCOMPARE(next(listener), QJsonObject({{"event", "n"}, {"i", i}}));
    QCOMPARE(next(other).value("id").toInt(), 1);
    QCOMPARE(other->takeAll(), QByteArray());
}

// A client that stops reading is dropped, once, with one notice; a reading one misses nothing.
void TstControlServer::stalledClientDropped()
{
    QVERIFY(startServer());
    QSignalSpy notices(server.get(), &ControlServer::notice);
    Peer *stalled = connectClient(), *reader = connectClient();
    for (Peer *peer : {stalled, reader}) {
        QVERIFY(peer->write(R"({"cmd": "subscribe"})"
                            "\n"));
        QCOMPARE(next(peer).value("ok").toBool(), true);
    }
    stalled->setReading(false);
    const QString text(1000, 't');
    const int events = 3 * ControlServer::MaxQueuedBytes / text.size();
    for (int i = 0; i < events; ++i) {
        server->publish({{"event", "log"}, {"i", i}, {"text", text}});
        // The reader keeps up, as a test waiting on its events does.
        for (int j = i % 64 == 63 ? i - 63 : i + 1; j <= i; ++j)
            QCOMPARE(next(reader).value("i").toInt(-1), j);
    }
    QCOMPARE(server->clientCount(), 1);
    QCOMPARE(notices.size(), 1);
    const QString notice = notices.at(0).at(0).toString();
    QVERIFY2(notice.startsWith("control client pid ") &&
                 notice.endsWith("more than the bound of 1048576: it does not read what it is "
                                 "sent"),
             qPrintable(notice));
    stalled->setReading(true);
    QVERIFY(waitFor([stalled] { return stalled->ended; }));
}

// A log line is one "log" event, and the simulator's lines about skipped pings one more.
void TstControlServer::logEvents()
{
    QFETCH(QByteArray, level);
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, events);
    QJsonArray made;
    for (const QJsonObject &event : LogTap::eventsOf(QtMsgType(level.toInt()), text))
        made.append(event);
    QCOMPARE(made, QJsonDocument::fromJson(events).array());
}

QTEST_GUILESS_MAIN(TstControlServer)
#include "tst_controlserver.moc"
