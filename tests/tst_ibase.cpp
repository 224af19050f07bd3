#include "ibase.h"
#include "logcapture.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

class Component : public IBase
{
public:
    explicit Component(const QString &idText) : idText(idText) { }
    QString id() const override { return idText; }

private:
    QString idText;
};

} // namespace

class TstIBase : public QObject
{
    Q_OBJECT

private slots:
    void runSystemCommand_data();
    void runSystemCommand();

private:
    QTemporaryDir dir;
};

void TstIBase::runSystemCommand_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("command"); // %1: a file the command may write
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("written"); // what the shell wrote to %1; null: nothing checked
    const auto row = [](const char *tag, const char *id, const char *command, bool result,
                        const char *line, const char *written = nullptr) {
        QTest::newRow(tag) << QString::fromUtf8(id) << QString::fromUtf8(command) << result
                           << QString::fromUtf8(line) << QString::fromUtf8(written);
    };
    // The status is the raw wait status: exit code times 256.
    row("true", "ECHO", "true", true, "info [ECHO] \"true\" -> 0");
    row("false", "ECHO", "false", false, "info [ECHO] \"false\" -> 256");
    row("exit 3", "ECHO", "exit 3", false, "info [ECHO] \"exit 3\" -> 768");
    row("not found", "ECHO", "kelvane-no-such-command 2>/dev/null", false,
        "info [ECHO] \"kelvane-no-such-command 2>/dev/null\" -> 32512");
    row("empty", "ECHO", "", true, "info [ECHO] \"\" -> 0");
    row("no identifier", "", "true", true, "info \"true\" -> 0");
    row("quote and backslash", "ECHO", "printf '%s' \"a\\\\\\\"b\" > %1", true,
        "info [ECHO] \"printf '%s' \\\"a\\\\\\\\\\\\\\\"b\\\" > %1\" -> 0", "a\\\"b");
    row("non-Latin-1", "ECHO", "printf '%s' 'aж€' > %1", true,
        "info [ECHO] \"printf '%s' 'aж€' > %1\" -> 0", "a??");
}

void TstIBase::runSystemCommand()
{
    QFETCH(QString, id);
    QFETCH(QString, command);
    QFETCH(bool, result);
    QFETCH(QString, line);
    QFETCH(QString, written);
    const QString path =
        dir.filePath(QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-'));
    command.replace(QLatin1String("%1"), path);
    line.replace(QLatin1String("%1"), path);
    LogCapture log;
    QCOMPARE(Component(id).runSystemCommand(command), result);
    QCOMPARE(log.take(), QStringList {line});
    if (!written.isNull()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromLatin1(file.readAll()), written);
    }
}

QTEST_APPLESS_MAIN(TstIBase)

#include "tst_ibase.moc"
