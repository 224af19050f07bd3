#include "app.h"
#include "ibase.h"
#include "logcapture.h"

#include <QtTest>

namespace {

// A component whose identifier and trace prefix the test chooses.
class Component : public IBase
{
public:
    Component(const QString &idText, const QString &prefixText = QString())
        : idText(idText), prefixText(prefixText)
    {
    }
    QString id() const override { return idText; }
    QString prefix() const override { return prefixText; }

private:
    QString idText;
    QString prefixText;
};

} // namespace

class TstLogged : public QObject
{
    Q_OBJECT

private slots:
    void sendBeforeApp(); // first: no application object yet
    void preamble_data();
    void preamble();
    void trace_data();
    void trace();
    void sendToGround_data();
    void sendToGround();
};

void TstLogged::sendBeforeApp()
{
    QVERIFY(!QCoreApplication::instance());
    LogCapture log;
    Component component(QStringLiteral("ECHO"));
    component.sendInfo(QStringLiteral("nobody listens"));
    component.sendError(QStringLiteral("nobody listens"));
    QCOMPARE(log.take(), QStringList());
}

void TstLogged::preamble_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("line");
    QTest::newRow("identifier") << "ECHO"
                                << "warning [ECHO] WARN: Unable to open \"/dev/pts/1\"";
    QTest::newRow("no identifier") << ""
                                   << "warning WARN: Unable to open \"/dev/pts/1\"";
    QTest::newRow("identifier with a quote")
        << "A\"B"
        << "warning [A\"B] WARN: Unable to open \"/dev/pts/1\"";
}

void TstLogged::preamble()
{
    QFETCH(QString, id);
    QFETCH(QString, line);
    LogCapture log;
    // The preamble and plain char texts stay unquoted; a QString item after it is quoted again.
    Component(id).addPreamble(qWarning()) << "WARN:"
                                          << "Unable to open" << QStringLiteral("/dev/pts/1");
    QCOMPARE(log.take(), QStringList {line});
}

void TstLogged::trace_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("tag");
    QTest::addColumn<QString>("appended"); // null: nothing streamed after the tag
    QTest::addColumn<QString>("line");
    const auto row = [](const char *tag, const char *id, const char *prefix, const char *tagText,
                        const char *appended, const char *line) {
        QTest::newRow(tag) << id << prefix << tagText << QString::fromUtf8(appended) << line;
    };
    row("empty tag", "ECHO", "", "", nullptr, "debug [ECHO] Dbg:");
    row("prefix and tag", "ECHO", "rx", "tcp", "a \"b\"",
        "debug [ECHO] Dbg: [rx] [tcp] \"a \\\"b\\\"\"");
    row("prefix only", "ECHO", "rx", "", nullptr, "debug [ECHO] Dbg: [rx]");
    row("no identifier", "", "", "tcp", "x", "debug Dbg: [tcp] \"x\"");
}

void TstLogged::trace()
{
    QFETCH(QString, id);
    QFETCH(QString, prefix);
    QFETCH(QString, tag);
    QFETCH(QString, appended);
    QFETCH(QString, line);
    LogCapture log;
    {
        QDebug stream = Component(id, prefix).trace(tag);
        if (!appended.isNull())
            stream << appended;
    }
    QCOMPARE(log.take(), QStringList {line});
}

void TstLogged::sendToGround_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<bool>("error");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("type");
    QTest::newRow("error") << "ECHO" << true << "[ECHO] Port lost" << int(TextToGround::Error);
    QTest::newRow("info") << "ECHO" << false << "[ECHO] Port lost" << int(TextToGround::Info);
    QTest::newRow("info, no identifier") << "" << false << "Port lost" << int(TextToGround::Info);
}

void TstLogged::sendToGround()
{
    QFETCH(QString, id);
    QFETCH(bool, error);
    QFETCH(QString, text);
    QFETCH(int, type);
    int argc = 1;
    char name[] = "tst_logged";
    char *argv[] = {name, nullptr};
    App app(argc, argv);
    QList<TextToGround> got;
    connect(&app, &App::textToGround, &app, [&](const TextToGround &m) { got << m; });
    Component component(id);
    if (error)
        component.sendError(QStringLiteral("Port lost"));
    else
        component.sendInfo(QStringLiteral("Port lost"));
    QCOMPARE(got.size(), 1);
    QCOMPARE(got[0].text, text);
    QCOMPARE(int(got[0].type), type);
}

QTEST_APPLESS_MAIN(TstLogged)

#include "tst_logged.moc"
