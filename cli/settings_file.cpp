#include "settings_file.h"

#include "monitor/display.h"
#include "output.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace
{

const QLatin1String FORMAT("bmsctl-settings");
constexpr int VERSION = 1;

QByteArray json(const QJsonValue &value)
{
    // A document holds only arrays and objects: wrap, then take the brackets off.
    const QByteArray text = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return text.mid(1, text.size() - 2);
}

QString position(const QByteArray &data, int offset)
{
    const QByteArray before = data.left(offset);
    const int line = before.count('\n') + 1;
    const int column = offset - (before.lastIndexOf('\n') + 1) + 1;
    return QStringLiteral("line %1, column %2").arg(line).arg(column);
}

} // namespace

SettingValues no_settings()
{
    SettingValues values;
    values.fill(QJsonValue(QJsonValue::Undefined));
    return values;
}

int SettingsFile::count() const
{
    int n = 0;
    for (const QJsonValue &v : values)
        n += v.isUndefined() ? 0 : 1;
    return n;
}

QStringList read_settings_file(const QString &path, SettingsFile &file)
{
    file = SettingsFile();
    file.path = path;
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly))
        return {QStringLiteral("cannot read %1: %2").arg(path, in.errorString())};
    const QByteArray data = in.readAll();
    if (in.error() != QFileDevice::NoError)
        return {QStringLiteral("cannot read %1: %2").arg(path, in.errorString())};

    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError)
        return {QStringLiteral("%1: not valid JSON at %2: %3")
                    .arg(path, position(data, error.offset), error.errorString())};
    const QJsonObject top = doc.object();
    if (!doc.isObject())
        return {QStringLiteral("%1: not a settings file: the top level is not a JSON object")
                    .arg(path)};
    if (top.value(QLatin1String("format")).toString() != FORMAT)
        return {QStringLiteral("%1: \"format\" must be \"%2\": this is not a settings file "
                               "saved by bmsctl backup")
                    .arg(path, FORMAT)};
    const QJsonValue version = top.value(QLatin1String("version"));
    if (!version.isDouble() || version.toDouble() != VERSION)
        return {QStringLiteral("%1: \"version\" is %2; this bmsctl reads version %3")
                    .arg(path, QString::fromUtf8(json(version)))
                    .arg(VERSION)};
    const QJsonValue settings = top.value(QLatin1String("settings"));
    if (!settings.isObject() || settings.toObject().isEmpty())
        return {QStringLiteral("%1: \"settings\" must be an object holding at least one setting")
                    .arg(path)};

    file.saved_at = top.value(QLatin1String("saved_at")).toString();
    file.bms_serial = top.value(QLatin1String("bms_serial")).toString();
    file.firmware = top.value(QLatin1String("firmware")).toInt(-1);

    QStringList problems;
    const QJsonObject values = settings.toObject();
    for (auto it = values.begin(); it != values.end(); ++it) {
        const QString where = QStringLiteral("%1: settings.%2").arg(path, it.key());
        const SettingDef *setting = find_setting(it.key());
        if (!setting) {
            problems << where + QStringLiteral(": no such setting (see bmsctl get)");
            continue;
        }
        if (it.value().isNull())
            continue;
        // A value the BMS can hold is good here, even where the window cannot write
        // it: restore finds out whether it needs writing once it sees the BMS.
        QString why;
        if (!register_bytes(*setting, it.value()) && !encode_setting(*setting, it.value(), &why)) {
            problems << QStringLiteral("%1: %2").arg(
                where, not_allowed(*setting, QString::fromUtf8(json(it.value())), why));
            continue;
        }
        file.values[static_cast<size_t>(setting->id)] = it.value();
    }
    return problems;
}

QByteArray settings_file_text(const RegisterImage &image, const QDateTime &saved_at)
{
    const PackIdentity id = decode_identity(image);
    QByteArray out = "{\n";
    out += "    \"format\": " + json(QString(FORMAT)) + ",\n";
    out += "    \"version\": " + json(VERSION) + ",\n";
    out += "    \"saved_at\": " + json(saved_at.toUTC().toString(Qt::ISODate)) + ",\n";
    out += "    \"bms_serial\": " + json(id.bms_serial) + ",\n";
    out += "    \"firmware\": " + json(id.firmware) + ",\n";
    out += "    \"settings\": {\n";
    const auto &settings = all_settings();
    for (size_t i = 0; i < settings.size(); ++i) {
        const SettingDef &setting = settings[i];
        out += "        " + json(QString::fromLatin1(setting.name)) + ": " +
               json(decode_setting(setting, image)) + (i + 1 < settings.size() ? ",\n" : "\n");
    }
    out += "    }\n}\n";
    return out;
}
