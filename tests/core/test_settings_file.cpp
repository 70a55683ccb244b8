// The backup file: what a backup writes reads back as the board held it, and a
// file that could restore something other than what it says is refused.

#include "monitor/register_map.h"
#include "settings/settings_file.h"

#include <QtTest>

namespace
{

QByteArray with_settings(const QByteArray &settings)
{
    return R"({"format": "bmsctl-settings", "version": 1, "settings": {)" + settings + "}}";
}

QStringList parse(const QByteArray &text, SettingsFile &file)
{
    return parse_settings_file(text, QStringLiteral("pack.json"), file);
}

void put(RegisterImage &image, int reg, quint16 value)
{
    image[static_cast<size_t>(2 * reg)] = static_cast<quint8>(value & 0xFF);
    image[static_cast<size_t>(2 * reg + 1)] = static_cast<quint8>(value >> 8);
}

} // namespace

class TestSettingsFile : public QObject
{
    Q_OBJECT

private slots:
    // A backup of any board reads back as settings that board holds: a date never
    // given (zero) as it is, a day the calendar lacks as null (skipped), a factory
    // value outside the window's lists as it is.
    void backup_reads_back()
    {
        for (quint16 date : {quint16(0), quint16(30 + 32 * 2 + 512 * 23), quint16(0xFFFF)}) {
            RegisterImage image{};
            const QByteArray serial = "SIM10S-0000042";
            std::copy(serial.begin(), serial.end(), image.begin() + 2 * REG_SERIAL_NUMBER);
            put(image, REG_BALANCE_MODE, 7); // no such mode
            put(image, REG_DATE_OF_PRODUCTION, date);
            put(image, REG_CHARGE_OVERCURRENT_COOLDOWN, 30000);
            const QByteArray text = settings_file_text(image, QDateTime::currentDateTimeUtc());
            SettingsFile file;
            const QStringList problems = parse(text, file);
            QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
            int nulls = 0;
            for (const SettingDef &setting : all_settings()) {
                const QJsonValue &v = file.values[size_t(setting.id)];
                nulls += v.isUndefined();
                QVERIFY2(v.isUndefined() || setting_holds(setting, image, v), setting.name);
            }
            const QJsonValue read_date = file.values[size_t(Setting::DateOfProduction)];
            QCOMPARE(read_date,
                     date == 0 ? QJsonValue("2000-00-00") : QJsonValue(QJsonValue::Undefined));
            QCOMPARE(file.values[size_t(Setting::ChargeOvercurrentCooldown)], QJsonValue(30));
            QVERIFY(nulls >= 1); // the codes without a meaning
        }
    }

    void refused_with_the_place_named_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("problem");
        const auto row = [](const char *name, const QByteArray &text, const char *problem) {
            QTest::newRow(name) << text << QString::fromUtf8(problem);
        };
        row("setting twice",
            with_settings(R"("capacity": 100, "overvoltage": 4200, "capacity": 200)"),
            "pack.json: settings.capacity is given twice (again at line 1, column 96)");
        row("setting twice, once escaped",
            with_settings("\"capacity\": 100, \"capac\\u0069ty\": 100"),
            "settings.capacity is given twice");
        row("curve twice", with_settings(R"("discharge_curve": [1], "discharge_curve": [2])"),
            "settings.discharge_curve is given twice");
        row("top-level key twice",
            R"({"format": "bmsctl-settings", "version": 1, "version": 1, "settings": {"capacity": 1}})",
            "pack.json: version is given twice");
        row("February 30th", with_settings(R"("date_of_production": "2023-02-30")"),
            "settings.date_of_production: \"2023-02-30\" is not allowed: 2023-02-30 is no day of "
            "the calendar");
        row("month zero", with_settings(R"("date_of_production": "2023-00-10")"),
            "settings.date_of_production");
        row("what no register holds", with_settings(R"("capacity": 70000)"),
            "settings.capacity: 70000 is not allowed: 1 to 32000 mAh");
        row("unknown setting", with_settings(R"("capacity": 1, "capacty": 1)"),
            "pack.json: settings.capacty: no such setting");
        row("not JSON", "{\n  \"format\": ", "pack.json: not valid JSON at line 2");
        row("not an object", "[1, 2]", "the top level is not a JSON object");
        row("another format", R"({"format": "other", "version": 1, "settings": {"capacity": 1}})",
            "\"format\" must be \"bmsctl-settings\"");
        row("no settings", R"({"format": "bmsctl-settings", "version": 1, "settings": {}})",
            "\"settings\" must be an object holding at least one setting");
    }

    void refused_with_the_place_named()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, problem);
        SettingsFile file;
        const QStringList problems = parse(text, file);
        QVERIFY2(problems.size() == 1 && problems.first().contains(problem),
                 qPrintable(problems.join('\n')));
    }

    // The same key in other objects, or inside a text, is no repetition; what is
    // refused is a file that says two things about one setting.
    void taken_as_written()
    {
        SettingsFile file;
        const QByteArray text =
            R"({"format": "bmsctl-settings", "version": 1, "bms_serial": "0A3F",)"
            R"( "note": {"capacity": 1, "x": [{"capacity": 2}, {"capacity": 3}]},)"
            " \"settings\": {\"serial_number\": \"\\\"capacity\\\": 9\", \"capacity\": 7800,"
            R"( "date_of_production": "2024-02-29", "balance_mode": null}})";
        const QStringList problems = parse(text, file);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
        QCOMPARE(file.count(), 3);
        QCOMPARE(file.values[size_t(Setting::SerialNumber)], QJsonValue("\"capacity\": 9"));
        QCOMPARE(file.values[size_t(Setting::Capacity)], QJsonValue(7800));
        QCOMPARE(file.bms_serial, QString("0A3F"));
    }
};

QTEST_GUILESS_MAIN(TestSettingsFile)
#include "test_settings_file.moc"
