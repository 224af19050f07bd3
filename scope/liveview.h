#ifndef KELVANE_LIVEVIEW_H
#define KELVANE_LIVEVIEW_H

#include "streamdecoder.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

#include <deque>
#include <map>
#include <vector>

class QTimer;
class QWebSocket;
class QWebSocketServer;

/// The live echogram's stream: a WebSocket server that gives every browser on it the pings, the
/// anomalies and the input's state, as JSON text in binary messages. It lives on the thread of
/// the decoder (the main one) and never waits for a browser: what a browser has not taken stays
/// in its socket's buffer, and once that holds BacklogLimit bytes it gets no more pings until it
/// has taken them; the pings it missed meanwhile are skipped (its next ping says so by its
/// number). A browser whose buffer has not moved for StallMs is dropped.
///
/// Memory is bounded: the last MaxColumns pings of each channel are kept, each with its samples
/// reduced to at most MaxBins bins (the strongest sample of each), so that a browser that opens
/// the page sees the echogram so far. Messages, one JSON object each:
///   {"type":"ping","seq":N,"t":s,"ch":Hz,"depth":m,"temp":C,"pitch":deg,"roll":deg,
///    "samples":n,"echo":m,"mps":metres per sample,"bin":samples per bin,"data":bool,
///    "amp":"base64"}
///     (unknown values null; amp: one byte per bin, amplitude 0 to 1023 divided by 4)
///   {"type":"anomaly","kind":"bad checksum","count":k,"text":"line 3: bad checksum: ..."}
///   {"type":"state","state":"reading|lost|ended","input":"...","pings":n,"pps":x,
///    "anomalies":{"kind":count,...},"dropped":browsers dropped}
class LiveView : public QObject
{
    Q_OBJECT

public:
    static constexpr int MaxColumns = 3000;
    static constexpr int MaxBins = 1024;
    static constexpr qint64 BacklogLimit = 1024 * 1024;
    static constexpr int StallMs = 5000;
    /// Anomaly lines a browser that joins is given.
    static constexpr int KeptAnomalies = 20;

    enum State { Reading, Lost, Ended };

    explicit LiveView(QObject *parent = nullptr);
    ~LiveView() override;

    /// Listens on address at a free port; false with *error when it cannot.
    bool listen(const QHostAddress &address, QString *error);
    quint16 port() const;

    void addPing(const Ping &ping);
    /// shown: the anomaly as the program printed it.
    void addAnomaly(Anomaly::Kind kind, const QString &shown);
    /// input: what is read, for people ("127.0.0.1:10110", a device or a file).
    void setState(State state, const QString &input);

    int browserCount() const { return int(browsers.size()); }

signals:
    /// A line for standard error: a browser was dropped.
    void notice(const QString &line);

private:
    struct Column
    {
        quint64 seq = 0;
        QByteArray message;
    };
    struct Browser
    {
        QWebSocket *socket = nullptr;
        quint64 next = 1; ///< the number of the next ping it is to get
        qint64 lastMoved = 0; ///< ms on clock when its buffer last went down or was empty
    };

    void accept();
    void pump(Browser &browser);
    void send(Browser &browser, const QByteArray &message);
    const Column *columnFrom(quint64 seq) const;
    QByteArray stateMessage() const;
    void tick();
    Browser *find(QWebSocket *socket);
    void forget(QWebSocket *socket);

    QWebSocketServer *server;
    QTimer *ticker;
    QElapsedTimer clock;
    std::vector<Browser> browsers;
    std::map<int, std::deque<Column>> channels; ///< by frequency, each in ping order
    quint64 pings = 0;
    quint64 pingsAtTick = 0;
    qint64 tickAt = 0;
    double pingsPerSecond = 0.0;
    State state = Reading;
    QString input;
    std::map<QString, int> anomalyCounts; ///< by kind name
    std::deque<QByteArray> anomalies; ///< the last KeptAnomalies messages
    int dropped = 0;
    QByteArray binned; ///< the bins of the ping being added; its memory kept
};

#endif // KELVANE_LIVEVIEW_H
