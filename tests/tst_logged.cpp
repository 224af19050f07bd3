#include "app.h"
#include "datarows.h"
#include "ibase.h"
#include "logcapture.h"

#include <QtTest>

namespace {

// A component whose identifier and trace prefix the test chooses.
struct Component : IBase
{
    Component(const QString &idText, const QString &prefixText = QString())
        : idText(idText), prefixText(prefixText)
    {
    }
    QString id() const override { return idText; }
    QString prefix() const override { return prefixText; }
    const QString idText, prefixText;
};

} // namespace

class TstLogged : public QObject
{
    Q_OBJECT

private slots:
    void sendBeforeApp(); // first: no application object yet
    void preamble_data() { addRows("logged-preamble.txt", {"id", "line"}); }
    void preamble();
    void trace_data() { addRows("logged-trace.txt", {"id", "prefix", "tag", "appended", "line"}); }
    void trace();
    void sendToGround();
};

void TstLogged::sendBeforeApp()
{
    QVERIFY(!QCoreApplication::instance());
    LogCapture log;
    Component(QStringLiteral("ECHO")).sendInfo(QStringLiteral("nobody listens"));
    Component(QStringLiteral("ECHO")).sendError(QStringLiteral("nobody listens"));
    QCOMPARE(log.take(), QStringList());
}

void TstLogged::preamble()
{
    QFETCH(QByteArray, id);
    QFETCH(QByteArray, line);
    LogCapture log;
    // The preamble and plain char texts stay unquoted; a QString item after it is quoted again.
    Component(QString::fromUtf8(id)).addPreamble(qWarning())
        << "WARN:"
        << "Unable to open" << QStringLiteral("/dev/pts/1");
    QCOMPARE(log.take(), QStringList {QString::fromUtf8(line)});
}

void TstLogged::trace()
{
    QFETCH(QByteArray, id);
    QFETCH(QByteArray, prefix);
    QFETCH(QByteArray, tag);
    QFETCH(QByteArray, appended);
    QFETCH(QByteArray, line);
    LogCapture log;
    {
        QDebug stream = Component(QString::fromUtf8(id), QString::fromUtf8(prefix))
                            .trace(QString::fromUtf8(tag));
        if (!appended.isEmpty())
            stream << QString::fromUtf8(appended);
    }
    QCOMPARE(log.take(), QStringList {QString::fromUtf8(line)});
}

void TstLogged::sendToGround()
{
    int argc = 1;
    char name[] = "tst_logged";
    char *argv[] = {name, nullptr};
    App app(argc, argv);
    QStringList got;
    connect(&app, &App::textToGround, &app,
            [&](const TextToGround &m) { got << QStringLiteral("%1 %2").arg(m.type).arg(m.text); });
    Component(QStringLiteral("ECHO")).sendError(QStringLiteral("Port lost"));
    Component(QStringLiteral("ECHO")).sendInfo(QStringLiteral("Port found"));
    Component(QString()).sendInfo(QStringLiteral("Port found"));
    QCOMPARE(got, (QStringList {"1 [ECHO] Port lost", "0 [ECHO] Port found", "0 Port found"}));
}

QTEST_APPLESS_MAIN(TstLogged)

#include "tst_logged.moc"
