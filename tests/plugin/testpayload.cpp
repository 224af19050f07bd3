#include "app.h"
#include "ipayloadplugin.h"

// Makes visible what its base does: start() sends "started" to the ground (as "[TEST] started");
// a followed setting is a property.
class TestPayload : public IPayloadPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID IPayloadPlugin_iid FILE "testpayload.json")
    Q_INTERFACES(IPayloadPlugin)
    Q_PROPERTY(float maxDepth MEMBER maxDepth)

public:
    TestPayload()
    {
        auto *app = static_cast<App *>(QCoreApplication::instance());
        connect(app, &App::ECHOSOUNDER_MAX_DEPTH_M, this,
                [this](float value) { maxDepth = value; });
        maxDepth = app->settingValue("ECHOSOUNDER", "MAX_DEPTH_M", 100).toFloat();
    }

    void stop() override { }
    ConnectionType connectionType() const override { return SerialConnection; }
    PayloadId payloadId() const override { return NoPayload; }
    QString name() const override { return QStringLiteral("Test payload"); }
    QString version() const override { return QStringLiteral("1.0"); }
    QString id() const override { return QStringLiteral("TEST"); }

public slots:
    void start() override { sendInfo(QStringLiteral("started")); }

private:
    float maxDepth = 0.0f;
};

#include "testpayload.moc"
