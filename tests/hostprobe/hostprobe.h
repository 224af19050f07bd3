#ifndef KELVANE_HOSTPROBE_H
#define KELVANE_HOSTPROBE_H

#include "ipayloadplugin.h"

class QSerialPort;

/// A payload plug-in that shows what its host did to it: it appends each call of start() and
/// stop() and its own destruction to HOSTPROBE/EVENTS in the settings store (never syncing, so
/// that the file shows them only if the host flushes it at the end), greets on the serial
/// device of KELVANE_SIMULATOR/SERIAL_DEVICE, sends a ground message when it starts, and hands
/// every byte it reads to the host with dataReceived.
class HostProbe : public IPayloadPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "com.vorn.talvik.ipayloadplugin")
    Q_INTERFACES(IPayloadPlugin)

public:
    HostProbe();
    ~HostProbe() override;

    void stop() override;
    ConnectionType connectionType() const override { return SerialConnection; }
    PayloadId payloadId() const override { return NoPayload; }
    QString name() const override { return QStringLiteral("Host probe"); }
    QString version() const override { return QStringLiteral("1.0.0"); }
    QString id() const override { return QStringLiteral("PROBE"); }
    void start() override;

private:
    void record(const QString &event);
    void closePort();

    QString device;
    QSerialPort *port = nullptr;
};

#endif // KELVANE_HOSTPROBE_H
