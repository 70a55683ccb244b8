#ifndef SETTINGS_SETTINGS_FILE_H
#define SETTINGS_SETTINGS_FILE_H

// The settings of one BMS as a file, for moving them to another board and for
// comparing later:
//
//   {"format": "bmsctl-settings", "version": 1, "saved_at": "2025-03-01T09:12:44Z",
//    "bms_serial": "0A3F...", "firmware": 18, "settings": {NAME: VALUE, ...}}
//
// Values are in the window's units, as `get --json` prints them. A file may hold
// any subset of the settings. null stands for a code the BMS held that has no
// meaning; it is saved so that the file still lists every setting, and skipped
// when the file is read.

#include "link/frame.h"
#include "settings/settings.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

// Settings with nothing to say are Undefined (a default QJsonValue is Null).
SettingValues no_settings();

struct SettingsFile {
    QString path;
    SettingValues values = no_settings(); // Undefined where the file has nothing to say
    QString saved_at;
    QString bms_serial;
    int firmware = -1;
    int count() const;
};

// Reads the text of a settings file, named `path` in the messages, and checks
// every value: it must be one the setting's registers can hold (a factory value
// outside the window's lists included, as backup saves what it finds), and a date
// must be a day of the calendar. A key given twice is refused rather than one of
// them silently winning. Each problem is one line naming the file and the key;
// none means `file` is good to use.
QStringList parse_settings_file(const QByteArray &text, const QString &path, SettingsFile &file);
// The same for the file at `path`.
QStringList read_settings_file(const QString &path, SettingsFile &file);

// The whole file for the settings the image holds, keys in a fixed order (the
// settings in the window's order) so that two backups compare line by line. A
// value no file could give back (a date that is no day of the calendar) is null.
QByteArray settings_file_text(const RegisterImage &image, const QDateTime &saved_at);

#endif // SETTINGS_SETTINGS_FILE_H
