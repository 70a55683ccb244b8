// The window as the technician first sees it: every object of the form, the
// groups, the choices offered and what can be edited.

#include "dialog_access.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>

#include <memory>

namespace
{

// "name{1..3}" stands for name1 name2 name3, "{500..3000:500}" steps by 500.
QStringList expand(const char *spaced)
{
    static const QRegularExpression series("^(.*)\\{(\\d+)\\.\\.(\\d+)(?::(\\d+))?\\}$");
    QStringList out;
    for (const QString &token : QString::fromUtf8(spaced).split(' ', Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch m = series.match(token);
        if (!m.hasMatch()) {
            out << token;
            continue;
        }
        const int step = m.captured(4).isEmpty() ? 1 : m.captured(4).toInt();
        for (int n = m.captured(2).toInt(); n <= m.captured(3).toInt(); n += step)
            out << m.captured(1) + QString::number(n);
    }
    return out;
}

struct Objects {
    const char *group, *cls, *names;
};
const Objects objects[] = {
    {"MyDialogWindow", "QGroupBox",
     "groupBox groupBox_2 groupBox_3 groupBox_4 groupBox_5 "
     "groupBox_7"},
    {"groupBox", "QWidget", "layoutWidget"},
    {"groupBox", "QHBoxLayout", "horizontalLayout"},
    {"groupBox", "QPushButton", "button_refresh button_connect button_disconnect"},
    {"groupBox", "QComboBox", "ports_combo_box"},
    {"groupBox", "QLabel", "label_connection_state"},
    {"groupBox_2", "QLabel",
     "label_battery_voltage label_battery_current label_43 label_42 label_discharging_enabled "
     "label_charging_enabled label_19 label_35 label_34 label_20 label_22 label_101 label_102 "
     "label_24 label_25 label_26 label_27 label_36 label_28 label_29 label_30 label_31 label_32 "
     "label_cell_balancing{1..10}"},
    {"groupBox_2", "QLineEdit",
     "lineEdit_battery_voltage lineEdit_battery_current lineEdit_remain_battery_capacity_percents "
     "lineEdit_remain_battery_capacity_mah lineEdit_discharging_enabled lineEdit_charging_enabled "
     "lineEdit_charging_state lineEdit_overheat_detected lineEdit_recuperation_enabled "
     "lineEdit_t1 lineEdit_t2 lineEdit_bms_serial lineEdit_bms_firmware lineEdit_cell{1..10}"},
    {"groupBox_4", "QLabel", "label_23 label_41 label_61"},
    {"groupBox_4", "QLineEdit",
     "lineEdit_serial_number lineEdit_battery_capacity lineEdit_date_of_production "
     "lineEdit_set_serial_number lineEdit_set_capacity"},
    {"groupBox_4", "QPushButton",
     "pushButton_set_serial_number pushButton_set_capacity pushButton_set_date_of_production"},
    {"groupBox_5", "QLabel", "label_{131..139} label_57 label_58"},
    {"groupBox_5", "QLineEdit", "lineEdit_dsg_curve{1..11} lineEdit_set_dsg_curve{1..11}"},
    {"groupBox_5", "QPushButton", "pushButton_set_dsg_curve_manual"},
    {"groupBox_7", "QLabel", "label_89"},
    {"groupBox_7", "QLineEdit", "lineEdit_set_firmware_path"},
    {"groupBox_7", "QPushButton", "pushButton_fw_upgrade"},
    {"groupBox_7", "QPlainTextEdit", "plainTextEdit"},
    {"groupBox_3", "QLabel",
     "label_88 label_72 label_87 label_17 label_18 label_73 label_21 label_33 label_75 label_39 "
     "label_44 label_70 label_45 label_46 label_71 label_67 label_69 label_68 label_47 label_65 "
     "label_16 label_15 label_86 label_90 label_91"},
    {"groupBox_3", "QLineEdit",
     "lineEdit_undercurrent_current lineEdit_undercurrent_delay lineEdit_undercurrent_holding_time "
     "lineEdit_overcurrent_current lineEdit_overcurrent_delay lineEdit_overcurrent_holding_time "
     "lineEdit_short_circuit_current lineEdit_short_circuit_delay lineEdit_short_circuit_cooldown "
     "lineEdit_overvoltage lineEdit_overvoltage_delay lineEdit_overvoltage_hysteresis "
     "lineEdit_undervoltage lineEdit_undervoltage_delay lineEdit_undervoltage_hysteresis "
     "lineEdit_balance_mode lineEdit_shutdown_voltage lineEdit_lowest_voltage_to_balance "
     "lineEdit_disbalance_thr lineEdit_recuperation_disable_voltage lineEdit_critical_int_temp "
     "lineEdit_critical_temp_delay lineEdit_critical_temp_hysteresis lineEdit_adc_gain "
     "lineEdit_adc_offset lineEdit_set_overvoltage_voltage lineEdit_set_overvoltage_hysteresis "
     "lineEdit_set_undervoltage_voltage lineEdit_set_undervoltage_hysteresis "
     "lineEdit_set_shutdown_voltage lineEdit_set_lowest_voltage_to_balance "
     "lineEdit_set_disbalance_threshold lineEdit_set_recuperation_disable_voltage "
     "lineEdit_set_adc_offset"},
    {"groupBox_3", "QPushButton",
     "pushButton_set_undercurrent_current pushButton_set_undercurrent_delay "
     "pushButton_set_undercurrent_holding_time pushButton_set_overcurrent_current "
     "pushButton_set_overcurrent_delay pushButton_set_overcurrent_holding_time "
     "pushButton_set_short_circuit_current pushButton_set_short_circuit_delay "
     "pushButton_set_short_circuit_cooldown pushButton_set_overvoltage_voltage "
     "pushButton_set_overvoltage_delay pushButton_set_overvoltage_hysteresis "
     "pushButton_set_undervoltage_voltage pushButton_set_undervoltage_delay "
     "pushButton_set_undervoltage_hysteresis pushButton_set_balance_mode "
     "pushButton_set_shutdown_voltage pushButton_set_lowest_voltage_to_balance "
     "pushButton_set_cell_disbalance_threshold pushButton_set_recuperation_disable_voltage "
     "pushButton_set_critical_int_temp pushButton_set_critical_temp_delay "
     "pushButton_set_critical_temp_hysteresis pushButton_set_adc_gain pushButton_set_adc_offset"},
};

// The combo boxes of the settings groups and the items they offer.
const Objects combos[] = {
    {"groupBox_4", "comboBox_set_day_of_production", "{1..31}"},
    {"groupBox_4", "comboBox_set_month_of_production",
     "Jan Feb Mar Apr May Jun Jul Aug Sep Oct "
     "Nov Dec"},
    {"groupBox_4", "comboBox_set_year_of_production", "{2019..2028}"},
    {"groupBox_3", "comboBox_set_undercurrent_current", "{1..9}"},
    {"groupBox_3", "comboBox_set_undercurrent_delay", "{500..3000:500}"},
    {"groupBox_3", "comboBox_set_undercurrent_holding_time", "{1..10}"},
    {"groupBox_3", "comboBox_set_overcurrent_current", "17 22 28 33 39 44 50"},
    {"groupBox_3", "comboBox_set_overcurrent_delay", "8 20 40 80 160 320 640 1280"},
    {"groupBox_3", "comboBox_set_overcurrent_holding_time", "{1..10}"},
    {"groupBox_3", "comboBox_set_short_circuit_current", "44 67 89 111 133 155 178 200"},
    {"groupBox_3", "comboBox_set_short_circuit_delay", "70 100 200 400"},
    {"groupBox_3", "comboBox_set_short_circuit_cooldown", "{1..10}"},
    {"groupBox_3", "comboBox_set_overvoltage_delay", "1 2 4 8"},
    {"groupBox_3", "comboBox_set_undervoltage_delay", "1 4 8 16"},
    {"groupBox_3", "comboBox_set_balance_mode", "Charging&Overvoltage Always Never"},
    {"groupBox_3", "comboBox_set_critical_int_temp", "{40..80:10}"},
    {"groupBox_3", "comboBox_set_critical_temp_delay", "{1..10}"},
    {"groupBox_3", "comboBox_set_critical_temp_hysteresis", "{5..30:5}"},
    {"groupBox_3", "comboBox_set_adc_gain", "{365..396}"},
};

QString group_of(QObject *object)
{
    QObject *p = object->parent();
    while (p && !qobject_cast<QGroupBox *>(p) && !qobject_cast<QDialog *>(p))
        p = p->parent();
    return p ? p->objectName() : QString();
}

} // namespace

class TestForm : public QObject
{
    Q_OBJECT

    std::unique_ptr<MyDialogWindow> dialog;

private slots:
    void init() { dialog = std::make_unique<MyDialogWindow>(); }
    void cleanup() { dialog.reset(); }

    void every_object_has_its_name_class_and_group()
    {
        QMap<QString, QString> expected; // name -> "class in group"
        for (const Objects &o : objects)
            for (const QString &name : expand(o.names))
                expected.insert(name, QString("%1 in %2").arg(o.cls, o.group));
        for (const Objects &c : combos)
            expected.insert(c.cls, QString("QComboBox in %1").arg(c.group));
        QCOMPARE(expected.size(), 221);

        // Every named object of these kinds is in the table, and the other way round.
        const QStringList kinds = {"QGroupBox", "QWidget",   "QHBoxLayout", "QLabel",
                                   "QLineEdit", "QComboBox", "QPushButton", "QPlainTextEdit"};
        QMap<QString, QString> found;
        for (QObject *object : dialog->findChildren<QObject *>()) {
            const QString cls = object->metaObject()->className();
            if (!object->objectName().isEmpty() && !object->objectName().startsWith("qt_") &&
                kinds.contains(cls))
                found.insert(object->objectName(), cls + " in " + group_of(object));
        }
        QCOMPARE(found, expected);
    }

    void window_groups_and_choices()
    {
        QVERIFY(dialog->windowTitle().startsWith("Voltaro repair BMS tool v2.0 "));
        QCOMPARE(dialog->size(), QSize(1388, 671));
        QVERIFY(!dialog->layout()); // absolute placement: resizing must not move the groups
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
            QCOMPARE(box->title(), QString(g.title));
            QCOMPARE(box->geometry(), g.rect);
        }
        auto *state = widget<QLabel>(dialog.get(), "label_connection_state");
        QCOMPARE(state->text(), QString("BMS IS DISCONNECTED"));
        QCOMPARE(state->styleSheet(), QString("color: rgb(150, 20, 20)"));
        // Monitored numbers print the US English way whatever the machine's locale.
        QCOMPARE(widget<QLineEdit>(dialog.get(), "lineEdit_cell7")->locale(),
                 QLocale(QLocale::English, QLocale::UnitedStates));

        for (const Objects &c : combos) {
            auto *box = widget<QComboBox>(dialog.get(), c.cls);
            QStringList items;
            for (int i = 0; i < box->count(); ++i)
                items << box->itemText(i);
            QCOMPARE(items, expand(c.names));
            QCOMPARE(box->currentIndex(), 0);
            QVERIFY(!box->isEditable());
        }
    }

    void initial_contents_and_enabled_states()
    {
        int disabled_values = 0, inputs = 0;
        for (QLineEdit *edit : dialog->findChildren<QLineEdit *>()) {
            const QString name = edit->objectName();
            if (name.isEmpty()) // the port box's own editor
                continue;
            const bool input = name.startsWith("lineEdit_set_");
            (input ? inputs : disabled_values)++;
            QVERIFY2(edit->isEnabled() == input, qPrintable(name));
            if (name != "lineEdit_set_firmware_path")
                QVERIFY2(edit->text().isEmpty(), qPrintable(name));
        }
        QCOMPARE(disabled_values, 62);
        QCOMPARE(inputs, 23);

        // The hint is real content, so that "Flash!" on an untouched field uses it.
        auto *path = widget<QLineEdit>(dialog.get(), "lineEdit_set_firmware_path");
        QCOMPARE(path->text(), QString("Copy and paste full path to hex, including .hex"));
        QVERIFY(path->placeholderText().isEmpty());

        QCOMPARE(dialog->findChildren<QPushButton *>().size(), 33);
        for (QPushButton *button : dialog->findChildren<QPushButton *>())
            QCOMPARE(button->isEnabled(), button->objectName() != "button_disconnect");
        auto *log = widget<QPlainTextEdit>(dialog.get(), "plainTextEdit");
        QVERIFY(log->isEnabled() && !log->isReadOnly() && log->toPlainText().isEmpty());
    }
};

QTEST_MAIN(TestForm)
#include "test_form.moc"
