#include "echogram.h"

#include <QImageWriter>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace {

// Viridis at nine evenly spaced points; between them the map is interpolated linearly, which
// stays within a few levels of the full table and keeps its even lightness ramp.
const QRgb viridisAnchors[] = {0x440154, 0x472d7b, 0x3b528b, 0x2c728e, 0x21918c,
                               0x28ae80, 0x5ec962, 0xaddc30, 0xfde725};

QVector<QRgb> makeColourTable()
{
    QVector<QRgb> table(1024);
    const int segments = int(sizeof viridisAnchors / sizeof viridisAnchors[0]) - 1;
    for (int a = 0; a < 1024; ++a) {
        const double t = a / 1023.0 * segments;
        const int i = std::min(int(t), segments - 1);
        const double f = t - i;
        const QRgb c0 = viridisAnchors[i];
        const QRgb c1 = viridisAnchors[i + 1];
        auto mix = [f](int x, int y) { return int(std::lround(x + (y - x) * f)); };
        table[a] =
            qRgb(mix(qRed(c0), qRed(c1)), mix(qGreen(c0), qGreen(c1)), mix(qBlue(c0), qBlue(c1)));
    }
    return table;
}

// A tick step of 1, 2 or 5 times a power of ten giving at most maxTicks intervals over span.
double tickStep(double span, int maxTicks)
{
    if (span <= 0)
        return 1.0;
    const double raw = span / maxTicks;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0}) {
        if (m * power >= raw)
            return m * power;
    }
    return 10.0 * power;
}

QString channelTitle(int frequency)
{
    const QString name = Ping::channelName(frequency);
    return name.isEmpty() ? QStringLiteral("channel unknown") : name;
}

double metresPerSample(int samplingFrequency)
{
    return 1500.0 / 2.0 / samplingFrequency;
}

} // namespace

void Echogram::addPing(const Ping &ping)
{
    auto it = std::find_if(panels.begin(), panels.end(),
                           [&ping](const Panel &p) { return p.frequency == ping.frequency; });
    if (it == panels.end()) {
        // Highest frequency on top; an unknown channel last.
        Panel panel;
        panel.frequency = ping.frequency;
        it = std::find_if(panels.begin(), panels.end(), [&ping](const Panel &p) {
            return ping.frequency > 0 && (p.frequency < ping.frequency || p.frequency <= 0);
        });
        it = panels.insert(it, panel);
    }
    Column column;
    column.hasData = ping.hasData;
    column.samples = ping.samples;
    column.depth = ping.depth;
    if (ping.samplingFrequency > 0)
        column.samplingFrequency = ping.samplingFrequency;
    if (it->columns.size() == MaxColumns) {
        it->columns.removeFirst();
        ++it->dropped;
    }
    it->columns.append(column);
}

int Echogram::pingCount() const
{
    int n = 0;
    for (const Panel &p : panels)
        n += p.columns.size();
    return n;
}

int Echogram::columnWidth() const
{
    int columns = 1;
    for (const Panel &p : panels)
        columns = std::max(columns, int(p.columns.size()));
    return qBound(1, 480 / columns, 48);
}

QRect Echogram::plotRect(int panel) const
{
    int columns = 0;
    if (panel >= 0 && panel < panels.size())
        columns = panels.at(panel).columns.size();
    const int width = std::max(1, columns) * columnWidth();
    return QRect(LeftMargin, panel * PanelHeight + TopMargin, width, PlotHeight);
}

double Echogram::depthExtent(int panel) const
{
    double extent = 0.0;
    if (panel >= 0 && panel < panels.size()) {
        for (const Column &c : panels.at(panel).columns) {
            extent = std::max(extent, c.samples.size() * metresPerSample(c.samplingFrequency));
            if (!std::isnan(c.depth))
                extent = std::max(extent, c.depth * 1.1);
        }
    }
    return extent > 0.0 ? extent : 1.0;
}

int Echogram::panelFrequency(int panel) const
{
    return panel >= 0 && panel < panels.size() ? panels.at(panel).frequency : -1;
}

QRgb Echogram::colour(int amplitude)
{
    static const QVector<QRgb> table = makeColourTable();
    return table.at(qBound(0, amplitude, 1023));
}

QImage Echogram::render() const
{
    const int count = std::max(1, int(panels.size()));
    int plotWidth = 0;
    for (int p = 0; p < count; ++p)
        plotWidth = std::max(plotWidth, plotRect(p).width());
    QImage image(LeftMargin + plotWidth + RightMargin, count * PanelHeight, QImage::Format_RGB32);
    image.fill(Qt::white);
    for (int p = 0; p < count; ++p)
        drawPanel(image, p);
    return image;
}

void Echogram::drawPanel(QImage &image, int index) const
{
    const QRect plot = plotRect(index);
    const double extent = depthExtent(index);
    const int w = columnWidth();
    const QList<Column> columns =
        index < panels.size() ? panels.at(index).columns : QList<Column>();

    // Columns: each pixel row shows the strongest sample of the depth interval it covers, so
    // that a narrow echo survives when there are more samples than rows.
    for (int c = 0; c < columns.size(); ++c) {
        const Column &column = columns.at(c);
        const double perSample = metresPerSample(column.samplingFrequency);
        const int n = column.samples.size();
        for (int y = 0; y < PlotHeight; ++y) {
            const double top = extent * y / PlotHeight;
            const double bottom = extent * (y + 1) / PlotHeight;
            int first = int(std::ceil(top / perSample - 1e-9));
            int last = int(std::ceil(bottom / perSample - 1e-9)) - 1;
            if (last < first) // fewer samples than rows: the nearest sample
                first = last = int(std::floor((top + bottom) / 2.0 / perSample));
            QRgb rgb = NoDataColour;
            if (column.hasData && first < n) {
                int strongest = 0;
                for (int i = first; i <= std::min(last, n - 1); ++i)
                    strongest = std::max(strongest, column.samples.at(i));
                rgb = colour(strongest);
            }
            QRgb *line = reinterpret_cast<QRgb *>(image.scanLine(plot.top() + y));
            for (int x = 0; x < w; ++x)
                line[plot.left() + c * w + x] = rgb;
        }
    }
    if (columns.isEmpty()) {
        for (int y = 0; y < PlotHeight; ++y) {
            QRgb *line = reinterpret_cast<QRgb *>(image.scanLine(plot.top() + y));
            for (int x = 0; x < plot.width(); ++x)
                line[plot.left() + x] = NoDataColour;
        }
    }

    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, false);

    // The reported depth: a one-pixel line across each column, joined column to column; thin,
    // so that the echo it should sit on stays visible above and below it.
    int previousY = -1;
    for (int c = 0; c < columns.size(); ++c) {
        const double depth = columns.at(c).depth;
        if (std::isnan(depth) || depth < 0 || depth > extent) {
            previousY = -1;
            continue;
        }
        const int y = plot.top() + std::min(PlotHeight - 1, int(depth / extent * PlotHeight));
        const int x = plot.left() + c * w;
        painter.fillRect(QRect(x, y, w, 1), QColor::fromRgb(TraceColour));
        if (previousY >= 0 && previousY != y) {
            const int from = std::min(previousY, y);
            painter.fillRect(QRect(x, from, 1, std::abs(previousY - y) + 1),
                             QColor::fromRgb(TraceColour));
        }
        previousY = y;
    }

    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(11);
    painter.setFont(font);
    painter.setPen(Qt::black);

    painter.drawRect(plot.adjusted(-1, -1, 0, 0));
    // Pings without a data block are NMEA sentences (or frames cut short): say so where the
    // echoes would be, so that an empty picture explains itself.
    const bool anyData =
        std::any_of(columns.begin(), columns.end(), [](const Column &c) { return c.hasData; });
    if (!columns.isEmpty() && !anyData) {
        painter.setPen(QColor::fromRgb(NoDataTextColour));
        painter.drawText(plot.adjusted(4, 4, -4, -4), Qt::AlignCenter | Qt::TextWordWrap,
                         QStringLiteral("No echo samples: NMEA sentences carry none. "
                                        "\"#output 2\" switches to echo frames."));
        painter.setPen(Qt::black);
    }
    const QString title = index < panels.size() ? channelTitle(panels.at(index).frequency)
                                                : QStringLiteral("no pings");
    QFont bold = font;
    bold.setBold(true);
    bold.setPixelSize(13);
    painter.setFont(bold);
    painter.drawText(
        QRect(plot.left(), plot.top() - TopMargin, plot.width() + RightMargin, TopMargin - 4),
        Qt::AlignLeft | Qt::AlignBottom, title);
    painter.setFont(font);

    // Depth axis.
    const double step = tickStep(extent, 8);
    const int decimals = step >= 1.0 ? 0 : int(std::ceil(-std::log10(step)));
    for (double d = 0.0; d <= extent + 1e-9; d += step) {
        const int y = plot.top() + int(d / extent * PlotHeight);
        painter.drawLine(plot.left() - 5, y, plot.left() - 1, y);
        const QString label = QString::number(d, 'f', decimals);
        painter.drawText(QRect(0, y - 8, plot.left() - 8, 16), Qt::AlignRight | Qt::AlignVCenter,
                         label);
    }
    painter.save();
    painter.translate(LeftMargin - 56, plot.top() + PlotHeight / 2);
    painter.rotate(-90);
    painter.drawText(QRect(-PlotHeight / 2, -8, PlotHeight, 16), Qt::AlignCenter,
                     QStringLiteral("depth, m"));
    painter.restore();

    // Ping axis: ping numbers of this channel, from 1 (counting the columns dropped).
    const int pings = columns.size();
    if (pings > 0) {
        const int first = (index < panels.size() ? panels.at(index).dropped : 0) + 1;
        const int last = first + pings - 1;
        const int pingStep = std::max(1, int(tickStep(pings, std::max(1, plot.width() / 60))));
        for (int n = first; n <= last;
             n = n == first ? (first / pingStep + 1) * pingStep : n + pingStep) {
            const int x = plot.left() + (n - first) * w + w / 2;
            painter.drawLine(x, plot.bottom() + 1, x, plot.bottom() + 5);
            painter.drawText(QRect(x - 30, plot.bottom() + 6, 60, 14),
                             Qt::AlignHCenter | Qt::AlignTop, QString::number(n));
        }
    }
    painter.drawText(QRect(plot.left(), plot.bottom() + 22, std::max(plot.width(), 60), 16),
                     Qt::AlignLeft | Qt::AlignTop, QStringLiteral("ping"));

    // Colour scale.
    const QRect bar(plot.right() + 24, plot.top(), 14, PlotHeight);
    for (int y = 0; y < bar.height(); ++y) {
        const int amplitude =
            int(std::lround(1023.0 * (bar.height() - 1 - y) / (bar.height() - 1)));
        painter.setPen(QColor::fromRgb(colour(amplitude)));
        painter.drawLine(bar.left(), bar.top() + y, bar.right(), bar.top() + y);
    }
    painter.setPen(Qt::black);
    painter.drawRect(bar.adjusted(-1, -1, 0, 0));
    painter.drawText(QRect(bar.right() + 4, bar.top() - 6, 60, 14), Qt::AlignLeft,
                     QStringLiteral("1023"));
    painter.drawText(QRect(bar.right() + 4, bar.bottom() - 7, 60, 14), Qt::AlignLeft,
                     QStringLiteral("0"));
    painter.drawText(QRect(bar.left() - 10, bar.bottom() + 6, 80, 14), Qt::AlignLeft,
                     QStringLiteral("amplitude"));
}

bool Echogram::save(QIODevice *device, QString *error) const
{
    QImageWriter writer(device, "png");
    if (!writer.write(render())) {
        if (error)
            *error = writer.errorString();
        return false;
    }
    return true;
}
