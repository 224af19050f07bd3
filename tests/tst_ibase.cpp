#include "datarows.h"
#include "ibase.h"
#include "logcapture.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

class Echo : public IBase
{
public:
    QString id() const override { return QStringLiteral("ECHO"); }
};

} // namespace

class TstIBase : public QObject
{
    Q_OBJECT

private slots:
    void runSystemCommand_data()
    {
        addRows("ibase-commands.txt", {"command", "result", "written", "line"});
    }
    void runSystemCommand();

private:
    QTemporaryDir dir;
};

void TstIBase::runSystemCommand()
{
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, result);
    QFETCH(QByteArray, written);
    QFETCH(QByteArray, line);
    const QString path = dir.path() + QStringLiteral("/written");
    QFile::remove(path);
    LogCapture log;
    QCOMPARE(Echo().runSystemCommand(QString::fromUtf8(command).replace("%1", path)),
             result == "true");
    QCOMPARE(log.take(), QStringList {QString::fromUtf8(line).replace("%1", path)});
    if (!written.isEmpty()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), written);
    }
}

QTEST_APPLESS_MAIN(TstIBase)

#include "tst_ibase.moc"
