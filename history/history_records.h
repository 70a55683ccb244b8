#ifndef HISTORY_HISTORY_RECORDS_H
#define HISTORY_HISTORY_RECORDS_H

// What the history holds, as the front ends hand it over and as it is read back.

#include "monitor/display.h"
#include "monitor/register_map.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <array>
#include <optional>

// One command or window connection that read a pack.
struct VisitRecord {
    QDateTime time;  // taken as UTC; the current time when invalid
    QString program; // "bmsctl", "bms_tool"
    QString command; // "info", "set", "connect", ...
    PackIdentity identity;
    PackState state;
};

struct SettingsWriteRecord {
    QString setting; // the setting's name, as bmsctl takes it
    QJsonValue before;
    QJsonValue after;
    bool confirmed = false; // read back and found as written
};

struct BackupRecord {
    QString path;         // the file written
    QJsonObject settings; // NAME: VALUE, as the file holds them
};

struct FlashRecord {
    QString file_name;
    qint64 size = 0; // of the file, in bytes
    quint32 image_crc = 0;
    int firmware_before = -1;
    int firmware_after = -1; // -1: not read after the flash
    QString result;          // "succeeded", or the reason it failed
    bool succeeded = false;
    int failed_line = 0; // the data line reached when it failed; 0 otherwise
};

using CellResistances = std::array<std::optional<double>, CELL_COUNT>; // mOhm

struct ReportRecord {
    QString verdict;
    QJsonArray findings; // objects with at least "kind", "cell" and "title"
    CellResistances resistance_mohm;
};

// A pack as the list shows it.
struct PackSummary {
    QString serial_number; // empty for a pack whose BMS had none
    QString bms_serial;    // the BMS it was last seen with
    QDateTime first_seen;
    QDateTime last_seen;
    int visits = 0;
    QString last_verdict; // empty: no report yet
    int last_firmware = -1;
};

// One visit and what was done during it.
struct TimelineEntry {
    QDateTime time;
    QString program;
    QString command;
    QString bench;
    QString bms_serial;
    int firmware = -1;
    PackState state;
    QString done;        // one line: what was done, or "read" when nothing was changed
    QJsonObject details; // the settings writes, backup, flash and report, as recorded
};

struct PreviousReport {
    QDateTime generated_at;
    QString verdict;
    CellResistances resistance_mohm;
};

// The pack's settings as last recorded: its latest backup with the confirmed
// writes since then laid over it.
struct RecordedSettings {
    QDateTime recorded_at; // the newest backup or write that went into it
    QJsonObject settings;
};

#endif // HISTORY_HISTORY_RECORDS_H
