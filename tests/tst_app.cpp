#include "app.h"
#include "datarows.h"
#include "logcapture.h"

#include <QMetaMethod>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>

#include <memory>
#include <thread>
#include <vector>

static App *app()
{
    return static_cast<App *>(QCoreApplication::instance());
}

// Every emission of App's own signals as "SIGNATURE value": which fired, how often, with what.
struct CatalogueSpy : std::vector<std::unique_ptr<QSignalSpy>>
{
    CatalogueSpy()
    {
        const QMetaObject &meta = App::staticMetaObject;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
            emplace_back(new QSignalSpy(app(), "2" + meta.method(i).methodSignature()));
    }

    QStringList fired() const
    {
        QStringList out;
        for (const auto &spy : *this)
            for (const QVariantList &args : *spy) // a uchar would print as a character
                out << spy->signal() + ' ' +
                        (args[0].userType() == QMetaType::UChar
                             ? QByteArray::number(args[0].toUInt())
                             : args[0].toString().toUtf8());
        return out;
    }
};

class TstApp : public QObject
{
    Q_OBJECT

private slots:
    void fallbackStore(); // first: the store is not opened yet
    void catalogue();
    void layout();
    void settingValue();
    void updateSetting_data()
    {
        addRows("app-update.txt", {"group", "name", "value", "emitted", "file", "line"});
    }
    void updateSetting();
    void receiverReadsOldValue();
    void removeObsoleteSettings_data() { addRows("app-prune.txt", {"before", "after"}); }
    void removeObsoleteSettings();
    void sendMessageFromWorker();

private:
    // Opens the store on a new file holding text (no file for an empty text).
    QString openStore(const QString &text = QString())
    {
        const QString path = dir.path() + QStringLiteral("/store%1.ini").arg(++stores);
        if (QFile file(path); !text.isEmpty() && file.open(QIODevice::WriteOnly))
            file.write(text.toUtf8());
        app()->loadSettings(path);
        return path;
    }

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
    QCOMPARE(
        readFile(QFile::decodeName(qgetenv("XDG_CONFIG_HOME")) + "/kelvane-tests/tst_app.conf"),
        QByteArray("[APP]\nSTATUS_PERIOD_MS=1000\n"));

    // From here on the given file is the store; a missing key without default is stored empty.
    const QString path = openStore();
    QCOMPARE(app()->settingValue("APP", "STATUS_PERIOD_MS"), QVariant());
    app()->syncSettings();
    QCOMPARE(readFile(path), QByteArray("[APP]\nSTATUS_PERIOD_MS=@Invalid()\nVERBOSE=false\n"));
    QCOMPARE(log.take(), QStringList());
}

void TstApp::catalogue()
{
    QStringList signatures;
    const QMetaObject &meta = App::staticMetaObject;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        QVERIFY2(method.methodType() == QMetaMethod::Signal &&
                     method.access() == QMetaMethod::Public &&
                     method.returnType() == QMetaType::Void &&
                     method.parameterNames() == QList<QByteArray> {"value"},
                 method.methodSignature());
        signatures << QString::fromLatin1(method.methodSignature());
    }
    QCOMPARE(signatures, QString::fromLatin1(testData("app-catalogue.txt")).trimmed().split('\n'));
    QCOMPARE(app()->debugOptions,
             (QHash<QString, bool> {
                 {"desktop", false}, {"gps", false}, {"recording", false}, {"yaw", false}}));
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

void TstApp::settingValue()
{
    QCOMPARE(App::settingNameToKey("app", "Verbose", "_"), QStringLiteral("app_Verbose"));
    QCOMPARE(App::settingNameToKey(nullptr, "VERBOSE", "/"), QStringLiteral("/VERBOSE"));
    // A stored value wins over the default, whatever its type; defaults reach the file at the
    // next sync, not before.
    const QString path = openStore(QStringLiteral("[APP]\nPAYLOAD_START_DELAY_S=7\n"));
    QCOMPARE(app()->settingValue("APP", "PAYLOAD_START_DELAY_S", 5), QVariant("7"));
    QCOMPARE(app()->settingValue("APP", "TELEMETRY_PERIOD_MS", 100), QVariant(100));
    app()->setSettingDefault("APP", "PAYLOAD_START_DELAY_S", 9);
    app()->setSettingDefault("APP", "STATUS_PERIOD_MS", "a b");
    QCOMPARE(readFile(path), QByteArray("[APP]\nPAYLOAD_START_DELAY_S=7\n"));
    app()->syncSettings();
    QCOMPARE(readFile(path),
             QByteArray("[APP]\nPAYLOAD_START_DELAY_S=7\nSTATUS_PERIOD_MS=a b\n"
                        "TELEMETRY_PERIOD_MS=100\nVERBOSE=false\n"));
}

void TstApp::updateSetting()
{
    QFETCH(QByteArray, group);
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, value);
    QFETCH(QByteArray, emitted);
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, line);
    const QString path = openStore();
    CatalogueSpy spy;
    LogCapture log;
    app()->updateSetting(group, name, QString::fromUtf8(value));
    QCOMPARE(log.take(), QStringList {QString::fromUtf8(line)});
    QCOMPARE(spy.fired(), emitted.isEmpty() ? QStringList() : QStringList {emitted});
    QCOMPARE(readFile(path), file);
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
    app()->updateSetting("APP", "PAYLOAD_START_DELAY_S", "9");
    QCOMPARE(seen, (QStringList {"9", "5"}));

    // The verbose flag follows the signal, which alone writes nothing.
    QVERIFY(app()->isVerbose());
    emit app()->APP_VERBOSE(false);
    QVERIFY(!app()->isVerbose());
    // Emitted on another thread, the flag changes later, on the application's.
    std::thread([] { emit app()->APP_VERBOSE(true); }).join();
    QVERIFY(!app()->isVerbose());
    QTRY_VERIFY(app()->isVerbose());
    emit app()->APP_VERBOSE(false);
    app()->syncSettings();
    QCOMPARE(readFile(path), QByteArray("[APP]\nPAYLOAD_START_DELAY_S=9\nVERBOSE=true\n"));
}

void TstApp::removeObsoleteSettings()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    const QString path = openStore(QString::fromUtf8(before));
    app()->removeObsoleteSettings();
    QCOMPARE(readFile(path), after);
}

void TstApp::sendMessageFromWorker()
{
    // Sent from a worker thread, emitted later on the application's: a direct receiver runs
    // where the signal is emitted.
    QObject context;
    QStringList got;
    connect(
        app(), &App::textToGround, &context,
        [&](const TextToGround &m) {
            got << QStringLiteral("%1 %2 %3")
                       .arg(m.text)
                       .arg(m.type)
                       .arg(QThread::currentThread() == app()->thread() ? "in app" : "elsewhere");
        },
        Qt::DirectConnection);
    std::thread([] {
        app()->sendMessage(QStringLiteral("Port lost"), TextToGround::Error);
    }).join();
    QVERIFY(got.isEmpty());
    QTRY_COMPARE(got, QStringList {"Port lost 1 in app"});
}

int main(int argc, char **argv)
{
    // The fallback store lives in the user's configuration directory: use a scratch one.
    QTemporaryDir configHome;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome.path()));
    QCoreApplication::setOrganizationName(QStringLiteral("kelvane-tests"));
    App app(argc, argv);
    TstApp test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_app.moc"
