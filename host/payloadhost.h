#ifndef KELVANE_PAYLOADHOST_H
#define KELVANE_PAYLOADHOST_H

#include "ipayloadplugin.h"
#include "telemetry.h"

#include <QObject>
#include <QPluginLoader>
#include <QPointer>
#include <QStringList>

class App;

/// Holds one payload plug-in the way the flight computer does: checks the library's interface
/// id, takes its instance, prints its identity, ground messages and data, and relays the
/// console's requests to it and to the application's settings store.
class PayloadHost : public QObject
{
    Q_OBJECT

public:
    explicit PayloadHost(App *app, QObject *parent = nullptr);
    /// Calls unload().
    ~PayloadHost() override;

    /// Reads the library's metadata without creating anything; false with errorString() when
    /// it is no payload plug-in.
    bool check(const QString &path);
    /// Creates the instance of the library passed to check() and takes it by the interface id;
    /// false with errorString() on failure.
    bool load();
    /// Prints the plug-in's dataReceived and the application's ground messages from now on.
    void connectSignals();
    /// stop() on the plug-in, then deletes it; does nothing when nothing is loaded.
    void unload();

    /// The plug-in's id, name and version on one line.
    QString identity() const;
    /// The metadata that Qt read from the library passed to check(), as compact JSON.
    QString metaDataText() const { return metaData; }
    QString errorString() const { return error; }

    void requestStart();
    void stop();
    /// App::updateSetting with the console's text as the value (which the console checked);
    /// returns a warning for a value the simulator does not act on, or an empty text.
    QString updateSetting(const QByteArray &group, const QByteArray &name, const QString &value);
    /// App::removeObsoleteSettings; the keys it removed.
    QStringList prune();
    /// Identity, the device lines, whether the plug-in's serial port is open, the last request
    /// and the simulator's settings as stored.
    QStringList status(const QStringList &deviceLines) const;
    /// "open, N baud" when the plug-in holds an open QSerialPort child, else "not open".
    QString portState() const;

private slots:
    // Connected by signature: the plug-in carries its own copy of IPayloadPlugin, whose signal
    // is found by name, not by the address of this copy's member.
    void printData(MessageId messageId, PayloadId payloadId, const QByteArray &data,
                   const QVariant &param);

private:
    void printGroundMessage(const TextToGround &message);

    App *app;
    QPluginLoader loader;
    QPointer<QObject> instance;
    IPayloadPlugin *payload = nullptr;
    QString lastRequest;
    QString error;
    QString metaData;
};

#endif // KELVANE_PAYLOADHOST_H
