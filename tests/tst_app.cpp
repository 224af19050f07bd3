#include "app.h"
#include "logcapture.h"

#include <QFile>
#include <QMetaMethod>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

App *app()
{
    return static_cast<App *>(QCoreApplication::instance());
}

QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void writeText(const QString &path, const QString &text)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text.toUtf8());
}

// Records every emission of every signal of App's own, as "SIGNATURE value", so that a test sees
// which signals fired, how often and with what, and that nothing else did.
class CatalogueSpy
{
public:
    explicit CatalogueSpy(App *app)
    {
        const QMetaObject &meta = App::staticMetaObject;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
            spies.emplace_back(
                std::make_unique<QSignalSpy>(app, "2" + meta.method(i).methodSignature()));
    }

    QStringList fired() const
    {
        QStringList out;
        for (const auto &spy : spies)
            for (const QVariantList &args : *spy) {
                const QVariant &value = args.value(0);
                // Small unsigned types would otherwise print as characters.
                const QString text = value.userType() == QMetaType::UChar
                    ? QString::number(value.value<uchar>())
                    : value.toString();
                out << QString::fromLatin1(spy->signal()) + QLatin1Char(' ') + text;
            }
        return out;
    }

private:
    std::vector<std::unique_ptr<QSignalSpy>> spies;
};

} // namespace

class TstApp : public QObject
{
    Q_OBJECT

public:
    explicit TstApp(const QString &configHome) : configHome(configHome) { }

private slots:
    void fallbackStore(); // first: the store is not opened yet
    void catalogue();
    void debugOptions();
    void layout();
    void settingNameToKey();
    void settingValue_data();
    void settingValue();
    void updateSetting_data();
    void updateSetting();
    void receiverReadsOldValue();
    void removeObsoleteSettings_data();
    void removeObsoleteSettings();
    void sendMessageFromWorker();
    void unusableStore_data();
    void unusableStore();

private:
    // Opens the store on a new file holding text (no file at all for a null text).
    QString openStore(const QString &text = QString())
    {
        const QString path = dir.filePath(QStringLiteral("store%1.ini").arg(++stores));
        if (!text.isNull())
            writeText(path, text);
        app()->loadSettings(path);
        return path;
    }

    QString configHome;
    QTemporaryDir dir;
    int stores = 0;
};

void TstApp::fallbackStore()
{
    LogCapture log;
    QCOMPARE(app()->settingValue("APP", "STATUS_PERIOD_MS", 1000), QVariant(1000));
    QCOMPARE(app()->settingValue("APP", "STATUS_PERIOD_MS", 7), QVariant(1000));
    QCOMPARE(log.take(), QStringList {"critical CRIT: Using settings before initialization"});
    app()->syncSettings();
    const QString fallback = configHome + QStringLiteral("/kelvane-tests/tst_app.conf");
    QCOMPARE(readText(fallback), QStringLiteral("[APP]\nSTATUS_PERIOD_MS=1000\n"));

    // From here on the given file is the store; a missing key without default is stored empty.
    const QString path = openStore();
    QCOMPARE(app()->settingValue("APP", "STATUS_PERIOD_MS"), QVariant());
    app()->syncSettings();
    QCOMPARE(readText(path), QStringLiteral("[APP]\nSTATUS_PERIOD_MS=@Invalid()\nVERBOSE=false\n"));
    QCOMPARE(readText(fallback), QStringLiteral("[APP]\nSTATUS_PERIOD_MS=1000\n"));
    QCOMPARE(log.take(), QStringList());
}

void TstApp::catalogue()
{
    QFile file(QStringLiteral(KELVANE_TEST_DATA_DIR "/app-catalogue.txt"));
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList expected =
        QString::fromLatin1(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(expected.size(), 132);

    const QMetaObject &meta = App::staticMetaObject;
    QCOMPARE(meta.superClass(), &QCoreApplication::staticMetaObject);
    QStringList signatures;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        const QByteArray signature = method.methodSignature();
        QVERIFY2(method.methodType() == QMetaMethod::Signal, signature);
        QVERIFY2(method.access() == QMetaMethod::Public, signature);
        QVERIFY2(method.returnType() == QMetaType::Void, signature);
        QVERIFY2(method.parameterNames() == QList<QByteArray> {"value"}, signature);
        signatures << QString::fromLatin1(signature);
    }
    QCOMPARE(signatures, expected);
    QCOMPARE(meta.propertyCount(), meta.propertyOffset());
    QCOMPARE(meta.enumeratorCount(), meta.enumeratorOffset());
    QCOMPARE(meta.classInfoCount(), meta.classInfoOffset());
    QCOMPARE(meta.constructorCount(), 0);
}

void TstApp::debugOptions()
{
    const QHash<QString, bool> off {
        {"desktop", false}, {"gps", false}, {"recording", false}, {"yaw", false}};
    QCOMPARE(app()->debugOptions, off);
}

// A plug-in runs its own copy of App's members on the host's object: settingsObject,
// debugOptions, signalTypes and verbose follow the QCoreApplication part one pointer apart, in
// that order, each recognised by what it holds.
void TstApp::layout()
{
    openStore();
    char *base = reinterpret_cast<char *>(static_cast<QCoreApplication *>(app()));
    const auto field = [base](int index) {
        return static_cast<void *>(base + sizeof(QCoreApplication) + index * sizeof(void *));
    };
    QCOMPARE(sizeof(App), sizeof(QCoreApplication) + 4 * sizeof(void *));
    QCOMPARE(field(1), static_cast<void *>(&app()->debugOptions));
    QCOMPARE(*static_cast<QSettings **>(field(0)), app()->settings());
    const auto *signalTypes = static_cast<QHash<QString, QString> *>(field(2));
    QCOMPARE(signalTypes->value(QStringLiteral("APP_VERBOSE")), QStringLiteral("bool"));
    for (const bool on : {true, false}) {
        emit app()->APP_VERBOSE(on);
        QCOMPARE(*static_cast<bool *>(field(3)), on);
    }
}

void TstApp::settingNameToKey()
{
    QCOMPARE(App::settingNameToKey("APP", "VERBOSE", "/"), QStringLiteral("APP/VERBOSE"));
    QCOMPARE(App::settingNameToKey("APP", "VERBOSE", "_"), QStringLiteral("APP_VERBOSE"));
    QCOMPARE(App::settingNameToKey("app", "Verbose", "/"), QStringLiteral("app/Verbose"));
    QCOMPARE(App::settingNameToKey(nullptr, "VERBOSE", "/"), QStringLiteral("/VERBOSE"));
}

void TstApp::settingValue_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QVariant>("defaultValue");
    QTest::addColumn<QVariant>("value"); // invalid: setSettingDefault() instead of a read
    QTest::addColumn<QString>("after");
    const auto row = [](const char *tag, const QString &before, const char *name,
                        const QVariant &defaultValue, const QVariant &value, const char *after) {
        QTest::newRow(tag) << before << QByteArray(name) << defaultValue << value
                           << QString::fromUtf8(after);
    };
    row("default written", QString(), "PAYLOAD_START_DELAY_S", 5, 5,
        "[APP]\nPAYLOAD_START_DELAY_S=5\nVERBOSE=false\n");
    row("stored text wins", "[APP]\nPAYLOAD_START_DELAY_S=7\n", "PAYLOAD_START_DELAY_S", 5,
        QStringLiteral("7"), "[APP]\nPAYLOAD_START_DELAY_S=7\nVERBOSE=false\n");
    row("text default", QString(), "NOTE", "a b", "a b", "[APP]\nNOTE=a b\nVERBOSE=false\n");
    row("set default, stored wins", "[APP]\nPAYLOAD_START_DELAY_S=7\nVERBOSE=true\n",
        "PAYLOAD_START_DELAY_S", 9, QVariant(), "[APP]\nPAYLOAD_START_DELAY_S=7\nVERBOSE=true\n");
    row("set default, written at sync", "[APP]\nVERBOSE=true\n", "TELEMETRY_PERIOD_MS", 100,
        QVariant(), "[APP]\nTELEMETRY_PERIOD_MS=100\nVERBOSE=true\n");
}

void TstApp::settingValue()
{
    QFETCH(QString, before);
    QFETCH(QByteArray, name);
    QFETCH(QVariant, defaultValue);
    QFETCH(QVariant, value);
    QFETCH(QString, after);
    const QString path = openStore(before);
    if (value.isValid()) {
        const QVariant got = app()->settingValue("APP", name, defaultValue);
        QCOMPARE(got, value);
        QCOMPARE(got.userType(), value.userType());
    } else {
        app()->setSettingDefault("APP", name, defaultValue);
        QCOMPARE(readText(path), before);
    }
    app()->syncSettings();
    QCOMPARE(readText(path), after);
}

void TstApp::updateSetting_data()
{
    QTest::addColumn<QByteArray>("group");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("emitted"); // empty: an unknown setting
    QTest::addColumn<QString>("file");
    const auto row = [](const char *tag, const char *group, const char *name, const QVariant &value,
                        const char *emitted, const QString &file) {
        QTest::newRow(tag) << QByteArray(group) << QByteArray(name) << value
                           << QString::fromUtf8(emitted) << file;
    };
    row("bool TRUE", "APP", "VERBOSE", "TRUE", "APP_VERBOSE(bool) true", "[APP]\nVERBOSE=TRUE\n");
    row("bool 1", "APP", "VERBOSE", "1", "APP_VERBOSE(bool) true", "[APP]\nVERBOSE=1\n");
    for (const char *text : {"yes", "on", "2"})
        row(text, "APP", "VERBOSE", text, "APP_VERBOSE(bool) false",
            QStringLiteral("[APP]\nVERBOSE=%1\n").arg(QLatin1String(text)));
    row("float", "ECHOSOUNDER", "MAX_DEPTH_M", "12.5", "ECHOSOUNDER_MAX_DEPTH_M(float) 12.5",
        "[APP]\nVERBOSE=false\n\n[ECHOSOUNDER]\nMAX_DEPTH_M=12.5\n");
    row("uint", "APP", "LOG_SPLIT_TIME_S", "4000000000", "APP_LOG_SPLIT_TIME_S(uint) 4000000000",
        "[APP]\nLOG_SPLIT_TIME_S=4000000000\nVERBOSE=false\n");
    row("ushort wraps", "MAV", "SYSTEM_ID", 70000, "MAV_SYSTEM_ID(ushort) 4464",
        "[APP]\nVERBOSE=false\n\n[MAV]\nSYSTEM_ID=70000\n");
    row("uchar wraps", "GPR_SIMULATOR", "SAMPLE_BIT_DEPTH", 300,
        "GPR_SIMULATOR_SAMPLE_BIT_DEPTH(uchar) 44",
        "[APP]\nVERBOSE=false\n\n[GPR_SIMULATOR]\nSAMPLE_BIT_DEPTH=300\n");
    row("int", "APP", "TELEMETRY_PERIOD_MS", 250, "APP_TELEMETRY_PERIOD_MS(int) 250",
        "[APP]\nTELEMETRY_PERIOD_MS=250\nVERBOSE=false\n");
    row("int from text", "APP", "TELEMETRY_PERIOD_MS", "abc", "APP_TELEMETRY_PERIOD_MS(int) 0",
        "[APP]\nTELEMETRY_PERIOD_MS=abc\nVERBOSE=false\n");
    row("QString", "KELVANE_SIMULATOR", "SERIAL_DEVICE", "/dev/pts/7",
        "KELVANE_SIMULATOR_SERIAL_DEVICE(QString) /dev/pts/7",
        "[APP]\nVERBOSE=false\n\n[KELVANE_SIMULATOR]\nSERIAL_DEVICE=/dev/pts/7\n");
    // Unknown: nothing announced, nothing stored, the file never written.
    row("unknown", "APP", "NO_SUCH", 1, "", "");
}

void TstApp::updateSetting()
{
    QFETCH(QByteArray, group);
    QFETCH(QByteArray, name);
    QFETCH(QVariant, value);
    QFETCH(QString, emitted);
    QFETCH(QString, file);
    const QString path = openStore();
    CatalogueSpy spy(app());
    LogCapture log;
    app()->updateSetting(group, name, value);
    QCOMPARE(
        log.take(),
        QStringList {emitted.isEmpty()
                         ? QStringLiteral("warning WARN: Settings APP_NO_SUCH not found")
                         : QStringLiteral("info Updated: %1/%2=%3")
                               .arg(QLatin1String(group), QLatin1String(name), value.toString())});
    QCOMPARE(spy.fired(), emitted.isEmpty() ? QStringList() : QStringList {emitted});
    QCOMPARE(readText(path), file);
}

void TstApp::receiverReadsOldValue()
{
    const QString path =
        openStore(QStringLiteral("[APP]\nPAYLOAD_START_DELAY_S=5\nVERBOSE=true\n"));
    QObject context;
    QStringList seen;
    connect(app(), &App::APP_PAYLOAD_START_DELAY_S, &context, [&](int value) {
        seen << QString::number(value)
             << app()->settingValue("APP", "PAYLOAD_START_DELAY_S").toString();
    });
    LogCapture log;
    app()->updateSetting("APP", "PAYLOAD_START_DELAY_S", "9");
    QCOMPARE(seen, (QStringList {"9", "5"}));
    QCOMPARE(app()->settingValue("APP", "PAYLOAD_START_DELAY_S").toString(), QStringLiteral("9"));

    // The verbose flag follows the signal, which alone writes nothing.
    QVERIFY(app()->isVerbose());
    emit app()->APP_VERBOSE(false);
    QVERIFY(!app()->isVerbose());
    app()->syncSettings();
    QCOMPARE(readText(path), QStringLiteral("[APP]\nPAYLOAD_START_DELAY_S=9\nVERBOSE=true\n"));
    app()->updateSetting("APP", "VERBOSE", "TRUE");
    QVERIFY(app()->isVerbose());
    QCOMPARE(log.take(),
             (QStringList {"info Updated: APP/PAYLOAD_START_DELAY_S=9",
                           "info Updated: APP/VERBOSE=TRUE"}));
}

void TstApp::removeObsoleteSettings_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("after");
    const QString reserved = QStringLiteral("[APP]\nVERBOSE=true\n\n[AUTOPILOTS]\nA=1\n\n"
                                            "[Outputs]\nC\\D=3\n\n[payloads]\nB=2\n");
    QTest::newRow("reserved groups, any case") << reserved << reserved;
    QTest::newRow("lower-case app/verbose") << "[APP]\nVERBOSE=true\n\n[app]\nverbose=false\n"
                                            << "[APP]\nVERBOSE=true\n";
    QTest::newRow("APP/SUB/NAME") << "[APP]\nSUB\\NAME=1\nVERBOSE=true\n"
                                  << "[APP]\nVERBOSE=true\n";
    QTest::newRow("unknown setting")
        << "[APP]\nVERBOSE=true\n\n[ECHOSOUNDER]\nGAIN=3\nMAX_DEPTH_M=40\n"
        << "[APP]\nVERBOSE=true\n\n[ECHOSOUNDER]\nMAX_DEPTH_M=40\n";
    QTest::newRow("outside any section")
        << "[General]\nAPP_VERBOSE=1\nPayloads=2\nroll=3\nstray=4\n\n[APP]\nVERBOSE=true\n"
        << "[General]\nAPP_VERBOSE=1\nPayloads=2\nroll=3\n\n[APP]\nVERBOSE=true\n";
    // Removing a key must not take the keys of a section of the same name along.
    QTest::newRow("outside any section, named like a section")
        << "[General]\nAPP=1\n\n[APP]\nVERBOSE=true\n"
        << "[APP]\nVERBOSE=true\n";
}

void TstApp::removeObsoleteSettings()
{
    QFETCH(QString, before);
    QFETCH(QString, after);
    const QString path = openStore(before);
    app()->removeObsoleteSettings();
    QCOMPARE(readText(path), after);
}

void TstApp::sendMessageFromWorker()
{
    // The tagged form is proven through its users (tst_logged); this is the untagged one, sent
    // from a worker thread and delivered on the application's.
    QObject context;
    QList<QPair<TextToGround, QThread *>> got;
    connect(app(), &App::textToGround, &context,
            [&](const TextToGround &m) { got << qMakePair(m, QThread::currentThread()); });
    std::unique_ptr<QThread> worker(QThread::create(
        [] { app()->sendMessage(QStringLiteral("Port lost"), TextToGround::Error); }));
    worker->start();
    QVERIFY(worker->wait(5000));
    // The worker has returned and this thread was blocked meanwhile: nothing ran inside the call.
    QVERIFY(got.isEmpty());
    QTRY_COMPARE(got.size(), 1);
    QCOMPARE(got[0].first.text, QStringLiteral("Port lost"));
    QCOMPARE(int(got[0].first.type), int(TextToGround::Error));
    QCOMPARE(got[0].second, app()->thread());
}

void TstApp::unusableStore_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("directory") << dir.path();
    const QString file = dir.filePath(QStringLiteral("plain-file"));
    writeText(file, QStringLiteral("x"));
    QTest::newRow("under a regular file") << file + QStringLiteral("/settings.ini");
}

void TstApp::unusableStore()
{
    QFETCH(QString, path);
    app()->loadSettings(path);
    LogCapture log;
    CatalogueSpy spy(app());
    QCOMPARE(app()->settingValue("APP", "PAYLOAD_START_DELAY_S", 5), QVariant(5));
    app()->updateSetting("APP", "PAYLOAD_START_DELAY_S", "9");
    app()->removeObsoleteSettings();
    app()->syncSettings();
    QCOMPARE(app()->settingValue("APP", "PAYLOAD_START_DELAY_S", 5).toInt(), 9);
    QCOMPARE(spy.fired(), QStringList {"APP_PAYLOAD_START_DELAY_S(int) 9"});
    QCOMPARE(log.take(), QStringList {"info Updated: APP/PAYLOAD_START_DELAY_S=9"});
    QVERIFY(app()->settings()->status() != QSettings::NoError);
}

int main(int argc, char **argv)
{
    // The fallback store lives in the user's configuration directory: use a scratch one.
    QTemporaryDir configHome;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome.path()));
    QCoreApplication::setOrganizationName(QStringLiteral("kelvane-tests"));
    App app(argc, argv);
    TstApp test(configHome.path());
    return QTest::qExec(&test, argc, argv);
}

#include "tst_app.moc"
