#ifndef KELVANE_IPAYLOADPLUGIN_H
#define KELVANE_IPAYLOADPLUGIN_H

#include "ibase.h"

#include <QByteArray>
#include <QVariant>
#include <QtPlugin>

/// Kinds of message a payload hands to the host with dataReceived.
enum MessageId : quint8 {
    NoMessage = 0,
};

/// Payloads known to the host.
enum PayloadId : quint8 {
    NoPayload = 0,
};

/// Kinds of connection between the flight computer and a payload.
enum ConnectionType : int {
    SerialConnection = 0,
};

/// Base of every payload plug-in: identity, start delay, start request and telemetry timer.
/// Settings: APP/PAYLOAD_START_DELAY_S (default 5) and APP/TELEMETRY_PERIOD_MS (no default).
class IPayloadPlugin : public IBase
{
    Q_OBJECT

public:
    explicit IPayloadPlugin(QObject *parent = nullptr);
    /// Kills the telemetry timer.
    ~IPayloadPlugin() override;

    /// Stops the payload: everything start() opened is released. Safe when not started.
    virtual void stop() = 0;
    /// How the flight computer reaches the payload.
    virtual ConnectionType connectionType() const = 0;
    /// The payload's identifier for the host.
    virtual PayloadId payloadId() const = 0;
    /// Display name, used in log lines; empty here.
    virtual QString name() const { return QString(); }
    /// Version text of the payload.
    virtual QString version() const = 0;

    /// Called by the host once the plug-in exists: start() now when the delay is below one
    /// second, else after startDelayS seconds (never, if the plug-in is destroyed first).
    void requestStart();
    /// Seconds between requestStart() and start().
    void setStartDelay(int seconds);
    /// (Re)starts the telemetry timer with the given period; telemetryPeriodMs keeps its value.
    void restartTelemetryTimer(int periodMs);
    /// Kills the telemetry timer if one runs.
    void stopTimer();

    int startDelay() const { return startDelayS; }
    int telemetryPeriod() const { return telemetryPeriodMs; }
    int telemetryTimer() const { return telemetryTimerId; }

signals:
    /// Data of the payload for the host. The form without param (an empty QVariant) is the
    /// same signal: a receiver connected to either gets every emission.
    void dataReceived(MessageId messageId, PayloadId payloadId, const QByteArray &data,
                      const QVariant &param = QVariant());

public slots:
    /// Starts the payload; called once the start delay has run out (at once for a delay below 1).
    /// Opens everything that stop() releases.
    virtual void start() = 0;

private slots:
    /// (Re)starts the telemetry timer with telemetryPeriodMs.
    void startTelemetryTimer();

private:
    int startDelayS = 5;
    int telemetryPeriodMs = 0;
    int telemetryTimerId = -1;
};

#define IPayloadPlugin_iid "com.vorn.talvik.ipayloadplugin"
Q_DECLARE_INTERFACE(IPayloadPlugin, IPayloadPlugin_iid)

#endif // KELVANE_IPAYLOADPLUGIN_H
