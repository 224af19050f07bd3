// NetAddress as plain code: the addresses of --tcp and --udp, read and written back.

#include "netaddress.h"

#include <QtTest>

class TstNetAddress : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void refused_data();
    void refused();
};

void TstNetAddress::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("written"); // as toString() writes it back
    QTest::addColumn<bool>("loopback");
    QTest::addColumn<bool>("multicast");
    QTest::newRow("a port alone takes the default address") << "10110"
                                                            << "127.0.0.1:10110" << true << false;
    QTest::newRow("all of 127/8 is loopback") << "127.1.2.3:1"
                                              << "127.1.2.3:1" << true << false;
    QTest::newRow("IPv4 multicast") << "239.255.0.1:10110"
                                    << "239.255.0.1:10110" << false << true;
    QTest::newRow("the highest port") << "10.0.0.1:65535"
                                      << "10.0.0.1:65535" << false << false;
    QTest::newRow("IPv6 in brackets") << "[::1]:10110"
                                      << "[::1]:10110" << true << false;
    QTest::newRow("IPv4-mapped loopback") << "[::ffff:127.0.0.1]:5"
                                          << "[::ffff:127.0.0.1]:5" << true << false;
    QTest::newRow("IPv6 multicast") << "[ff02::1]:10110"
                                    << "[ff02::1]:10110" << false << true;
}

void TstNetAddress::parse()
{
    QFETCH(QString, text);
    QFETCH(QString, written);
    QFETCH(bool, loopback);
    QFETCH(bool, multicast);
    NetAddress address;
    QString error;
    QVERIFY2(NetAddress::parse(text, "127.0.0.1", &address, &error), qPrintable(error));
    QCOMPARE(address.toString(), written);
    QCOMPARE(address.isLoopback(), loopback);
    QCOMPARE(address.isMulticast(), multicast);
    QCOMPARE(int(address.port()), written.section(QLatin1Char(':'), -1).toInt());
}

void TstNetAddress::refused_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("error");
    QTest::newRow("a port above 65535") << "127.0.0.1:65536"
                                        << "no port from 0 to 65535 in \"127.0.0.1:65536\"";
    QTest::newRow("a port with a sign") << "+5"
                                        << "no port from 0 to 65535 in \"+5\"";
    QTest::newRow("no port") << "127.0.0.1:"
                             << "no port from 0 to 65535 in \"127.0.0.1:\"";
    QTest::newRow("an IPv4 address out of range")
        << "300.1.2.3:10110"
        << "no IP address in \"300.1.2.3:10110\" (give ADDR:PORT with a numeric address such as "
           "127.0.0.1 or [::1])";
    QTest::newRow("a host name, not an address")
        << "localhost:10110"
        << "no IP address in \"localhost:10110\" (give ADDR:PORT with a numeric address such as "
           "127.0.0.1 or [::1])";
    QTest::newRow("IPv6 without brackets: its last group would be the port")
        << "::1:10110"
        << "no IP address in \"::1:10110\" (give ADDR:PORT with a numeric address such as "
           "127.0.0.1 or [::1])";
}

// Refused with the text named, and *out left as it was.
void TstNetAddress::refused()
{
    QFETCH(QString, text);
    QFETCH(QString, error);
    NetAddress address;
    QString why;
    QVERIFY(NetAddress::parse(QStringLiteral("1"), "127.0.0.1", &address, &why));
    const QString before = address.toString();
    QVERIFY(!NetAddress::parse(text, "127.0.0.1", &address, &why));
    QCOMPARE(why, error);
    QCOMPARE(address.toString(), before);
}

QTEST_GUILESS_MAIN(TstNetAddress)
#include "tst_netaddress.moc"
