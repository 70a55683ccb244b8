// Any bytes as a settings file, read as diff and restore read it.
//
// Besides the sanitizers, properties of any correct reader stop the run when
// broken: every problem names the file; an accepted file holds only values a
// register can hold and dates of the calendar (or the never-set zero date); an
// image holding those values holds them as the reader compares them, and its
// backup reads back the same way; and the accepted file with one of its keys
// given a second time is refused.

#include "fuzz_support.h"
#include "settings/settings_file.h"

#include <QDate>
#include <QJsonDocument>
#include <QJsonObject>

namespace
{

const QString NAME = QStringLiteral("fuzz.json");

bool calendar_date(const QJsonValue &value)
{
    const QString text = value.toString();
    return text == QLatin1String("2000-00-00") ||
           QDate::fromString(text, QStringLiteral("yyyy-MM-dd")).isValid();
}

// The top object again, with its first member repeated in front of the others.
QByteArray with_first_key_twice(const QJsonObject &top)
{
    const QByteArray text = QJsonDocument(top).toJson(QJsonDocument::Compact);
    const auto first = top.begin();
    const QByteArray member =
        QJsonDocument(QJsonObject{{first.key(), first.value()}}).toJson(QJsonDocument::Compact);
    // "{" + member without its braces + "," + the rest after "{"
    return '{' + member.mid(1, member.size() - 2) + ',' + text.mid(1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), static_cast<int>(size));
    SettingsFile file;
    const QStringList problems = parse_settings_file(text, NAME, file);
    for (const QString &p : problems)
        check(p.startsWith(NAME));
    if (!problems.isEmpty())
        return 0;

    RegisterImage image{};
    for (const SettingDef &setting : all_settings()) {
        const QJsonValue &value = file.values[static_cast<size_t>(setting.id)];
        if (value.isUndefined())
            continue;
        const std::optional<QByteArray> bytes = register_bytes(setting, value);
        check(bytes && bytes->size() == 2 * setting.words);
        check(setting.form != SettingForm::Date || calendar_date(value));
        std::copy(bytes->begin(), bytes->end(), image.begin() + 2 * setting.reg);
    }
    for (const SettingDef &setting : all_settings()) {
        const QJsonValue &value = file.values[static_cast<size_t>(setting.id)];
        check(value.isUndefined() || setting_holds(setting, image, value));
    }

    SettingsFile again;
    check(parse_settings_file(settings_file_text(image, QDateTime()), NAME, again).isEmpty());
    for (const SettingDef &setting : all_settings()) {
        const QJsonValue &value = again.values[static_cast<size_t>(setting.id)];
        check(value.isUndefined() || setting_holds(setting, image, value));
    }

    const QJsonObject top = QJsonDocument::fromJson(text).object();
    const QStringList twice = parse_settings_file(with_first_key_twice(top), NAME, again);
    check(twice.size() == 1 && twice.first().contains(QLatin1String("given twice")));
    return 0;
}
