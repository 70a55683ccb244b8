#ifndef MONITOR_DISPLAY_H
#define MONITOR_DISPLAY_H

// What the register image says about the pack, as numbers for any front end and as
// the texts of the window's display fields.

#include "link/frame.h"
#include "monitor/register_map.h"
#include "settings/settings.h"

#include <QString>

#include <array>

struct PackState {
    int voltage_mv = 0;
    int current_ma = 0; // positive while charging
    int soc_percent = 0;
    int remaining_mah = 0;
    std::array<int, 2> temperatures_c{};
    std::array<int, CELL_COUNT> cells_mv{};
    quint16 balancing = 0; // bit k-1: cell k
    bool charging = false;
    bool recuperation_enabled = false;
    bool overheat = false;
    bool charging_enabled = false;
    bool discharging_enabled = false;
};

struct PackIdentity {
    QString serial_number; // without its padding
    QString bms_serial;    // 24 upper-case hex digits
    int firmware = 0;
    int capacity_mah = 0;
    QString date_of_production; // YYYY-MM-DD
};

PackState decode_pack_state(const RegisterImage &image);
PackIdentity decode_identity(const RegisterImage &image);

// The text of every display field of the window. Pure: the same image always
// gives the same texts.
struct DisplayTexts {
    std::array<QString, DSG_CURVE_POINTS> dsg_curve;
    QString serial_number;
    QString firmware;
    QString capacity;
    QString date_of_production;
    QString charging;
    QString recuperation_enabled;
    QString overheat;
    QString remaining_mah;
    QString remaining_percent;
    QString current_ma;
    QString voltage_mv;
    QString t1;
    QString t2;
    std::array<QString, CELL_COUNT> cells;
    std::array<QString, CELL_COUNT> balancing;
    // The protection, balancing and calibration rows, by Setting; the identity and
    // curve entries stay empty (they have fields of their own above).
    std::array<QString, SETTING_COUNT> settings;
    QString charging_enabled;
    QString discharging_enabled;
    QString bms_serial;
};

DisplayTexts display_texts(const RegisterImage &image);

#endif // MONITOR_DISPLAY_H
