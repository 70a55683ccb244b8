// The core without a port or a window: frames byte for byte, reception, the
// register map, the settings table, HEX loading and the upgrade commands.

#include "hex_text.h"

#include "link/reception.h"
#include "link/stream.h"
#include "monitor/display.h"
#include "settings/settings.h"
#include "upgrade/firmware_file.h"
#include "upgrade/upgrade_commands.h"

#include <QBuffer>
#include <QJsonArray>
#include <QtTest>

namespace
{

QByteArray hex(const char *spaced)
{
    return QByteArray::fromHex(QByteArray(spaced).replace(' ', ""));
}

const QByteArray STATUS = hex("55 AA 06 25 01 69 11 22 33 44 C0 FE"); // registers 0x69, 0x6A

FrameKind kind_of(const QByteArray &frame)
{
    return recognise_frame(reinterpret_cast<const quint8 *>(frame.constData()), frame.size());
}

QByteArray read_reply(quint8 first_register, const QByteArray &data)
{
    QByteArray frame = build_frame(CMD_READ_REGISTERS, first_register, data);
    frame[3] = static_cast<char>(ADDR_FROM_BMS);
    frame.chop(2);
    const quint32 sum = frame_checksum(reinterpret_cast<const quint8 *>(frame.constData()),
                                       static_cast<quint8>(frame.size()));
    return frame + char(sum & 0xFF) + char(sum >> 8);
}

FirmwareVerdict judge(QByteArray text, FirmwareRules rules, FirmwareLoader *loaded = nullptr)
{
    QBuffer file(&text);
    file.open(QIODevice::ReadOnly);
    FirmwareLoader loader;
    const FirmwareVerdict verdict = load_firmware_file(file, rules, loader);
    if (loaded)
        *loaded = loader;
    return verdict;
}

const FirmwareRules STRICT{true, true};
const FirmwareRules WINDOW{};

// Data records of `count` bytes each from `address` on, one line each, LF ended.
QByteArray block(quint16 address, int lines, int bytes = 16, char fill = '\x5A')
{
    QByteArray text;
    for (int i = 0; i < lines; ++i)
        text += hex_record(0, static_cast<quint16>(address + i * bytes), QByteArray(bytes, fill))
                    .toLatin1() +
                '\n';
    return text;
}

QByteArray record(quint8 type, quint16 address, const char *data)
{
    return hex_record(type, address, hex(data)).toLatin1() + '\n';
}

const QByteArray END = ":00000001FF\n";

void put(RegisterImage &image, int reg, quint16 value)
{
    image[static_cast<size_t>(2 * reg)] = static_cast<quint8>(value & 0xFF);
    image[static_cast<size_t>(2 * reg + 1)] = static_cast<quint8>(value >> 8);
}

} // namespace

class TestCore : public QObject
{
    Q_OBJECT

private slots:
    void frames_byte_for_byte()
    {
        QCOMPARE(build_read_request(0x00, 40), hex("55 AA 03 22 01 00 28 B1 FF"));
        QCOMPARE(build_write_frame(0x5A, register_words({4200})),
                 hex("55 AA 07 22 FE 5A 02 68 10 04 FE 02 FD"));
        for (int n : {2, 14, 22}) {
            const QByteArray frame = build_write_frame(0x10, QByteArray(n, 'A'));
            QVERIFY(frame.size() == n + 11 && frame.at(2) == n + 5);
            QCOMPARE(kind_of(frame), FrameKind::Valid); // to the BMS: no data for us
        }
        QCOMPARE(frame_checksum(reinterpret_cast<const quint8 *>("\x55\xAA\x03"), 2), 0xFFFFFFFFu);

        // Received frames are judged by size and checksum; the header is not summed.
        QCOMPARE(kind_of(STATUS), FrameKind::ReadReply);
        for (int i = 2; i < STATUS.size(); ++i) {
            QByteArray bad = STATUS;
            bad[i] = static_cast<char>(bad.at(i) ^ 0x01);
            QVERIFY2(kind_of(bad) == FrameKind::Invalid, qPrintable(QString::number(i)));
        }
        QVERIFY(kind_of(STATUS.left(11)) == FrameKind::Invalid &&
                kind_of(STATUS + '\0') == FrameKind::Invalid);
        QCOMPARE(kind_of(hex("00 11") + STATUS.mid(2)), FrameKind::Valid);
    }

    void reception_and_polling()
    {
        RegisterImage image{};
        ReceptionResult r = receive_frame(STATUS, image);
        QVERIFY(r.stored && r.status_reply);
        QCOMPARE(register_value(image, 0x6A), quint16(0x4433));
        QVERIFY(!receive_frame(STATUS.left(10), image).valid);
        QVERIFY(!receive_frame(STATUS + '\0', image).valid);

        // A reply to the poll of 0x64 holds the status registers but is no status reply;
        // one that would run past the image is dropped whole, one that just fits is kept.
        const QByteArray last = read_reply(0x64, QByteArray(36, '\x01'));
        r = receive_frame(last, image);
        QVERIFY(r.stored && !r.status_reply);
        image.fill(0);
        for (int first : {0x7F, 0x7E}) {
            const QByteArray frame = read_reply(static_cast<quint8>(first), QByteArray(4, '3'));
            r = receive_frame(frame, image);
            QVERIFY(r.valid && r.stored == (first == 0x7E));
        }
        QCOMPARE(register_value(image, 0x7F), quint16(0x3333));

        QList<int> cycle;
        qint32 offset = 0;
        for (int i = 0; i < 7; ++i) {
            const PollRequest p = next_poll_request(offset);
            cycle << p.first_register << p.register_count;
            offset = p.next_offset;
        }
        QCOMPARE(cycle, (QList<int>{0, 20, 20, 20, 40, 20, 60, 20, 80, 20, 100, 18, 0, 20}));
    }

    // The line as a stream: pieces put together, merged frames taken apart, noise and
    // broken frames dropped without losing the frames around them.
    void line_as_a_stream()
    {
        const QByteArray reply = read_reply(0x00, QByteArray(40, '\x11')); // 46 bytes
        QByteArray pending;
        const auto feed = [&pending](const QByteArray &bytes) {
            return take_frames(pending, bytes);
        };
        // In 32-byte packets and byte by byte.
        QVERIFY(feed(reply.left(32)).isEmpty());
        QCOMPARE(feed(reply.mid(32)), QVector<QByteArray>{reply});
        QVERIFY(pending.isEmpty());
        for (int i = 0; i < STATUS.size() - 1; ++i)
            QVERIFY(feed(STATUS.mid(i, 1)).isEmpty());
        QCOMPARE(feed(STATUS.right(1)), QVector<QByteArray>{STATUS});

        // Merged, with noise before, between and after (a lone 55 may start a header).
        QCOMPARE(feed(hex("00 AA 55 13") + reply + hex("FF") + STATUS + STATUS.left(3) + hex("55")),
                 (QVector<QByteArray>{reply, STATUS}));
        QCOMPARE(pending, STATUS.left(3) + hex("55"));
        // That half frame was noise: the whole one after it is taken, and the half
        // frame's 55 at the end is kept for what follows.
        QCOMPARE(feed(STATUS.mid(1)), QVector<QByteArray>{STATUS});
        QVERIFY(pending.isEmpty());

        // A wrong checksum or an impossible LEN costs only that frame.
        QByteArray bad = STATUS;
        bad[8] = static_cast<char>(bad.at(8) ^ 0x40);
        QCOMPARE(feed(bad + hex("55 AA FF 00") + STATUS), QVector<QByteArray>{STATUS});
        // A header whose frame is cut short never holds back the whole ones after it;
        // nothing else is left behind, and what is left is never more than one frame.
        QCOMPARE(feed(STATUS.left(7) + reply + reply), (QVector<QByteArray>{reply, reply}));
        QVERIFY(pending.isEmpty());
        QVERIFY(feed(hex("55 AA F9") + QByteArray(400, '\x01')).isEmpty());
        QVERIFY(pending.size() < 255);

        // Every frame the stream yields is one receive_frame accepts.
        pending.clear();
        const QByteArray noisy = hex("55 AA 06 25") + STATUS + hex("55 AA 00 00 FF FF");
        const QVector<QByteArray> frames = feed(noisy);
        QCOMPARE(frames.size(), 2);
        RegisterImage image{};
        for (const QByteArray &frame : frames)
            QVERIFY(receive_frame(frame, image).valid);
    }

    void display_edges()
    {
        // Each row: this value in this register, all else zero, shows this text.
        using T = DisplayTexts;
        const struct {
            int reg;
            quint16 value;
            QString (*field)(const T &);
            const char *text;
        } rows[] = {
            {REG_BATTERY_VOLTAGE, 0xFFFF, [](const T &t) { return t.voltage_mv; }, "655350"},
            {REG_BATTERY_CURRENT, 0xFFF6, [](const T &t) { return t.current_ma; }, "-100"},
            {REG_REMAIN_BATTERY_CAPACITY_PERCENTS, 0x0164,
             [](const T &t) { return t.remaining_percent; }, "100"},
            {REG_BMS_FIRMWARE, 0x0312, [](const T &t) { return t.firmware; }, "18"},
            {REG_TEMPERATURES, 0x2D00, [](const T &t) { return t.t1 + ' ' + t.t2; }, "-20 25"},
            {REG_DATE_OF_PRODUCTION, 0x2865, [](const T &t) { return t.date_of_production; },
             "5.3.2020"},
            {REG_DATE_OF_PRODUCTION, 0xFFFF, [](const T &t) { return t.date_of_production; },
             "31.15.2031"},
            {REG_STATUS_FLAGS, 0x0640,
             [](const T &t) { return t.charging + t.recuperation_enabled + t.overheat; },
             "YesNoYes"},
            {REG_STATUS_FLAGS, 0xF9BF,
             [](const T &t) { return t.charging + t.recuperation_enabled + t.overheat; },
             "NoYesNo"},
            {REG_DISCHARGING_ENABLED, 0x8000, [](const T &t) { return t.discharging_enabled; },
             "Yes"},
            {REG_BALANCING_CELLS, 0xFE01,
             [](const T &t) {
                 return t.balancing[0] + '|' + t.balancing[1] + '|' + t.balancing[9];
             },
             "Balancing||Balancing"},
        };
        for (const auto &row : rows) {
            RegisterImage image{};
            put(image, row.reg, row.value);
            QCOMPARE(row.field(display_texts(image)), QString(row.text));
        }

        // The settings rows: truncated units, signed values, and a code the table does
        // not know shows nothing rather than a number in the wrong unit.
        const struct {
            Setting setting;
            quint16 value;
            const char *text;
        } settings[] = {
            {Setting::ChargeOvercurrent, 5999, "5"},
            {Setting::DischargeOvercurrentCooldown, 65535, "65"},
            {Setting::ShortCircuitCooldown, 999, "0"},
            {Setting::AdcOffset, 0xFFFF, "-1"},
            {Setting::DischargeOvercurrent, 15, "100"},
            {Setting::DischargeOvercurrent, 16, ""},
            {Setting::ShortCircuitDelay, 0xFFFF, ""},
            {Setting::BalanceMode, 0, "Charging&Overvoltage"},
            {Setting::BalanceMode, 0x0100, "WTF????"},
        };
        for (const auto &row : settings) {
            RegisterImage image{};
            put(image, setting_def(row.setting).reg, row.value);
            QCOMPARE(display_texts(image).settings[static_cast<size_t>(row.setting)],
                     QString(row.text));
        }

        RegisterImage image{};
        const quint8 id[12] = {0x0A, 0xFF, 0x00, 0x10, 0x01, 0xAB, 0, 0, 0, 0, 0, 0x9C};
        std::copy(std::begin(id), std::end(id), image.begin() + 2 * REG_BMS_SERIAL);
        const char serial[] = "AB\0CD";
        std::copy(serial, serial + 5, image.begin() + 2 * REG_SERIAL_NUMBER);
        put(image, REG_BMS_FIRMWARE, 0x4141); // does not leak into the serial number
        const DisplayTexts t = display_texts(image);
        QCOMPARE(t.bms_serial, QString("0AFF001001AB00000000009C"));
        QCOMPARE(t.serial_number, QString::fromLatin1("AB\0CD", 5) + QString(9, '\0'));
        QCOMPARE(decode_identity(image).serial_number, QString("AB")); // a C string to others
    }

    void settings_encode_decode_and_refuse()
    {
        QCOMPARE(int(all_settings().size()), SETTING_COUNT);
        // Each row: a value, the bytes it is written as, and values that are refused.
        const struct {
            const char *name;
            QJsonValue value;
            const char *bytes;
            QList<QJsonValue> refused;
        } rows[] = {
            {"serial_number",
             "ÄB-1",
             "C3 84 42 2D 31 20 20 20 20 20 20 20 20 20",
             {QString(15, 'x'), QString(7, QChar(0xE9)) + 'x', 5}},
            {"capacity", 32000, "00 7D", {0, 32001, 7.5, "7800"}},
            {"date_of_production",
             "2028-12-31",
             "9F 39",
             {"2018-01-01", "2024-13-01", "2024-1-1", "01.02.2024"}},
            {"charge_overcurrent", 9, "28 23", {0, 10}},
            {"charge_overcurrent_delay", 1500, "DC 05", {1200}},
            {"critical_temperature_delay", 10, "10 27", {11}},
            {"discharge_overcurrent", 50, "06 00", {56, 18}},
            {"short_circuit_delay", 400, "03 00", {300}},
            {"undervoltage_delay", 16, "03 00", {2}},
            {"balance_mode", "Never", "02 00", {"never", 2}},
            {"adc_offset", -128, "80 FF", {-129, 128}},
            {"adc_gain", 396, "8C 01", {364, 397}},
            {"discharge_curve",
             QJsonArray{2000, 3300, 3450, 3550, 3650, 3750, 3850, 3950, 4050, 4100, 4500},
             "D0 07 E4 0C 7A 0D DE 0D 42 0E A6 0E 0A 0F 6E 0F D2 0F 04 10 94 11",
             {QJsonArray{3000, 3100},
              QJsonArray{1999, 3300, 3450, 3550, 3650, 3750, 3850, 3950, 4050, 4100, 4150},
              QJsonArray{3000, 3300, 3450, 3550, 3650, 3650, 3850, 3950, 4050, 4100, 4150}}},
        };
        for (const auto &row : rows) {
            const SettingDef *def = find_setting(row.name);
            QVERIFY2(def, row.name);
            const std::optional<QByteArray> bytes = encode_setting(*def, row.value);
            QVERIFY2(bytes && *bytes == hex(row.bytes), row.name);
            RegisterImage image{};
            std::copy(bytes->begin(), bytes->end(), image.begin() + 2 * def->reg);
            QVERIFY2(setting_holds(*def, image, decode_setting(*def, image)), row.name);
            for (const QJsonValue &bad : row.refused) {
                QString why;
                QVERIFY2(!encode_setting(*def, bad, &why) && !why.isEmpty(), row.name);
            }
        }
        QString why;
        QVERIFY(!parse_setting_text(*find_setting("capacity"), "12k", &why));
        QCOMPARE(why, QString("\"12k\" is not a whole number"));

        // The window's inputs: out-of-range line edits are dropped, the offset is read
        // as 16 bits, the date is taken from list positions.
        QVERIFY(!encode_window_input(setting_def(Setting::Overvoltage), "4301", -1));
        QCOMPARE(*encode_window_input(setting_def(Setting::AdcOffset), "65535", -1), hex("FF FF"));
        QCOMPARE(
            *encode_window_input(setting_def(Setting::SerialNumber), QString(13, 'a') + "é", -1),
            QByteArray(13, 'a') + '\xC3');
        QCOMPARE(encode_window_date(30, 1, 9), hex("5F 38")); // 31 Feb 2028: not checked
    }

    void cross_checks()
    {
        SettingValues v;
        const auto set = [&v](Setting s, const QJsonValue &value) {
            v[static_cast<size_t>(s)] = value;
        };
        set(Setting::Overvoltage, 4200);
        set(Setting::OvervoltageHysteresis, 100);
        set(Setting::Undervoltage, 3000);
        set(Setting::UndervoltageHysteresis, 200);
        set(Setting::ShutdownVoltage, 2800);
        set(Setting::LowestVoltageToBalance, 3900);
        set(Setting::RecuperationDisableVoltage, 4200);
        set(Setting::DischargeCurve,
            QJsonArray{2800, 3300, 3450, 3550, 3650, 3750, 3850, 3950, 4050, 4100, 4200});
        QCOMPARE(cross_check(v), QStringList());
        set(Setting::Overvoltage, 4000); // release points cross, curve above it
        set(Setting::OvervoltageHysteresis, 500);
        set(Setting::UndervoltageHysteresis, 500);
        set(Setting::ShutdownVoltage, 3000); // not below undervoltage
        set(Setting::RecuperationDisableVoltage, 4250);
        const QStringList problems = cross_check(v);
        QCOMPARE(problems.size(), 4);
        QVERIFY(problems[0].startsWith("shutdown_voltage (3000 mV) must be below undervoltage"));
        set(Setting::Overvoltage, QJsonValue()); // unknown: its rules are not checked
        QCOMPARE(cross_check(v).size(), 1);
    }

    // Each rule holds at its boundary and fails one step beyond it.
    void cross_check_boundaries()
    {
        using S = Setting;
        const QJsonArray curve{3000, 3300, 3450, 3550, 3650, 3750, 3850, 3950, 4050, 4100, 4200};
        const auto curve_with = [&curve](int first, int last) {
            QJsonArray c = curve;
            c[0] = first;
            c[10] = last;
            return c;
        };
        const struct {
            const char *name;
            QList<QPair<Setting, QJsonValue>> changes;
            QStringList failed; // how the messages begin
        } rows[] = {
            {"undervoltage just below", {{S::Undervoltage, 4199}}, {}},
            {"undervoltage at overvoltage",
             {{S::Undervoltage, 4200}},
             {"undervoltage (", "the undervoltage"}},
            {"shutdown just below", {{S::ShutdownVoltage, 2999}}, {}},
            {"shutdown at undervoltage", {{S::ShutdownVoltage, 3000}}, {"shutdown_voltage"}},
            {"release points one apart",
             {{S::UndervoltageHysteresis, 500}, {S::OvervoltageHysteresis, 699}},
             {}},
            {"release points meet",
             {{S::UndervoltageHysteresis, 500}, {S::OvervoltageHysteresis, 700}},
             {"the undervoltage"}},
            {"balancing just below", {{S::LowestVoltageToBalance, 4199}}, {}},
            {"balancing at overvoltage",
             {{S::LowestVoltageToBalance, 4200}},
             {"lowest_voltage_to_balance"}},
            {"recuperation at overvoltage", {{S::RecuperationDisableVoltage, 4200}}, {}},
            {"recuperation above",
             {{S::RecuperationDisableVoltage, 4201}},
             {"recuperation_disable_voltage"}},
            {"curve from shutdown to overvoltage",
             {{S::ShutdownVoltage, 2999}, {S::DischargeCurve, curve_with(2999, 4200)}},
             {}},
            {"curve below shutdown",
             {{S::ShutdownVoltage, 2999}, {S::DischargeCurve, curve_with(2998, 4200)}},
             {"discharge_curve"}},
            {"curve above overvoltage",
             {{S::DischargeCurve, curve_with(3000, 4201)}},
             {"discharge_curve"}},
        };
        for (const auto &row : rows) {
            SettingValues v;
            v[size_t(S::Overvoltage)] = 4200;
            v[size_t(S::OvervoltageHysteresis)] = 0;
            v[size_t(S::Undervoltage)] = 3000;
            v[size_t(S::UndervoltageHysteresis)] = 0;
            v[size_t(S::ShutdownVoltage)] = 2800;
            v[size_t(S::LowestVoltageToBalance)] = 3900;
            v[size_t(S::RecuperationDisableVoltage)] = 4100;
            v[size_t(S::DischargeCurve)] = curve;
            for (const auto &[setting, value] : row.changes)
                v[size_t(setting)] = value;
            const QStringList problems = cross_check(v);
            bool as_expected = problems.size() == row.failed.size();
            for (int i = 0; as_expected && i < problems.size(); ++i)
                as_expected = problems[i].startsWith(row.failed[i]);
            QVERIFY2(as_expected, qPrintable(QString(row.name) + ": " + problems.join(" | ")));
        }
    }

    // The window takes an entered point from 2001 to 4499 and keeps the shown one
    // otherwise; the serial number is padded with spaces, which are no part of it;
    // a date is a day of the calendar within the years the window offers.
    void entry_rules()
    {
        CurveTexts shown;
        const int points[] = {3000, 3300, 3450, 3550, 3650, 3750, 3850, 3950, 4050, 4100, 4150};
        for (int k = 0; k < 11; ++k)
            shown[size_t(k)] = QString::number(points[k]);
        const auto first_and_last = [&shown](const char *first, const char *last) {
            CurveTexts entered;
            entered[0] = first;
            entered[10] = last;
            const std::optional<QByteArray> bytes = encode_window_curve(entered, shown);
            return bytes ? QString::number(
                               quint16(quint8(bytes->at(0)) | quint8(bytes->at(1)) << 8)) +
                               ',' +
                               QString::number(
                                   quint16(quint8(bytes->at(20)) | quint8(bytes->at(21)) << 8))
                         : QString("refused");
        };
        QCOMPARE(first_and_last("2001", "4499"), QString("2001,4499"));
        QCOMPARE(first_and_last("2000", "4500"), QString("3000,4150"));
        QCOMPARE(first_and_last(" 2500 ", "x"), QString("2500,4150"));
        shown[0] = "2000"; // a shown point is kept even where it could not be entered
        shown[10] = "4500";
        QCOMPARE(first_and_last("", ""), QString("2000,4500"));
        shown[10] = "4501";
        QCOMPARE(first_and_last("", ""), QString("refused"));

        const SettingDef &serial = setting_def(Setting::SerialNumber);
        const QByteArray padded = QByteArray("AB") + QByteArray(12, ' ');
        QCOMPARE(*encode_setting(serial, "AB"), padded);
        QCOMPARE(*encode_window_input(serial, "AB", -1), padded);
        QCOMPARE(*encode_setting(serial, ""), QByteArray(14, ' '));
        QCOMPARE(*encode_setting(serial, QString(14, 'x')), QByteArray(14, 'x'));
        for (const QByteArray &held : {padded, QByteArray("AB") + QByteArray(12, '\0')}) {
            RegisterImage image{};
            std::copy(held.begin(), held.end(), image.begin() + 2 * serial.reg);
            QCOMPARE(decode_setting(serial, image), QJsonValue("AB"));
            QVERIFY(setting_holds(serial, image, "AB") && setting_holds(serial, image, "AB  "));
            QVERIFY(!setting_holds(serial, image, "ABC") && !setting_holds(serial, image, " AB"));
        }

        const SettingDef &date = setting_def(Setting::DateOfProduction);
        for (const char *day : {"2019-01-01", "2028-12-31", "2024-02-29", "2023-04-30"})
            QVERIFY2(encode_setting(date, day) && register_bytes(date, day), day);
        for (const char *day :
             {"2018-12-31", "2029-01-01", "2023-02-29", "2023-02-30", "2023-04-31", "2023-00-10",
              "2023-13-01", "2023-01-00", "2023-01-32"}) {
            QString why;
            QVERIFY2(!encode_setting(date, day, &why) && !why.isEmpty(), day);
        }
        QCOMPARE(*encode_setting(date, "2023-06-15"), hex("CF 2E"));
        // What a board may hold: any year of the bits, and zero for a date never given,
        // but never a day the calendar does not have.
        QVERIFY(register_bytes(date, "2031-12-31") && register_bytes(date, "2000-00-00"));
        for (const char *day : {"2023-02-30", "2023-00-00", "2032-01-01", "1999-12-31"})
            QVERIFY2(!register_bytes(date, day), day);
    }

    void crc_commands_and_status()
    {
        const auto abcd = reinterpret_cast<const quint8 *>("abcd");
        QCOMPARE(crc32_words(0xFFFFFFFFu, abcd, 4), 0xA62F1C36u);
        QCOMPARE(crc32_words(0xFFFFFFFFu, abcd, 3), 0x61FACA29u); // tail at the word's high end
        FirmwareImage erased;
        erased.fill(0xFF);
        QCOMPARE(crc32_words(0xFFFFFFFFu, erased.data(), FIRMWARE_IMAGE_SIZE), 0xC53CC327u);

        QCOMPARE(build_erase_command(), hex("55AA0422FA010101DCFE"));
        QCOMPARE(build_crc_command(0xC53CC327u), hex("55AA0522FD27C33CC5F0FC"));
        const QByteArray write =
            build_write_command(parse_data_line(":101230000102030405060708090A0B0C0D0E0F1099"));
        QCOMPARE(write.size(), 26);
        QCOMPARE(write.left(24), hex("55AA1422FB1012300102030405060708090A0B0C0D0E0F10"));
        QCOMPARE(command_delay_ms(write), 50);

        // Four zero bytes confirm only the CRC check; otherwise the echo must match.
        const quint8 zeros[4] = {};
        const quint8 echo[4] = {0xFB, 0x10, 0x12, 0x30};
        QVERIFY(!status_accepted(zeros, write, UpgradePhase::SendingLines));
        QVERIFY(status_accepted(zeros, write, UpgradePhase::CheckingCrc));
        QVERIFY(status_accepted(echo, write, UpgradePhase::SendingLines));
        QVERIFY(!status_accepted(echo, build_erase_command(), UpgradePhase::Erasing));
    }

    void loading_fills_the_image()
    {
        FirmwareLoader loader;
        for (const QString &line : {
                 hex_record(4, 0, hex("0800")),
                 hex_record(2, 0, hex("1000")), // address records are not data
                 hex_record(0, 0x0000, hex("00112233445566778899AABBCCDDEEFF")),
                 hex_record(0, 0x0004, hex("A1A2")), // later record wins
                 hex_record(0, 0xFFFF, hex("5555")), // counted, not copied
                 QString(":00010000FF"),             // no bytes: counted only
                 QString("\r\n"),                    // empty line: a data line
                 QString(":0200200012abffff"),       // lower case, wrong checksum
                 hex_record(0, 0x37FE, hex("7E7F")), // the last two bytes
                 hex_record(1, 0, {}),
             })
            loader.add_line(line);
        loader.end_of_file();
        QCOMPARE(loader.problem(), LoadProblem::None);
        QCOMPARE(loader.data_lines(), quint16(7));
        QVERIFY(!loader.last_line_is_data());
        const QByteArray image(reinterpret_cast<const char *>(loader.image().data()),
                               FIRMWARE_IMAGE_SIZE);
        QCOMPARE(image.left(17), hex("00112233A1A266778899AABBCCDDEEFFFF"));
        QCOMPARE(image.mid(0x20, 3), hex("12ABFF"));
        QCOMPARE(image.right(3), hex("FF7E7F"));
        QCOMPARE(image.count('\xFF'), FIRMWARE_IMAGE_SIZE - 20 + 1); // one data byte is FF

        // Past the end of the flash, or more than a write command carries: refused,
        // named by file line, nothing written past the image.
        FirmwareLoader past;
        for (const QString &line : {hex_record(4, 0, hex("0800")), hex_record(0, 0, "\x01"),
                                    hex_record(0, 0x37F8, QByteArray(16, '\x42'))})
            past.add_line(line);
        past.end_of_file();
        QVERIFY(past.problem() == LoadProblem::OutsideImage && past.problem_line() == 3);
        QVERIFY(past.last_line_is_data());
        QCOMPARE(past.image()[0x37F8], quint8(0xFF));
        for (int bytes : {245, 246}) {
            FirmwareLoader long_line;
            long_line.add_line(hex_record(0, 0, QByteArray(bytes, '\x01')));
            QCOMPARE(long_line.problem(),
                     bytes == 245 ? LoadProblem::None : LoadProblem::LineTooLong);
        }
    }

    // A flash from the command line takes only a file proven whole that maps cleanly
    // onto the flash; the verdict names the line that shows the fault.
    void strict_loading_refuses()
    {
        const QByteArray linear_0800 = record(4, 0, "0800");
        QByteArray damaged = generated_hex_file(3, 16, 1);
        damaged[20] = damaged.at(20) == '0' ? '1' : '0'; // a data digit of line 2
        const struct {
            const char *name;
            QByteArray text;
            FirmwareFault fault;
            int line;
            int earlier_line;
        } rows[] = {
            {"empty", "", FirmwareFault::Empty, 0, 0},
            {"white space only", " \r\n\n\t", FirmwareFault::Empty, 0, 0},
            {"damaged", damaged, FirmwareFault::BadChecksums, 2, 0},
            {"cut short", generated_hex_file(3, 16, 1, false), FirmwareFault::NoEndRecord, 4, 0},
            {"not hex", block(0, 1) + ":10000000zz\n" + END, FirmwareFault::NotARecord, 2, 0},
            {"blank line inside", block(0, 1) + "\n" + END, FirmwareFault::NotARecord, 2, 0},
            {"short record", block(0, 1) + ":0100000001\n" + END, FirmwareFault::NotARecord, 2, 0},
            {"type 06", record(6, 0, "00") + END, FirmwareFault::NotARecord, 1, 0},
            {"address record of one byte", record(4, 0, "08") + block(0, 1) + END,
             FirmwareFault::NotARecord, 1, 0},
            {"data after the end", block(0, 1) + END + "\r\n" + block(0x100, 1),
             FirmwareFault::NotARecord, 4, 0},
            {"line too long", block(0, 1, 246) + END, FirmwareFault::LineTooLong, 1, 0},
            {"past the flash end", block(0x37F8, 1) + END, FirmwareFault::OutsideFlash, 1, 0},
            {"at 0xFFFF", block(0, 1) + block(0xFFFF, 1, 2) + END, FirmwareFault::OutsideFlash, 2,
             0},
            // 256 bytes at 0x0000, then 4 KB behind an extended linear address of 0x0001.
            {"two linear bases", block(0, 16) + record(4, 0, "0001") + block(0, 256) + END,
             FirmwareFault::SeveralBases, 18, 1},
            {"segment then none",
             record(2, 0, "1000") + block(0, 1) + record(4, 0, "0000") + block(0x100, 1) + END,
             FirmwareFault::SeveralBases, 4, 2},
            // 50 MB repeating one record, in small: the data pass the flash size.
            {"one record repeated", linear_0800 + block(0, 1).repeated(1000) + END,
             FirmwareFault::MoreThanFlash, 898, 0},
            {"overlap", linear_0800 + block(0x0100, 2) + block(0x0118, 1) + END,
             FirmwareFault::Overlap, 4, 3},
            {"no data", linear_0800 + END, FirmwareFault::NoDataRecords, 0, 0},
        };
        for (const auto &row : rows) {
            const FirmwareVerdict v = judge(row.text, STRICT);
            QVERIFY2(v.fault == row.fault && v.line == row.line &&
                         v.earlier_line == row.earlier_line,
                     qPrintable(QString("%1: fault %2 line %3 earlier %4")
                                    .arg(row.name)
                                    .arg(int(v.fault))
                                    .arg(v.line)
                                    .arg(v.earlier_line)));
        }

        // What the message needs besides the lines.
        FirmwareVerdict v =
            judge(block(0, 16) + record(4, 0, "0001") + block(0, 256) + END, STRICT);
        QVERIFY(v.base == 0x10000 && v.base_line == 17 && v.earlier_base == 0);
        v = judge(linear_0800 + block(0x0100, 2) + block(0x0118, 1) + END, STRICT);
        QCOMPARE(v.overlap_address, quint16(0x0118));
        v = judge(block(0, 1).repeated(1000) + END, STRICT);
        QCOMPARE(v.data_bytes, qint64(16000));
        v = judge(block(0, 1) + ":0100000001\n" + END, STRICT);
        QVERIFY(v.line_fault == LineFault::WrongLength && v.bytes == 5 && v.expected_bytes == 6);
        QCOMPARE(judge(record(0x0A, 0, "00") + END, STRICT).record_type, 0x0A);

        // A wrong checksum may be waived; the lines are still told.
        FirmwareLoader loaded;
        v = judge(damaged, FirmwareRules{true, false}, &loaded);
        QVERIFY(v.accepted() && v.bad_checksums == QVector<int>{2});
        QCOMPARE(loaded.data_lines(), quint16(3));
        // A refused file leaves nothing to send.
        judge(linear_0800 + block(0x0100, 2) + block(0x0118, 1) + END, STRICT, &loaded);
        QCOMPARE(loaded.data_lines(), quint16(0));
    }

    // Files as linkers and editors write them load as the clean file does, and the
    // window keeps its own, looser rules.
    void strict_loading_takes_real_files()
    {
        const QByteArray clean =
            record(4, 0, "0800") + block(0, 3) + record(5, 0, "08000101") + END;
        FirmwareLoader expected;
        QVERIFY(judge(clean, STRICT, &expected).accepted());
        QCOMPARE(expected.data_lines(), quint16(3));
        QVERIFY(!expected.last_line_is_data());
        QByteArray doubled_cr = clean;
        doubled_cr.replace("\n", "\r\r\n"); // a CR LF file converted once more
        QByteArray trailing = clean;
        trailing.replace(":00000001FF\n", ":00000001FF  \r\n\r\n   \n\n\t");
        const QByteArray segment_and_linear =
            record(2, 0, "1000") + block(0, 1) + record(4, 0, "0001") + block(0x10, 1) + END;
        for (const QByteArray &text : {QByteArray(clean).replace("\n", "\r\n"), doubled_cr,
                                       trailing, QByteArray(clean).replace("\n", " \t\n")}) {
            FirmwareLoader loaded;
            const FirmwareVerdict v = judge(text, STRICT, &loaded);
            QVERIFY2(v.accepted(), text.constData());
            QCOMPARE(loaded.data_lines(), expected.data_lines()); // nothing after the end
            QVERIFY(loaded.image() == expected.image());
            QVERIFY(loaded.records().constLast().data == expected.records().constLast().data);
        }
        QVERIFY(judge(segment_and_linear, STRICT).accepted());     // one base, told two ways
        QVERIFY(judge(block(0x37F0, 1) + END, STRICT).accepted()); // the last 16 bytes

        // The window: two bases and overlaps load, later records winning; blank lines
        // are data lines without bytes; only the flash end and the line length refuse.
        FirmwareLoader window;
        const QByteArray two_bases =
            block(0, 1, 16, '\x01') + record(4, 0, "0001") + block(0, 1, 4, '\x02') + END + "\n";
        QVERIFY(judge(two_bases, WINDOW, &window).accepted());
        QCOMPARE(window.data_lines(), quint16(3));
        QCOMPARE(window.image()[3], quint8(0x02));
        QCOMPARE(window.image()[4], quint8(0x01));
        QVERIFY(judge(block(0xFFFF, 1, 2) + END, WINDOW).accepted());
        const FirmwareVerdict v = judge(block(0, 1) + block(0x37F8, 1) + END, WINDOW, &window);
        QVERIFY(v.fault == FirmwareFault::OutsideFlash && v.line == 2 &&
                v.record.address == 0x37F8);
        QCOMPARE(window.data_lines(), quint16(0));
        QCOMPARE(judge(block(0, 1, 246), WINDOW).fault, FirmwareFault::LineTooLong);
        QCOMPARE(judge("", WINDOW).fault, FirmwareFault::None);
    }

    void durations()
    {
        QCOMPARE(duration_text(0), QString("0:00"));
        QCOMPARE(duration_text(3599.4), QString("59:59"));
        QCOMPARE(duration_text(3599.5), QString("1:00:00"));
        QCOMPARE(duration_text(68183), QString("18:56:23"));
    }
};

QTEST_GUILESS_MAIN(TestCore)
#include "test_core.moc"
