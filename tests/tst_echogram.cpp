#include "echogram.h"

#include <QtTest>

static Ping ping(int frequency, int samples, double depth)
{
    Ping p;
    p.frequency = frequency;
    p.depth = depth;
    p.samplingFrequency = 100000;
    p.hasData = samples >= 0;
    p.samples = QVector<int>(std::max(0, samples), 0);
    return p;
}

static double luma(QRgb c)
{
    return 0.2126 * qRed(c) + 0.7152 * qGreen(c) + 0.0722 * qBlue(c);
}

class tst_Echogram : public QObject
{
    Q_OBJECT

private slots:
    void colourMap();
    void layout_data();
    void layout();
    void pixels();
    void longRunKeepsLastColumns();
    void panelWithoutDataSaysWhy();
};

void tst_Echogram::colourMap()
{
    QCOMPARE(Echogram::colour(0), qRgb(0x44, 0x01, 0x54));
    QCOMPARE(Echogram::colour(1023), qRgb(0xfd, 0xe7, 0x25));
    QCOMPARE(Echogram::colour(-7), Echogram::colour(0));
    QCOMPARE(Echogram::colour(4000), Echogram::colour(1023));
    // Perceptual: lightness grows with the amplitude and never turns back (beyond the rounding
    // of one channel by one level), and it spans the map's whole range.
    for (int a = 1; a < 1024; ++a)
        QVERIFY2(luma(Echogram::colour(a)) >= luma(Echogram::colour(a - 1)) - 0.5,
                 qPrintable(QString::number(a)));
    QVERIFY(luma(Echogram::colour(1023)) - luma(Echogram::colour(0)) > 180);
}

void tst_Echogram::layout_data()
{
    QTest::addColumn<QVector<int>>("frequencies"); // one ping each
    QTest::addColumn<QVector<int>>("panels"); // frequency of each panel, top down
    QTest::addColumn<int>("columnWidth");

    QTest::newRow("one ping") << QVector<int> {450000} << QVector<int> {450000} << 48;
    QTest::newRow("dual, low first")
        << QVector<int> {50000, 200000, 50000, 200000} << QVector<int> {200000, 50000} << 48;
    QTest::newRow("unknown channel last")
        << QVector<int> {-1, 50000, 200000} << QVector<int> {200000, 50000, -1} << 48;
    QTest::newRow("more pings than 480") << QVector<int>(700, -1) << QVector<int> {-1} << 1;
}

void tst_Echogram::layout()
{
    QFETCH(QVector<int>, frequencies);
    QFETCH(QVector<int>, panels);
    QFETCH(int, columnWidth);

    Echogram e;
    for (int f : frequencies)
        e.addPing(ping(f, 100, 0.3));
    QCOMPARE(e.panelCount(), panels.size());
    int widest = 0;
    for (int p = 0; p < panels.size(); ++p) {
        QCOMPARE(e.panelFrequency(p), panels.at(p));
        const int width =
            columnWidth * int(std::count(frequencies.begin(), frequencies.end(), panels.at(p)));
        QCOMPARE(e.plotRect(p),
                 QRect(Echogram::LeftMargin, p * Echogram::PanelHeight + Echogram::TopMargin, width,
                       Echogram::PlotHeight));
        widest = std::max(widest, width);
    }
    QCOMPARE(e.columnWidth(), columnWidth);
    QCOMPARE(e.render().size(),
             QSize(Echogram::LeftMargin + widest + Echogram::RightMargin,
                   int(panels.size()) * Echogram::PanelHeight));
}

// Each row shows the strongest sample of the depths it covers, so that a lone sample is not lost
// among 25 to a row; a ping with fewer samples than its neighbour leaves the rows below its last
// sample empty, one without data is empty all the way down; the reported depth is drawn on every
// column.
void tst_Echogram::pixels()
{
    Echogram e;
    Ping lone = ping(50000, 10000, 5.0);
    lone.samples[6001] = 700;
    e.addPing(lone);
    e.addPing(ping(50000, 1000, 6.0));
    e.addPing(ping(50000, -1, 7.0));
    QCOMPARE(e.depthExtent(0), 10000 * 0.0075);
    const QImage image = e.render();
    const QRect plot = e.plotRect(0);
    const int w = e.columnWidth();
    auto pixel = [&](int column, int row) {
        return image.pixel(plot.left() + column * w + 1, plot.top() + row);
    };
    for (int row : {-1, 0, 1})
        QCOMPARE(pixel(0, 6001 / 25 + row), Echogram::colour(row ? 0 : 700));
    QCOMPARE(pixel(1, 1000 / 25 - 1), Echogram::colour(0));
    QCOMPARE(pixel(1, 1000 / 25), Echogram::NoDataColour);
    QCOMPARE(pixel(2, 10), Echogram::NoDataColour);
    for (int c = 0; c < 3; ++c)
        QCOMPARE(pixel(c, int((5.0 + c) / e.depthExtent(0) * Echogram::PlotHeight)),
                 Echogram::TraceColour);
}

void tst_Echogram::longRunKeepsLastColumns()
{
    Echogram e;
    for (int i = 0; i < Echogram::MaxColumns + 5; ++i)
        e.addPing(ping(200000, i == Echogram::MaxColumns + 4 ? 8 : 4, 0.01));
    QCOMPARE(e.pingCount(), Echogram::MaxColumns);
    QCOMPARE(e.render().width(),
             Echogram::LeftMargin + Echogram::MaxColumns + Echogram::RightMargin);
    // The last ping is the last column.
    QCOMPARE(e.depthExtent(0), 8 * 0.0075);
}

// NMEA pings carry no data block: their panel says so in its plot, where a panel of frames has
// nothing but the echoes and the trace.
void tst_Echogram::panelWithoutDataSaysWhy()
{
    for (const bool data : {false, true}) {
        Echogram e;
        for (int i = 0; i < 6; ++i)
            e.addPing(ping(data ? 450000 : -1, data ? 100 : -1, 0.3));
        const QImage image = e.render();
        const QRect plot = e.plotRect(0);
        int written = 0;
        for (int y = plot.top(); y <= plot.bottom(); ++y) {
            for (int x = plot.left(); x <= plot.right(); ++x) {
                const QRgb c = image.pixel(x, y);
                written += c != Echogram::NoDataColour && c != Echogram::TraceColour &&
                    c != Echogram::colour(0);
            }
        }
        QVERIFY2(data ? written == 0 : written > 100, qPrintable(QString::number(written)));
    }
}

QTEST_MAIN(tst_Echogram)
#include "tst_echogram.moc"
