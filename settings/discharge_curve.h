#ifndef SETTINGS_DISCHARGE_CURVE_H
#define SETTINGS_DISCHARGE_CURVE_H

// The eleven-point discharge curve (cell mV at 0 %, 10 %, ... 100 %), written in
// one frame from register 0x05. Entries the technician leaves empty or out of
// bounds keep the point the BMS has now, so a single point can be changed.

#include "monitor/register_map.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <array>
#include <optional>

using DischargeCurve = std::array<quint16, DSG_CURVE_POINTS>;
using CurveTexts = std::array<QString, DSG_CURVE_POINTS>;

// Each entry between 2001 and 4499 mV replaces the displayed point; the merged
// curve must start at 2000 or more, end at 4500 or less and rise strictly.
// Nothing when it does not.
std::optional<DischargeCurve> merge_discharge_curve(const CurveTexts &entered,
                                                    const CurveTexts &displayed);

// The points as register words, low byte first.
QByteArray discharge_curve_data(const DischargeCurve &curve);

#endif // SETTINGS_DISCHARGE_CURVE_H
