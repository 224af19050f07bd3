#ifndef KELVANE_ECHOGRAM_H
#define KELVANE_ECHOGRAM_H

#include "streamdecoder.h"

#include <QImage>
#include <QList>
#include <QRect>
#include <QString>
#include <QVector>

/// The echogram of a run: one panel per channel (the transmit frequency, highest on top), one
/// column per ping of that channel, samples downward by depth, amplitudes 0 to 1023 through the
/// viridis colour map, the reported depth drawn over it as a one-pixel red trace (row int(depth /
/// extent * PlotHeight)). A panel whose pings carry no data block (NMEA output) says so in its
/// plot area.
///
/// Layout of panel p (0 at the top), in pixels:
///   top = p * PanelHeight; plot = (LeftMargin, top + TopMargin, columns * columnWidth, PlotHeight)
///   image = LeftMargin + widest plot + RightMargin  by  panels * PanelHeight
/// where columnWidth = qBound(1, 480 / columns, 48) for the panel with the most columns, and the
/// depth axis runs from 0 at the plot's top row to depthExtent(p) below its last row.
class Echogram
{
public:
    /// Columns kept per panel: a long run shows its last MaxColumns pings of each channel.
    static constexpr int MaxColumns = 3000;
    static constexpr int PlotHeight = 400;
    static constexpr int LeftMargin = 76;
    static constexpr int RightMargin = 96;
    static constexpr int TopMargin = 28;
    static constexpr int BottomMargin = 44;
    static constexpr int PanelHeight = TopMargin + PlotHeight + BottomMargin;
    /// Colour of the depth trace and of rows below a ping's last sample.
    static constexpr QRgb TraceColour = 0xffff3030;
    static constexpr QRgb NoDataColour = 0xff303030;
    /// Colour of the note written over a panel whose pings carry no data block.
    static constexpr QRgb NoDataTextColour = 0xffd0d0d0;

    /// Adds the ping as the next column of its channel's panel, dropping the panel's oldest
    /// column when it already has MaxColumns.
    void addPing(const Ping &ping);

    int panelCount() const { return panels.size(); }
    int pingCount() const;
    /// Width of one ping's column in every panel.
    int columnWidth() const;
    /// The plot area of panel p in image coordinates.
    QRect plotRect(int panel) const;
    /// The depth in metres at the bottom edge of panel p's plot: the deepest last sample of its
    /// columns or 1.1 times the deepest reported depth, whichever is more (1 m when neither).
    double depthExtent(int panel) const;
    /// The frequency (Hz, -1 when unknown) of panel p.
    int panelFrequency(int panel) const;

    /// The colour of an amplitude (clamped to 0 to 1023) on the viridis map.
    static QRgb colour(int amplitude);

    QImage render() const;
    /// Renders and writes a PNG to device; on failure returns false with a reason in *error.
    bool save(QIODevice *device, QString *error) const;

private:
    struct Column
    {
        QVector<int> samples;
        bool hasData = false;
        double depth = Ping::Unknown;
        int samplingFrequency = 100000;
    };
    struct Panel
    {
        int frequency = -1;
        int dropped = 0; ///< oldest columns given up to MaxColumns
        QList<Column> columns; ///< dropping the oldest moves none of the others
    };

    void drawPanel(QImage &image, int index) const;

    QVector<Panel> panels;
};

#endif // KELVANE_ECHOGRAM_H
