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
    QTest::newRow("true") << "ECHO"
                          << "true" << true << "info [ECHO] \"true\" -> 0" << QString();
    QTest::newRow("false") << "ECHO"
                           << "false" << false << "info [ECHO] \"false\" -> 256" << QString();
    QTest::newRow("exit 3") << "ECHO"
                            << "exit 3" << false << "info [ECHO] \"exit 3\" -> 768" << QString();
    QTest::newRow("not found") << "ECHO"
                               << "kelvane-no-such-command 2>/dev/null" << false
                               << "info [ECHO] \"kelvane-no-such-command 2>/dev/null\" -> 32512"
                               << QString();
    QTest::newRow("empty") << "ECHO"
                           << "" << true << "info [ECHO] \"\" -> 0" << QString();
    QTest::newRow("no identifier") << ""
                                   << "true" << true << "info \"true\" -> 0" << QString();
    QTest::newRow("quote and backslash")
        << "ECHO"
        << "printf '%s' \"a\\\\\\\"b\" > %1" << true
        << "info [ECHO] \"printf '%s' \\\"a\\\\\\\\\\\\\\\"b\\\" > %1\" -> 0"
        << "a\\\"b";
    QTest::newRow("non-Latin-1") << "ECHO" << QString::fromUtf8("printf '%s' 'aж€' > %1") << true
                                 << QString::fromUtf8("info [ECHO] \"printf '%s' 'aж€' > %1\" -> 0")
                                 << "a??";
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
