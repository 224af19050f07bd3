#include "liveview.h"

#include "nmea.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

#include <algorithm>
#include <cmath>

namespace {

void number(QByteArray &out, const char *name, double value, int decimals)
{
    out += ",\"";
    out += name;
    out += "\":";
    if (std::isnan(value))
        out += "null";
    else
        appendFixed(out, value, decimals);
}

void integer(QByteArray &out, const char *name, qint64 value)
{
    out += ",\"";
    out += name;
    out += "\":";
    out += QByteArray::number(value);
}

QString stateName(LiveView::State state)
{
    switch (state) {
    case LiveView::Reading:
        return QStringLiteral("reading");
    case LiveView::Lost:
        return QStringLiteral("lost");
    case LiveView::Ended:
        break;
    }
    return QStringLiteral("ended");
}

} // namespace

LiveView::LiveView(QObject *parent)
    : QObject(parent), server(new QWebSocketServer(QStringLiteral("kelvane-scope"),
                                                   QWebSocketServer::NonSecureMode, this)),
      ticker(new QTimer(this))
{
    clock.start();
    connect(server, &QWebSocketServer::newConnection, this, &LiveView::accept);
    // Once a second: the pings per second, the state for browsers that missed a change, and
    // the browsers that stopped reading.
    ticker->setInterval(1000);
    connect(ticker, &QTimer::timeout, this, &LiveView::tick);
}

LiveView::~LiveView()
{
    for (Browser &browser : browsers) {
        browser.socket->disconnect(this);
        browser.socket->abort();
    }
}

bool LiveView::listen(const QHostAddress &address, QString *error)
{
    if (!server->listen(address, 0)) {
        *error = server->errorString();
        return false;
    }
    ticker->start();
    return true;
}

quint16 LiveView::port() const
{
    return server->serverPort();
}

void LiveView::accept()
{
    while (QWebSocket *socket = server->nextPendingConnection()) {
        // The view owns its browsers' sockets: those still open, and those forgotten whose
        // deferred deletion the event loop did not reach before the end, go with it.
        socket->setParent(this);
        // Queued: a browser is never forgotten while the list of them is being gone through.
        connect(
            socket, &QWebSocket::disconnected, this, [this, socket] { forget(socket); },
            Qt::QueuedConnection);
        connect(socket, &QWebSocket::bytesWritten, this, [this, socket] {
            if (Browser *browser = find(socket)) {
                browser->lastMoved = clock.elapsed();
                pump(*browser);
            }
        });
        browsers.push_back({socket, 1, clock.elapsed()});
        Browser &browser = browsers.back();
        send(browser, stateMessage());
        for (const QByteArray &anomaly : anomalies)
            send(browser, anomaly);
        pump(browser);
    }
}

LiveView::Browser *LiveView::find(QWebSocket *socket)
{
    const auto it = std::find_if(browsers.begin(), browsers.end(),
                                 [socket](const Browser &b) { return b.socket == socket; });
    return it == browsers.end() ? nullptr : &*it;
}

void LiveView::forget(QWebSocket *socket)
{
    browsers.erase(std::remove_if(browsers.begin(), browsers.end(),
                                  [socket](const Browser &b) { return b.socket == socket; }),
                   browsers.end());
    socket->deleteLater();
}

// Messages other than pings are small and few; one that finds the browser's buffer full is
// left out, as the next state message carries the counts it would have told.
void LiveView::send(Browser &browser, const QByteArray &message)
{
    if (browser.socket->bytesToWrite() < BacklogLimit)
        browser.socket->sendBinaryMessage(message);
}

// The pings a browser has not had yet, oldest first, while its buffer has room; those that
// left the kept columns before it could take them are skipped.
void LiveView::pump(Browser &browser)
{
    while (browser.socket->bytesToWrite() < BacklogLimit) {
        const Column *column = columnFrom(browser.next);
        if (!column)
            return;
        browser.socket->sendBinaryMessage(column->message);
        browser.next = column->seq + 1;
    }
}

// The kept ping with the lowest number from seq on: each channel's columns are in order.
const LiveView::Column *LiveView::columnFrom(quint64 seq) const
{
    const Column *first = nullptr;
    for (const auto &channel : channels) {
        const std::deque<Column> &columns = channel.second;
        const auto it =
            std::lower_bound(columns.begin(), columns.end(), seq,
                             [](const Column &column, quint64 s) { return column.seq < s; });
        if (it != columns.end() && (!first || it->seq < first->seq))
            first = &*it;
    }
    return first;
}

void LiveView::addPing(const Ping &ping)
{
    ++pings;
    // Each bin is the strongest of its samples, as a pixel row of the echogram shows the
    // strongest sample it covers.
    const int n = ping.hasData ? ping.samples.size() : 0;
    const int perBin = std::max(1, (n + MaxBins - 1) / MaxBins);
    binned.resize((n + perBin - 1) / perBin);
    for (int bin = 0, from = 0; from < n; ++bin, from += perBin) {
        int strongest = 0;
        for (int i = from; i < std::min(n, from + perBin); ++i)
            strongest = std::max(strongest, ping.samples.at(i));
        binned[bin] = char(std::clamp(strongest, 0, 1023) / 4);
    }
    const double perSample = ping.samplingFrequency > 0 ? 750.0 / ping.samplingFrequency : NAN;

    Column column;
    column.seq = pings;
    QByteArray &m = column.message;
    m.reserve(200 + binned.size() * 4 / 3);
    m += "{\"type\":\"ping\"";
    integer(m, "seq", qint64(pings));
    number(m, "t", ping.time, 3);
    integer(m, "ch", ping.frequency);
    number(m, "depth", ping.depth, 4);
    number(m, "temp", ping.temperature, 2);
    number(m, "pitch", ping.pitch, 3);
    number(m, "roll", ping.roll, 3);
    integer(m, "samples", ping.sampleCount());
    number(m, "echo", ping.echoDepth, 4);
    number(m, "mps", n > 0 ? perSample : NAN, 9);
    integer(m, "bin", perBin);
    m += ",\"data\":";
    m += ping.hasData ? "true" : "false";
    m += ",\"amp\":\"";
    m += binned.toBase64();
    m += "\"}";

    std::deque<Column> &columns = channels[ping.frequency];
    if (int(columns.size()) == MaxColumns)
        columns.pop_front();
    columns.push_back(std::move(column));
    for (Browser &browser : browsers)
        pump(browser);
}

void LiveView::addAnomaly(Anomaly::Kind kind, const QString &shown)
{
    const QString name = Anomaly::kindName(kind);
    const int count = ++anomalyCounts[name];
    const QByteArray message =
        QJsonDocument(
            QJsonObject {{"type", "anomaly"}, {"kind", name}, {"count", count}, {"text", shown}})
            .toJson(QJsonDocument::Compact);
    anomalies.push_back(message);
    if (int(anomalies.size()) > KeptAnomalies)
        anomalies.pop_front();
    for (Browser &browser : browsers)
        send(browser, message);
}

void LiveView::setState(State now, const QString &what)
{
    state = now;
    input = what;
    const QByteArray message = stateMessage();
    for (Browser &browser : browsers)
        send(browser, message);
}

QByteArray LiveView::stateMessage() const
{
    QJsonObject counts;
    for (const auto &kind : anomalyCounts)
        counts.insert(kind.first, kind.second);
    return QJsonDocument(QJsonObject {{"type", "state"},
                                      {"state", stateName(state)},
                                      {"input", input},
                                      {"pings", qint64(pings)},
                                      {"pps", std::round(pingsPerSecond * 10) / 10},
                                      {"anomalies", counts},
                                      {"dropped", dropped}})
        .toJson(QJsonDocument::Compact);
}

void LiveView::tick()
{
    const qint64 now = clock.elapsed();
    if (now > tickAt)
        pingsPerSecond = (pings - pingsAtTick) * 1000.0 / double(now - tickAt);
    pingsAtTick = pings;
    tickAt = now;
    // A browser whose buffer has not gone down for StallMs reads nothing: it is let go, with
    // what it holds, rather than kept at the limit for ever.
    std::vector<QWebSocket *> stalled;
    for (Browser &browser : browsers) {
        if (browser.socket->bytesToWrite() == 0)
            browser.lastMoved = now;
        else if (now - browser.lastMoved >= StallMs)
            stalled.push_back(browser.socket);
    }
    for (QWebSocket *socket : stalled) {
        emit notice(QStringLiteral("kelvane-scope: browser %1:%2 dropped: %3 bytes unread for %4 s")
                        .arg(socket->peerAddress().toString())
                        .arg(socket->peerPort())
                        .arg(socket->bytesToWrite())
                        .arg(StallMs / 1000));
        ++dropped;
        socket->disconnect(this);
        socket->abort();
        forget(socket);
    }
    const QByteArray message = stateMessage();
    for (Browser &browser : browsers)
        send(browser, message);
}
