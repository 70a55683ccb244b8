// The chart of the ten cell voltages, drawn with QPainter into an SVG document so
// that the HTML page carries it inline and it prints sharp at any size.

#include "report.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QPainter>
#include <QSvgGenerator>

#include <algorithm>
#include <cmath>

namespace
{

// Ten hues that stay apart on screen and on a colour printer.
const char *const CELL_COLOURS[CELL_COUNT] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#d62728",
                                              "#9467bd", "#8c564b", "#e377c2", "#7f7f7f",
                                              "#bcbd22", "#17becf"};

// A 1, 2 or 5 step giving about `target` ticks over `span`.
double tick_step(double span, int target)
{
    const double raw = span / target;
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double m : {1.0, 2.0, 5.0})
        if (raw <= m * magnitude)
            return m * magnitude;
    return 10 * magnitude;
}

// Past one sample per pixel column a trace only repeats itself and swells the page
// (an hour is 36000 samples a cell): each column keeps its lowest and its highest
// point, in the order they came, so every dip and peak is still drawn.
QPolygonF trace(const QVector<QPointF> &points)
{
    QPolygonF line;
    int from = 0;
    while (from < points.size()) {
        const int column = static_cast<int>(points[from].x());
        int to = from, low = from, high = from;
        for (; to < points.size() && static_cast<int>(points[to].x()) == column; ++to) {
            // Screen y grows downwards: the lowest voltage has the largest y.
            if (points[to].y() > points[low].y())
                low = to;
            if (points[to].y() < points[high].y())
                high = to;
        }
        line << points[std::min(low, high)];
        if (low != high)
            line << points[std::max(low, high)];
        from = to;
    }
    return line;
}

} // namespace

QByteArray render_cell_chart_svg(const ReportInput &in, const ReportAnalysis &a, QSize size)
{
    const QVector<PackSample> &samples = in.analysis.samples;
    if (samples.isEmpty() || !qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return {};

    // Value ranges, widened so a flat trace still gets a readable axis.
    double lo = a.cell_mv[0].min, hi = a.cell_mv[0].max;
    for (const Stat &s : a.cell_mv) {
        lo = std::min(lo, s.min);
        hi = std::max(hi, s.max);
    }
    const double pad = std::max(5.0, (hi - lo) * 0.05);
    const double y_step = tick_step(hi - lo + 2 * pad, 6);
    lo = std::floor((lo - pad) / y_step) * y_step;
    hi = std::ceil((hi + pad) / y_step) * y_step;
    const qint64 t0 = samples.first().ms;
    const double span_s = std::max(1.0, (samples.last().ms - t0) / 1000.0);
    const double x_step = tick_step(span_s, 8);

    // The current gets a strip of its own under the voltages, on the same time
    // axis, so a cell's sag lines up with the load step that caused it. Zero is
    // always on it: discharge below the line, charge above.
    double i_lo = std::min(0.0, a.current_ma.min / 1000.0);
    double i_hi = std::max(0.0, a.current_ma.max / 1000.0);
    const double i_step = tick_step(std::max(1.0, i_hi - i_lo), 3);
    i_lo = std::floor(i_lo / i_step) * i_step;
    i_hi = std::ceil(i_hi / i_step) * i_step;
    if (i_hi - i_lo < i_step)
        i_hi = i_lo + i_step;

    const double bottom_margin = 46, strip_gap = 26;
    const double strip_h = std::round((size.height() - 40 - bottom_margin) * 0.26);
    const QRectF plot(64, 40, size.width() - 64 - 18,
                      size.height() - 40 - bottom_margin - strip_gap - strip_h);
    const QRectF strip(plot.left(), plot.bottom() + strip_gap, plot.width(), strip_h);
    const auto x_of = [&](double s) { return plot.left() + s / span_s * plot.width(); };
    const auto y_of = [&](double mv) {
        return plot.bottom() - (mv - lo) / (hi - lo) * plot.height();
    };
    const auto yi_of = [&](double amps) {
        return strip.bottom() - (amps - i_lo) / (i_hi - i_lo) * strip.height();
    };

    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QSvgGenerator svg;
    svg.setOutputDevice(&buffer);
    svg.setSize(size);
    svg.setViewBox(QRect(QPoint(0, 0), size));
    svg.setResolution(96);
    svg.setTitle(QStringLiteral("Cell voltages and pack current"));
    svg.setDescription(QStringLiteral("The ten cell voltages in mV over the sampling in seconds, "
                                      "and the pack current in A under them"));

    QPainter p(&svg);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(12);
    p.setFont(font);
    const QColor ink(0x22, 0x22, 0x22), grid(0xdd, 0xdd, 0xdd);

    // Grid and tick labels.
    for (double v = lo; v <= hi + y_step / 2; v += y_step) {
        p.setPen(QPen(grid, 1));
        p.drawLine(QPointF(plot.left(), y_of(v)), QPointF(plot.right(), y_of(v)));
        p.setPen(ink);
        p.drawText(QRectF(0, y_of(v) - 8, plot.left() - 6, 16), Qt::AlignRight | Qt::AlignVCenter,
                   QString::number(std::lround(v)));
    }
    for (double v = i_lo; v <= i_hi + i_step / 2; v += i_step) {
        p.setPen(QPen(v == 0 ? QColor(0x99, 0x99, 0x99) : grid, 1));
        p.drawLine(QPointF(strip.left(), yi_of(v)), QPointF(strip.right(), yi_of(v)));
        p.setPen(ink);
        p.drawText(QRectF(0, yi_of(v) - 8, strip.left() - 6, 16), Qt::AlignRight | Qt::AlignVCenter,
                   QString::number(v, 'g', 6));
    }
    for (double s = 0; s <= span_s + 1e-9; s += x_step) {
        p.setPen(QPen(grid, 1));
        p.drawLine(QPointF(x_of(s), plot.top()), QPointF(x_of(s), plot.bottom()));
        p.drawLine(QPointF(x_of(s), strip.top()), QPointF(x_of(s), strip.bottom()));
        p.setPen(ink);
        p.drawText(QRectF(x_of(s) - 30, strip.bottom() + 4, 60, 16), Qt::AlignCenter,
                   QString::number(s, 'g', 6));
    }
    p.setPen(QPen(ink, 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(plot);
    p.drawRect(strip);
    p.drawText(QRectF(0, plot.top() - 24, plot.left() - 6, 16), Qt::AlignRight | Qt::AlignVCenter,
               QStringLiteral("mV"));
    p.drawText(QRectF(0, strip.top() - 22, strip.left() - 6, 16), Qt::AlignRight | Qt::AlignVCenter,
               QStringLiteral("A"));
    p.drawText(QRectF(strip.left(), strip.top() - 20, strip.width(), 16),
               Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("pack current (negative: discharge)"));
    p.drawText(QRectF(plot.left(), strip.bottom() + 24, plot.width(), 16), Qt::AlignCenter,
               QStringLiteral("time since the start of sampling, s"));

    // Cells a finding names are drawn heavier and last, on top of the others.
    std::array<bool, CELL_COUNT> named{};
    for (const Finding &f : a.findings)
        if (f.cell >= 1 && f.cell <= CELL_COUNT)
            named[static_cast<size_t>(f.cell - 1)] = true;

    // The legend runs along the top, one slot per cell.
    const double slot = plot.width() / CELL_COUNT;
    for (size_t i = 0; i < CELL_COUNT; ++i) {
        const double x = plot.left() + static_cast<double>(i) * slot;
        p.setPen(QPen(QColor(CELL_COLOURS[i]), named[i] ? 4 : 2.5));
        p.drawLine(QPointF(x + 2, 14), QPointF(x + 20, 14));
        p.setPen(ink);
        QFont f = font;
        f.setBold(named[i]);
        p.setFont(f);
        p.drawText(QRectF(x + 24, 6, slot - 24, 16), Qt::AlignLeft | Qt::AlignVCenter,
                   QStringLiteral("Cell %1").arg(i + 1));
    }

    p.setClipRect(plot);
    for (const bool heavy : {false, true}) {
        for (size_t i = 0; i < CELL_COUNT; ++i) {
            if (named[i] != heavy)
                continue;
            p.setPen(QPen(QColor(CELL_COLOURS[i]), heavy ? 2.6 : 1.2, Qt::SolidLine, Qt::RoundCap,
                          Qt::RoundJoin));
            // A silence of the BMS breaks the line: nothing was measured there.
            QVector<QPointF> points;
            for (int k = 0; k < samples.size(); ++k) {
                const PackSample &s = samples[k];
                if (k > 0 && s.ms - samples[k - 1].ms > REPORT_GAP_MS) {
                    p.drawPolyline(trace(points));
                    points.clear();
                }
                points << QPointF(x_of((s.ms - t0) / 1000.0), y_of(s.cells_mv[i]));
            }
            p.drawPolyline(trace(points));
        }
    }
    p.setClipRect(strip);
    p.setPen(QPen(ink, 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    QVector<QPointF> points;
    for (int k = 0; k < samples.size(); ++k) {
        const PackSample &s = samples[k];
        if (k > 0 && s.ms - samples[k - 1].ms > REPORT_GAP_MS) {
            p.drawPolyline(trace(points));
            points.clear();
        }
        points << QPointF(x_of((s.ms - t0) / 1000.0), yi_of(s.current_ma / 1000.0));
    }
    p.drawPolyline(trace(points));
    p.end();
    return buffer.data();
}
