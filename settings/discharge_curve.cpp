#include "settings/discharge_curve.h"

#include "settings/parameter_rules.h"

std::optional<DischargeCurve> merge_discharge_curve(const CurveTexts &entered,
                                                    const CurveTexts &displayed)
{
    std::array<qint32, DSG_CURVE_POINTS> points{};
    for (int k = 0; k < DSG_CURVE_POINTS; ++k) {
        const qint32 typed = parse_decimal(entered[k]);
        points[k] = typed >= 2001 && typed <= 4499 ? typed : parse_decimal(displayed[k]);
    }

    if (points.front() < 2000 || points.back() > 4500)
        return std::nullopt;
    for (int k = 1; k < DSG_CURVE_POINTS; ++k) {
        if (static_cast<quint32>(points[k]) <= static_cast<quint32>(points[k - 1]))
            return std::nullopt;
    }

    DischargeCurve curve{};
    for (int k = 0; k < DSG_CURVE_POINTS; ++k)
        curve[k] = static_cast<quint16>(points[k]);
    return curve;
}

QByteArray discharge_curve_data(const DischargeCurve &curve)
{
    QByteArray data;
    for (quint16 mv : curve) {
        data.append(static_cast<char>(mv & 0xFF));
        data.append(static_cast<char>(mv >> 8));
    }
    return data;
}
