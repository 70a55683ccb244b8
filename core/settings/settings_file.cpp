#include "settings/settings_file.h"

#include "monitor/display.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

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

// The parser keeps the last of two equal keys and says nothing, so a file that
// names a setting twice would be restored with whichever came last (and Qt 5's
// parser leaks the value it drops). This walks the text before the parser sees it
// and finds the first key an object repeats; where the text stops looking like
// JSON it stops, and the parser says what is wrong.
class DuplicateKeys
{
public:
    explicit DuplicateKeys(const QByteArray &text) : text_(text) {}

    // False once a repeated key is found: `path` ("settings.capacity") and
    // `offset`, where its second occurrence starts.
    bool check()
    {
        if (text_.startsWith("\xEF\xBB\xBF"))
            pos_ = 3;
        return value(QString(), 0);
    }
    QString path;
    int offset = -1;

private:
    // Deeper than the parser accepts: no need to look further.
    static constexpr int MAX_DEPTH = 2048;

    void skip_space()
    {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                       text_[pos_] == '\n' || text_[pos_] == '\r'))
            ++pos_;
    }

    bool at(char c)
    {
        skip_space();
        return pos_ < text_.size() && text_[pos_] == c;
    }

    // The string at pos_ (its opening quote), decoded as the parser decodes it.
    QString string()
    {
        QString out;
        QByteArray run;
        ++pos_;
        while (pos_ < text_.size() && text_[pos_] != '"') {
            const char c = text_[pos_++];
            if (c != '\\') {
                run += c;
                continue;
            }
            out += QString::fromUtf8(run);
            run.clear();
            if (pos_ >= text_.size())
                break;
            const char e = text_[pos_++];
            switch (e) {
            case 'b':
                out += QLatin1Char('\b');
                break;
            case 'f':
                out += QLatin1Char('\f');
                break;
            case 'n':
                out += QLatin1Char('\n');
                break;
            case 'r':
                out += QLatin1Char('\r');
                break;
            case 't':
                out += QLatin1Char('\t');
                break;
            case 'u': {
                bool ok = false;
                const ushort unit = text_.mid(pos_, 4).toUShort(&ok, 16);
                pos_ += 4;
                lost_ = lost_ || !ok;
                out += QChar(unit);
                break;
            }
            default:
                out += QLatin1Char(e);
            }
        }
        lost_ = lost_ || pos_ >= text_.size();
        ++pos_; // the closing quote
        return out + QString::fromUtf8(run);
    }

    // False when a key repeats; lost_ when the text is not JSON here.
    bool value(const QString &where, int depth)
    {
        skip_space();
        if (pos_ >= text_.size() || depth > MAX_DEPTH) {
            lost_ = true;
            return true;
        }
        const char c = text_[pos_];
        if (c == '"') {
            string();
            return true;
        }
        if (c != '{' && c != '[') {
            // A number, true, false or null.
            const int start = pos_;
            while (pos_ < text_.size() && !QByteArray(",]} \t\r\n").contains(text_[pos_]))
                ++pos_;
            lost_ = pos_ == start;
            return true;
        }
        const bool object = c == '{';
        const char close = object ? '}' : ']';
        ++pos_;
        if (at(close)) {
            ++pos_;
            return true;
        }
        QSet<QString> keys;
        for (int index = 0; !lost_; ++index) {
            QString inner;
            if (object) {
                if (!at('"')) {
                    lost_ = true;
                    return true;
                }
                const int key_at = pos_;
                const QString key = string();
                inner = where.isEmpty() ? key : where + QLatin1Char('.') + key;
                if (keys.contains(key)) {
                    path = inner;
                    offset = key_at;
                    return false;
                }
                keys.insert(key);
                if (!at(':')) {
                    lost_ = true;
                    return true;
                }
                ++pos_;
            } else {
                inner = QStringLiteral("%1[%2]").arg(where).arg(index);
            }
            if (!value(inner, depth + 1))
                return false;
            if (at(',')) {
                ++pos_;
            } else if (at(close)) {
                ++pos_;
                return true;
            } else {
                lost_ = true;
            }
        }
        return true;
    }

    const QByteArray &text_;
    int pos_ = 0;
    bool lost_ = false;
};

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
    return parse_settings_file(data, path, file);
}

QStringList parse_settings_file(const QByteArray &data, const QString &path, SettingsFile &file)
{
    file = SettingsFile();
    file.path = path;
    DuplicateKeys duplicates(data);
    if (!duplicates.check())
        return {QStringLiteral("%1: %2 is given twice (again at %3): which one is meant?")
                    .arg(path, duplicates.path, position(data, duplicates.offset))};
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError)
        return {QStringLiteral("%1: not valid JSON at %2: %3")
                    .arg(path, position(data, error.offset), error.errorString())};
    if (!doc.isObject())
        return {QStringLiteral("%1: not a settings file: the top level is not a JSON object")
                    .arg(path)};
    const QJsonObject top = doc.object();
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
        QJsonValue value = decode_setting(setting, image);
        if (!register_bytes(setting, value))
            value = QJsonValue(); // read back, it would refuse the whole file
        out += "        " + json(QString::fromLatin1(setting.name)) + ": " + json(value) +
               (i + 1 < settings.size() ? ",\n" : "\n");
    }
    out += "    }\n}\n";
    return out;
}
