// The window as the technician first sees it: every object of the form, where it
// sits, what it says and whether it can be edited.

#include "dialog_access.h"

#include "ui_mydialogwindow.h"

#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>

#include <memory>

namespace
{

QStringList numbers(int first, int last, int step = 1)
{
    QStringList list;
    for (int n = first; n <= last; n += step)
        list << QString::number(n);
    return list;
}

struct Row {
    const char *label;
    const char *text;
    const char *value;
};

// The monitoring group, top to bottom, with each row's top edge.
const Row monitor_rows[] = {
    {"label_battery_voltage", "Voltage, mV", "lineEdit_battery_voltage"},
    {"label_battery_current", "Current, mA", "lineEdit_battery_current"},
    {"label_43", "Remaining charge, %", "lineEdit_remain_battery_capacity_percents"},
    {"label_42", "Remaining charge, mAh", "lineEdit_remain_battery_capacity_mah"},
    {"label_discharging_enabled", "Discharge is enabled", "lineEdit_discharging_enabled"},
    {"label_charging_enabled", "Charge is enabled", "lineEdit_charging_enabled"},
    {"label_19", "Charging now", "lineEdit_charging_state"},
    {"label_35", "Overheat is detected", "lineEdit_overheat_detected"},
    {"label_34", "Recuperation is enabled", "lineEdit_recuperation_enabled"},
    {"label_20", "Cells temperature 1, \u00b0C", "lineEdit_t1"},
    {"label_22", "Cells temperature 2, \u00b0C", "lineEdit_t2"},
    {"label_101", "BMS serial", "lineEdit_bms_serial"},
    {"label_102", "BMS firmware", "lineEdit_bms_firmware"},
    {"label_24", "Cell 1, mV", "lineEdit_cell1"},
    {"label_25", "Cell 2, mV", "lineEdit_cell2"},
    {"label_26", "Cell 3, mV", "lineEdit_cell3"},
    {"label_27", "Cell 4, mV", "lineEdit_cell4"},
    {"label_36", "Cell 5, mV", "lineEdit_cell5"},
    {"label_28", "Cell 6, mV", "lineEdit_cell6"},
    {"label_29", "Cell 7, mV", "lineEdit_cell7"},
    {"label_30", "Cell 8, mV", "lineEdit_cell8"},
    {"label_31", "Cell 9, mV", "lineEdit_cell9"},
    {"label_32", "Cell 10, mV", "lineEdit_cell10"},
};
const int monitor_tops[] = {27,  50,  73,  96,  129, 152, 175, 198, 221, 244, 267, 300,
                            323, 368, 391, 414, 437, 460, 483, 506, 529, 552, 575};

struct SettingRow {
    const char *label;
    const char *text;
    const char *value;
    const char *input;
    QStringList items; // empty: the input is a line edit
    const char *button;
};

const std::vector<SettingRow> &advanced_rows()
{
    static const std::vector<SettingRow> rows = {
        {"label_88", "Charge overcurrent, A", "lineEdit_undercurrent_current",
         "comboBox_set_undercurrent_current", numbers(1, 9), "pushButton_set_undercurrent_current"},
        {"label_72", "Charge overcurrent delay, ms", "lineEdit_undercurrent_delay",
         "comboBox_set_undercurrent_delay", numbers(500, 3000, 500),
         "pushButton_set_undercurrent_delay"},
        {"label_87", "Charge overcurrent cooldown, s", "lineEdit_undercurrent_holding_time",
         "comboBox_set_undercurrent_holding_time", numbers(1, 10),
         "pushButton_set_undercurrent_holding_time"},
        {"label_17",
         "Discharge overcurrent, A",
         "lineEdit_overcurrent_current",
         "comboBox_set_overcurrent_current",
         {"17", "22", "28", "33", "39", "44", "50"},
         "pushButton_set_overcurrent_current"},
        {"label_18",
         "Discharge overcurrent delay, ms",
         "lineEdit_overcurrent_delay",
         "comboBox_set_overcurrent_delay",
         {"8", "20", "40", "80", "160", "320", "640", "1280"},
         "pushButton_set_overcurrent_delay"},
        {"label_73", "Discharge overcurrent cooldown, s", "lineEdit_overcurrent_holding_time",
         "comboBox_set_overcurrent_holding_time", numbers(1, 10),
         "pushButton_set_overcurrent_holding_time"},
        {"label_21",
         "Short circuit current, A",
         "lineEdit_short_circuit_current",
         "comboBox_set_short_circuit_current",
         {"44", "67", "89", "111", "133", "155", "178", "200"},
         "pushButton_set_short_circuit_current"},
        {"label_33",
         "Short circuit delay, us",
         "lineEdit_short_circuit_delay",
         "comboBox_set_short_circuit_delay",
         {"70", "100", "200", "400"},
         "pushButton_set_short_circuit_delay"},
        {"label_75", "Short circuit cooldown, s", "lineEdit_short_circuit_cooldown",
         "comboBox_set_short_circuit_cooldown", numbers(1, 10),
         "pushButton_set_short_circuit_cooldown"},
        {"label_39",
         "Cell overvoltage, mV",
         "lineEdit_overvoltage",
         "lineEdit_set_overvoltage_voltage",
         {},
         "pushButton_set_overvoltage_voltage"},
        {"label_44",
         "Cell overvoltage delay, s",
         "lineEdit_overvoltage_delay",
         "comboBox_set_overvoltage_delay",
         {"1", "2", "4", "8"},
         "pushButton_set_overvoltage_delay"},
        {"label_70",
         "Cell overvoltage hysteresis, mV",
         "lineEdit_overvoltage_hysteresis",
         "lineEdit_set_overvoltage_hysteresis",
         {},
         "pushButton_set_overvoltage_hysteresis"},
        {"label_45",
         "Cell undervoltage, mV",
         "lineEdit_undervoltage",
         "lineEdit_set_undervoltage_voltage",
         {},
         "pushButton_set_undervoltage_voltage"},
        {"label_46",
         "Cell undervoltage delay, s",
         "lineEdit_undervoltage_delay",
         "comboBox_set_undervoltage_delay",
         {"1", "4", "8", "16"},
         "pushButton_set_undervoltage_delay"},
        {"label_71",
         "Cell undervoltage hysteresis, mV",
         "lineEdit_undervoltage_hysteresis",
         "lineEdit_set_undervoltage_hysteresis",
         {},
         "pushButton_set_undervoltage_hysteresis"},
        {"label_67",
         "Balancing mode",
         "lineEdit_balance_mode",
         "comboBox_set_balance_mode",
         {"Charging&Overvoltage", "Always", "Never"},
         "pushButton_set_balance_mode"},
        {"label_69",
         "BMS shutdown voltage, mV",
         "lineEdit_shutdown_voltage",
         "lineEdit_set_shutdown_voltage",
         {},
         "pushButton_set_shutdown_voltage"},
        {"label_68",
         "Lowest voltage to balance, mV",
         "lineEdit_lowest_voltage_to_balance",
         "lineEdit_set_lowest_voltage_to_balance",
         {},
         "pushButton_set_lowest_voltage_to_balance"},
        {"label_47",
         "Cell disbalance threshold, mV",
         "lineEdit_disbalance_thr",
         "lineEdit_set_disbalance_threshold",
         {},
         "pushButton_set_cell_disbalance_threshold"},
        {"label_65",
         "Recuperation disable voltage, mV",
         "lineEdit_recuperation_disable_voltage",
         "lineEdit_set_recuperation_disable_voltage",
         {},
         "pushButton_set_recuperation_disable_voltage"},
        {"label_16", "Critical cells temperature, \u00b0C", "lineEdit_critical_int_temp",
         "comboBox_set_critical_int_temp", numbers(40, 80, 10), "pushButton_set_critical_int_temp"},
        {"label_15", "Critical temperature delay, s", "lineEdit_critical_temp_delay",
         "comboBox_set_critical_temp_delay", numbers(1, 10), "pushButton_set_critical_temp_delay"},
        {"label_86", "Critical temperature hysteresis, \u00b0C",
         "lineEdit_critical_temp_hysteresis", "comboBox_set_critical_temp_hysteresis",
         numbers(5, 30, 5), "pushButton_set_critical_temp_hysteresis"},
        {"label_90", "ADC gain, uV/LSB", "lineEdit_adc_gain", "comboBox_set_adc_gain",
         numbers(365, 396), "pushButton_set_adc_gain"},
        {"label_91",
         "ADC offset, mV",
         "lineEdit_adc_offset",
         "lineEdit_set_adc_offset",
         {},
         "pushButton_set_adc_offset"},
    };
    return rows;
}

const char *const curve_labels[] = {"label_139", "label_138", "label_137", "label_136",
                                    "label_135", "label_134", "label_133", "label_132",
                                    "label_131", "label_57",  "label_58"};

QString name_at(const char *prefix, int n)
{
    return QString::fromLatin1(prefix) + QString::number(n);
}

// Every named object of the form with its class and the group that holds it.
QMap<QString, QPair<QString, QString>> expected_objects()
{
    QMap<QString, QPair<QString, QString>> all;
    auto add = [&all](const QString &name, const char *cls, const char *group) {
        all.insert(name, {QString::fromLatin1(cls), QString::fromLatin1(group)});
    };
    for (const char *group :
         {"groupBox", "groupBox_2", "groupBox_4", "groupBox_5", "groupBox_7", "groupBox_3"})
        add(QString::fromLatin1(group), "QGroupBox", "MyDialogWindow");
    add("layoutWidget", "QWidget", "groupBox");
    add("horizontalLayout", "QHBoxLayout", "groupBox");
    add("button_refresh", "QPushButton", "groupBox");
    add("ports_combo_box", "QComboBox", "groupBox");
    add("button_connect", "QPushButton", "groupBox");
    add("button_disconnect", "QPushButton", "groupBox");
    add("label_connection_state", "QLabel", "groupBox");
    for (const Row &row : monitor_rows) {
        add(QString::fromLatin1(row.label), "QLabel", "groupBox_2");
        add(QString::fromLatin1(row.value), "QLineEdit", "groupBox_2");
    }
    for (int n = 1; n <= 10; ++n)
        add(name_at("label_cell_balancing", n), "QLabel", "groupBox_2");
    for (const char *name : {"label_23", "label_41", "label_61"})
        add(QString::fromLatin1(name), "QLabel", "groupBox_4");
    for (const char *name :
         {"lineEdit_serial_number", "lineEdit_battery_capacity", "lineEdit_date_of_production",
          "lineEdit_set_serial_number", "lineEdit_set_capacity"})
        add(QString::fromLatin1(name), "QLineEdit", "groupBox_4");
    for (const char *name : {"comboBox_set_day_of_production", "comboBox_set_month_of_production",
                             "comboBox_set_year_of_production"})
        add(QString::fromLatin1(name), "QComboBox", "groupBox_4");
    for (const char *name : {"pushButton_set_serial_number", "pushButton_set_capacity",
                             "pushButton_set_date_of_production"})
        add(QString::fromLatin1(name), "QPushButton", "groupBox_4");
    for (int n = 1; n <= 11; ++n) {
        add(QString::fromLatin1(curve_labels[n - 1]), "QLabel", "groupBox_5");
        add(name_at("lineEdit_dsg_curve", n), "QLineEdit", "groupBox_5");
        add(name_at("lineEdit_set_dsg_curve", n), "QLineEdit", "groupBox_5");
    }
    add("pushButton_set_dsg_curve_manual", "QPushButton", "groupBox_5");
    add("label_89", "QLabel", "groupBox_7");
    add("lineEdit_set_firmware_path", "QLineEdit", "groupBox_7");
    add("pushButton_fw_upgrade", "QPushButton", "groupBox_7");
    add("plainTextEdit", "QPlainTextEdit", "groupBox_7");
    for (const SettingRow &row : advanced_rows()) {
        add(QString::fromLatin1(row.label), "QLabel", "groupBox_3");
        add(QString::fromLatin1(row.value), "QLineEdit", "groupBox_3");
        add(QString::fromLatin1(row.input), row.items.isEmpty() ? "QLineEdit" : "QComboBox",
            "groupBox_3");
        add(QString::fromLatin1(row.button), "QPushButton", "groupBox_3");
    }
    return all;
}

QStringList items_of(QComboBox *box)
{
    QStringList items;
    for (int i = 0; i < box->count(); ++i)
        items << box->itemText(i);
    return items;
}

QObject *group_of(QObject *object)
{
    QObject *p = object->parent();
    while (p && !qobject_cast<QGroupBox *>(p) && !qobject_cast<QDialog *>(p))
        p = p->parent();
    return p;
}

} // namespace

class TestForm : public QObject
{
    Q_OBJECT

    std::unique_ptr<MyDialogWindow> dialog;

private slots:
    void init()
    {
        reset_program_state();
        dialog = std::make_unique<MyDialogWindow>();
    }
    void cleanup() { dialog.reset(); }

    void every_object_has_its_name_class_and_group()
    {
        const auto expected = expected_objects();
        QCOMPARE(expected.size(), 221);
        for (auto it = expected.begin(); it != expected.end(); ++it) {
            QObject *object = dialog->findChild<QObject *>(it.key());
            QVERIFY2(object, qPrintable(it.key()));
            QCOMPARE(QString::fromLatin1(object->metaObject()->className()), it.value().first);
            QCOMPARE(group_of(object)->objectName(), it.value().second);
        }

        // Nothing beyond the table: every named object of these kinds is in it.
        const QStringList kinds = {"QGroupBox", "QWidget",   "QHBoxLayout", "QLabel",
                                   "QLineEdit", "QComboBox", "QPushButton", "QPlainTextEdit"};
        int counted = 0;
        for (QObject *object : dialog->findChildren<QObject *>()) {
            const QString name = object->objectName();
            if (name.isEmpty() || name.startsWith("qt_") ||
                !kinds.contains(QString::fromLatin1(object->metaObject()->className())))
                continue;
            QVERIFY2(expected.contains(name), qPrintable(name));
            ++counted;
        }
        QCOMPARE(counted, 221);
    }

    void window_and_groups()
    {
        QCOMPARE(dialog->objectName(), QString("MyDialogWindow"));
        QVERIFY(dialog->isEnabled());
        QCOMPARE(dialog->size(), QSize(1388, 671));
        QVERIFY(dialog->isSizeGripEnabled());
        QVERIFY(dialog->windowTitle().startsWith("Voltaro repair BMS tool v2.0 "));
        QVERIFY(!dialog->windowTitle().contains('\n'));
        // Absolute placement: resizing must not move the groups.
        QVERIFY(!dialog->layout());

        const struct {
            const char *name, *title;
            QRect rect;
        } groups[] = {
            {"groupBox", "Serial port connection", {10, 5, 801, 51}},
            {"groupBox_2", "Online battery monitoring", {10, 60, 270, 601}},
            {"groupBox_4", "Basic battery settings", {290, 60, 521, 111}},
            {"groupBox_5", "Discharge curve", {290, 170, 521, 111}},
            {"groupBox_7", "BMS firmware upgrade", {290, 290, 521, 371}},
            {"groupBox_3", "Advanced battery settings", {820, 60, 560, 601}},
        };
        for (const auto &g : groups) {
            auto *box = widget<QGroupBox>(dialog.get(), g.name);
            QCOMPARE(box->title(), QString::fromUtf8(g.title));
            QCOMPARE(box->geometry(), g.rect);
        }

        // The connection group: the four controls side by side in one layout.
        auto *holder = widget<QWidget>(dialog.get(), "layoutWidget");
        QCOMPARE(holder->geometry(), QRect(10, 17, 331, 25));
        auto *row = widget<QHBoxLayout>(dialog.get(), "horizontalLayout");
        QCOMPARE(holder->layout(), row);
        QCOMPARE(row->contentsMargins(), QMargins(0, 0, 0, 0));
        const char *in_row[] = {"button_refresh", "ports_combo_box", "button_connect",
                                "button_disconnect"};
        QCOMPARE(row->count(), 4);
        for (int i = 0; i < 4; ++i)
            QCOMPARE(row->itemAt(i)->widget()->objectName(), QString(in_row[i]));
        QCOMPARE(widget<QPushButton>(dialog.get(), "button_refresh")->text(),
                 QString("Refresh ports"));
        QCOMPARE(widget<QPushButton>(dialog.get(), "button_connect")->text(), QString("Connect"));
        QCOMPARE(widget<QPushButton>(dialog.get(), "button_disconnect")->text(),
                 QString("Disconnect"));

        auto *state = widget<QLabel>(dialog.get(), "label_connection_state");
        QCOMPARE(state->geometry(), QRect(450, 20, 192, 16));
        QCOMPARE(state->text(), QString("BMS IS DISCONNECTED"));
        QCOMPARE(state->styleSheet(), QString("color: rgb(150, 20, 20)"));
        QCOMPARE(state->font().family(), QString("Arial"));
        QCOMPARE(state->font().pointSize(), 12);
        QVERIFY(state->font().bold());

        // The monitoring group prints its numbers the US English way, whatever
        // the machine's locale.
        auto *monitor = widget<QGroupBox>(dialog.get(), "groupBox_2");
        QVERIFY(!monitor->font().bold());
        QCOMPARE(monitor->locale(), QLocale(QLocale::English, QLocale::UnitedStates));
        QCOMPARE(widget<QLineEdit>(dialog.get(), "lineEdit_cell7")->locale(),
                 QLocale(QLocale::English, QLocale::UnitedStates));
    }

    void monitoring_rows()
    {
        for (int i = 0; i < 23; ++i) {
            const Row &row = monitor_rows[i];
            auto *label = widget<QLabel>(dialog.get(), row.label);
            auto *value = widget<QLineEdit>(dialog.get(), row.value);
            QCOMPARE(label->text(), QString::fromUtf8(row.text));
            QCOMPARE(value->y(), monitor_tops[i]);
            QCOMPARE(label->y(), monitor_tops[i]);
            QVERIFY2(label->geometry().right() < value->x(), row.label);
            if (QByteArray(row.value) == "lineEdit_bms_serial") {
                QCOMPARE(value->geometry(), QRect(61, 300, 150, 20));
            } else {
                QCOMPARE(value->size(), QSize(90, 20));
                QCOMPARE(value->x(), 122);
                QVERIFY(qAbs(label->x() + label->width() - 118) <= 3);
            }
        }
        for (int n = 1; n <= 10; ++n) {
            auto *balancing =
                widget<QLabel>(dialog.get(), qPrintable(name_at("label_cell_balancing", n)));
            auto *cell = widget<QLineEdit>(dialog.get(), qPrintable(name_at("lineEdit_cell", n)));
            QCOMPARE(balancing->text(), QString("-"));
            QCOMPARE(balancing->x(), 220);
            QVERIFY(qAbs(balancing->width() - 47) <= 3 && qAbs(balancing->height() - 16) <= 3);
            QVERIFY(balancing->y() >= cell->y() &&
                    balancing->geometry().bottom() <= cell->geometry().bottom());
        }
    }

    void settings_rows_and_combo_items()
    {
        // Basic settings.
        const char *labels[] = {"label_23", "label_41", "label_61"};
        const char *texts[] = {"Battery serial", "Battery capacity, mAh",
                               "Battery date of production"};
        const char *values[] = {"lineEdit_serial_number", "lineEdit_battery_capacity",
                                "lineEdit_date_of_production"};
        const char *buttons[] = {"pushButton_set_serial_number", "pushButton_set_capacity",
                                 "pushButton_set_date_of_production"};
        for (int i = 0; i < 3; ++i) {
            const int top = 27 + 23 * i;
            QCOMPARE(widget<QLabel>(dialog.get(), labels[i])->text(), QString(texts[i]));
            QVERIFY(qAbs(widget<QLabel>(dialog.get(), labels[i])->geometry().right() + 1 - 137) <=
                    3);
            QCOMPARE(widget<QLineEdit>(dialog.get(), values[i])->geometry(),
                     QRect(141, top, 145, 20));
            auto *button = widget<QPushButton>(dialog.get(), buttons[i]);
            QCOMPARE(button->geometry(), QRect(440, top, 75, 21));
            QCOMPARE(button->text(), QString("Set"));
        }
        QCOMPARE(widget<QLineEdit>(dialog.get(), "lineEdit_set_serial_number")->geometry(),
                 QRect(292, 27, 142, 20));
        QCOMPARE(widget<QLineEdit>(dialog.get(), "lineEdit_set_capacity")->geometry(),
                 QRect(292, 50, 142, 20));
        const struct {
            const char *name;
            int left, width;
            QStringList items;
        } date[] = {
            {"comboBox_set_day_of_production", 292, 41, numbers(1, 31)},
            {"comboBox_set_month_of_production",
             336,
             46,
             {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"}},
            {"comboBox_set_year_of_production", 385, 49, numbers(2019, 2028)},
        };
        for (const auto &d : date) {
            auto *box = widget<QComboBox>(dialog.get(), d.name);
            QCOMPARE(box->x(), d.left);
            QCOMPARE(box->width(), d.width);
            QCOMPARE(box->y(), 73);
            QCOMPARE(items_of(box), d.items);
            QCOMPARE(box->currentIndex(), 0);
        }

        // Advanced settings.
        int row_index = 0;
        for (const SettingRow &row : advanced_rows()) {
            const int top = row_index < 12 ? 23 + 23 * row_index : 300 + 23 * (row_index - 12);
            ++row_index;
            auto *label = widget<QLabel>(dialog.get(), row.label);
            QCOMPARE(label->text(), QString::fromUtf8(row.text));
            QVERIFY2(qAbs(label->geometry().right() + 1 - 172) <= 3, row.label);
            QCOMPARE(widget<QLineEdit>(dialog.get(), row.value)->geometry(),
                     QRect(176, top, 145, 20));
            auto *input = widget<QWidget>(dialog.get(), row.input);
            QCOMPARE(input->pos(), QPoint(327, top));
            QCOMPARE(input->width(), 142);
            QVERIFY(input->height() == 20 || input->height() == 21);
            if (!row.items.isEmpty()) {
                auto *box = qobject_cast<QComboBox *>(input);
                QCOMPARE(items_of(box), row.items);
                QCOMPARE(box->currentIndex(), 0);
                QVERIFY(!box->isEditable());
            }
            auto *button = widget<QPushButton>(dialog.get(), row.button);
            QCOMPARE(button->geometry(), QRect(475, top, 75, 21));
            QCOMPARE(button->text(), QString("Set"));
        }
        QCOMPARE(row_index, 25);
        QCOMPARE(dialog->findChildren<QComboBox *>().size(), 20);

        // Discharge curve: column 1 is the 0% point, column 11 the 100% point.
        for (int n = 1; n <= 11; ++n) {
            const int left = 10 + 46 * (n - 1);
            auto *label = widget<QLabel>(dialog.get(), curve_labels[n - 1]);
            QCOMPARE(label->text(), QString("%1%").arg(10 * (n - 1)));
            QCOMPARE(label->geometry(), QRect(left, 16, 31, 20));
            QCOMPARE(widget<QLineEdit>(dialog.get(), qPrintable(name_at("lineEdit_dsg_curve", n)))
                         ->geometry(),
                     QRect(left, 33, 31, 20));
            QCOMPARE(
                widget<QLineEdit>(dialog.get(), qPrintable(name_at("lineEdit_set_dsg_curve", n)))
                    ->geometry(),
                QRect(left, 56, 31, 20));
        }
        auto *manual = widget<QPushButton>(dialog.get(), "pushButton_set_dsg_curve_manual");
        QCOMPARE(manual->geometry(), QRect(10, 80, 71, 21));
        QCOMPARE(manual->text(), QString("Set manual"));

        // Firmware upgrade.
        auto *path_label = widget<QLabel>(dialog.get(), "label_89");
        QCOMPARE(path_label->geometry(), QRect(12, 30, 41, 20));
        QCOMPARE(path_label->text(), QString("Full path"));
        auto *path = widget<QLineEdit>(dialog.get(), "lineEdit_set_firmware_path");
        QCOMPARE(path->geometry(), QRect(57, 30, 361, 20));
        auto *flash = widget<QPushButton>(dialog.get(), "pushButton_fw_upgrade");
        QCOMPARE(flash->geometry(), QRect(430, 30, 75, 21));
        QCOMPARE(flash->text(), QString("Flash!"));
        QCOMPARE(widget<QPlainTextEdit>(dialog.get(), "plainTextEdit")->geometry(),
                 QRect(10, 60, 501, 301));
    }

    void initial_contents_and_enabled_states()
    {
        int disabled_values = 0, inputs = 0;
        for (QLineEdit *edit : dialog->findChildren<QLineEdit *>()) {
            if (edit->objectName().isEmpty()) // the port box's own editor
                continue;
            if (edit->objectName().startsWith("lineEdit_set_")) {
                ++inputs;
                QVERIFY2(edit->isEnabled(), qPrintable(edit->objectName()));
                if (edit->objectName() != "lineEdit_set_firmware_path")
                    QVERIFY2(edit->text().isEmpty(), qPrintable(edit->objectName()));
            } else {
                ++disabled_values;
                QVERIFY2(!edit->isEnabled(), qPrintable(edit->objectName()));
                QVERIFY2(edit->text().isEmpty(), qPrintable(edit->objectName()));
            }
        }
        QCOMPARE(disabled_values, 62);
        QCOMPARE(inputs, 23);

        // The hint is real content, so that "Flash!" on an untouched field uses it.
        auto *path = widget<QLineEdit>(dialog.get(), "lineEdit_set_firmware_path");
        QCOMPARE(path->text(), QString("Copy and paste full path to hex, including .hex"));
        QVERIFY(path->placeholderText().isEmpty());

        for (QPushButton *button : dialog->findChildren<QPushButton *>())
            QCOMPARE(button->isEnabled(), button->objectName() != "button_disconnect");
        QCOMPARE(dialog->findChildren<QPushButton *>().size(), 33);
        for (QComboBox *box : dialog->findChildren<QComboBox *>())
            QVERIFY(box->isEnabled());
        auto *log = widget<QPlainTextEdit>(dialog.get(), "plainTextEdit");
        QVERIFY(log->isEnabled());
        QVERIFY(!log->isReadOnly());
        QVERIFY(log->toPlainText().isEmpty());
    }

    void retranslation_refills_item_lists()
    {
        // A second pass over the texts gives the same lists, not doubled ones.
        QDialog host;
        Ui::MyDialogWindow form;
        form.setupUi(&host);
        form.lineEdit_set_dsg_curve4->setText("3500");
        form.lineEdit_set_serial_number->setText("12345");
        form.retranslateUi(&host);
        QCOMPARE(items_of(form.comboBox_set_balance_mode),
                 QStringList({"Charging&Overvoltage", "Always", "Never"}));
        QCOMPARE(form.comboBox_set_adc_gain->count(), 32);
        QVERIFY(form.lineEdit_set_dsg_curve4->text().isEmpty());
        QVERIFY(form.lineEdit_set_serial_number->text().isEmpty());
        QCOMPARE(form.ports_combo_box->count(), 0);
    }

    void escape_closes_the_window_and_ends_the_program()
    {
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        QSignalSpy rejected(dialog.get(), &QDialog::rejected);
        QTimer::singleShot(0, dialog.get(),
                           [this] { QTest::keyClick(dialog.get(), Qt::Key_Escape); });
        // A hang here would mean the loop outlived the window.
        QTimer::singleShot(10000, qApp, [] { qApp->exit(99); });
        QCOMPARE(qApp->exec(), 0);
        QCOMPARE(rejected.count(), 1);
        QVERIFY(!dialog->isVisible());
    }
};

QTEST_MAIN(TestForm)
#include "test_form.moc"
