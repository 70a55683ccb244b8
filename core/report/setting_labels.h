#ifndef REPORT_SETTING_LABELS_H
#define REPORT_SETTING_LABELS_H

// What the window calls each setting, unit included ("Cell overvoltage, mV"): a
// customer's document names settings as the technician saw them on screen.

#include "settings/settings.h"

#include <QString>

QString setting_label(Setting setting);

#endif // REPORT_SETTING_LABELS_H
