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

namespace
{

// "name{1..3}" stands for name1 name2 name3, "{500..3000:500}" steps by 500 and
// "x_{a,b}_y" for x_a_y x_b_y.
QStringList expand(const QString &spaced)
{
    static const QRegularExpression brace("\\{([^}]*)\\}");
    static const QRegularExpression series("^(\\d+)\\.\\.(\\d+)(?::(\\d+))?$");
    QStringList out;
    for (const QString &token : spaced.split(' ', Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch m = brace.match(token);
        if (!m.hasMatch()) {
            out << token;
            continue;
        }
        QStringList choices = m.captured(1).split(',');
        const QRegularExpressionMatch n = series.match(m.captured(1));
        if (n.hasMatch()) {
            choices.clear();
            for (int i = n.captured(1).toInt(); i <= n.captured(2).toInt();
                 i += n.captured(3).isEmpty() ? 1 : n.captured(3).toInt())
                choices << QString::number(i);
        }
        for (const QString &choice : choices)
            out << expand(token.left(m.capturedStart()) + choice + token.mid(m.capturedEnd()));
    }
    return out;
}

// The form, group by group ("@name"), class by class ("Q..."); "name=items" is a
// combo box and the items it offers.
const char *const FORM =
    "@MyDialogWindow QGroupBox groupBox groupBox_{2,3,4,5,7} @groupBox QWidget layoutWidget "
    "QHBoxLayout horizontalLayout QPushButton button_{refresh,connect,disconnect} "
    "QComboBox ports_combo_box QLabel label_connection_state "
    "@groupBox_2 QLabel label_battery_{voltage,current} label_{43,42} "
    "label_{discharging,charging}_enabled label_cell_balancing{1..10} "
    "label_{19,35,34,20,22,101,102,24,25,26,27,36,28,29,30,31,32} "
    "QLineEdit lineEdit_battery_{voltage,current} lineEdit_remain_battery_capacity_{percents,mah} "
    "lineEdit_{discharging,charging}_enabled lineEdit_{charging_state,overheat_detected} "
    "lineEdit_{recuperation_enabled,t1,t2,bms_serial,bms_firmware} lineEdit_cell{1..10} "
    "@groupBox_4 QLabel label_{23,41,61} QPushButton "
    "pushButton_set_{serial_number,capacity,date_of_production} QLineEdit "
    "lineEdit_{serial_number,battery_capacity,date_of_production,set_serial_number,set_capacity} "
    "comboBox_set_day_of_production={1..31} comboBox_set_year_of_production={2019..2028} "
    "comboBox_set_month_of_production={Jan,Feb,Mar,Apr,May,Jun,Jul,Aug,Sep,Oct,Nov,Dec} "
    "@groupBox_5 QLabel label_{131..139} label_{57,58} QPushButton pushButton_set_dsg_curve_manual "
    "QLineEdit lineEdit_dsg_curve{1..11} lineEdit_set_dsg_curve{1..11} "
    "@groupBox_7 QLabel label_89 QLineEdit lineEdit_set_firmware_path "
    "QPushButton pushButton_fw_upgrade QPlainTextEdit plainTextEdit "
    "@groupBox_3 QLabel "
    "label_{88,72,87,17,18,73,21,33,75,39,44,70,45,46,71,67,69,68,47,65,16,15,86,90,91} "
    "QLineEdit lineEdit_{undercurrent,overcurrent}_{current,delay,holding_time} "
    "lineEdit_short_circuit_{current,delay,cooldown} lineEdit_{overvoltage,undervoltage} "
    "lineEdit_{overvoltage,undervoltage}_{delay,hysteresis} lineEdit_set_adc_offset "
    "lineEdit_{balance_mode,shutdown_voltage,lowest_voltage_to_balance,disbalance_thr} "
    "lineEdit_{recuperation_disable_voltage,adc_gain,adc_offset} "
    "lineEdit_critical_{int_temp,temp_delay,temp_hysteresis} "
    "lineEdit_set_{overvoltage,undervoltage}_{voltage,hysteresis} "
    "lineEdit_set_{shutdown_voltage,lowest_voltage_to_balance,disbalance_threshold} "
    "lineEdit_set_recuperation_disable_voltage QPushButton "
    "pushButton_set_{undercurrent,overcurrent}_{current,delay,holding_time} "
    "pushButton_set_short_circuit_{current,delay,cooldown} "
    "pushButton_set_{overvoltage,undervoltage}_{voltage,delay,hysteresis} "
    "pushButton_set_{balance_mode,shutdown_voltage,lowest_voltage_to_balance} "
    "pushButton_set_{cell_disbalance_threshold,recuperation_disable_voltage,adc_gain,adc_offset} "
    "pushButton_set_critical_{int_temp,temp_delay,temp_hysteresis} "
    "comboBox_set_undercurrent_current={1..9} comboBox_set_undercurrent_delay={500..3000:500} "
    "comboBox_set_overcurrent_current={17,22,28,33,39,44,50} "
    "comboBox_set_overcurrent_delay={8,20,40,80,160,320,640,1280} "
    "comboBox_set_short_circuit_current={44,67,89,111,133,155,178,200} "
    "comboBox_set_short_circuit_delay={70,100,200,400} comboBox_set_overvoltage_delay={1,2,4,8} "
    "comboBox_set_{undercurrent,overcurrent}_holding_time={1..10} "
    "comboBox_set_{short_circuit_cooldown,critical_temp_delay}={1..10} "
    "comboBox_set_undervoltage_delay={1,4,8,16} comboBox_set_critical_int_temp={40..80:10} "
    "comboBox_set_balance_mode={Charging&Overvoltage,Always,Never} "
    "comboBox_set_critical_temp_hysteresis={5..30:5} comboBox_set_adc_gain={365..396}";

} // namespace

class TestForm : public QObject
{
    Q_OBJECT

private slots:
    void the_window_as_first_shown()
    {
        MyDialogWindow dialog;
        // Every named object of these kinds as listed, and no other: name -> "class
        // in group", where the group is the nearest enclosing group box or the dialog.
        QMap<QString, QString> expected, found;
        QMap<QString, QStringList> items; // of the combo boxes
        QString group, cls;
        for (const QString &token : QString(FORM).split(' ')) {
            const QStringList combo = token.split('=');
            if (token.startsWith('@'))
                group = token.mid(1);
            else if (token.startsWith('Q'))
                cls = token;
            else
                for (const QString &name : expand(combo[0])) {
                    expected.insert(name, (combo.size() > 1 ? "QComboBox" : cls) + " in " + group);
                    items.insert(name, expand(combo.value(1)));
                }
        }
        QCOMPARE(expected.size(), 221);
        const QStringList kinds = {"QGroupBox", "QWidget",   "QHBoxLayout", "QLabel",
                                   "QLineEdit", "QComboBox", "QPushButton", "QPlainTextEdit"};
        for (QObject *object : dialog.findChildren<QObject *>()) {
            QObject *p = object->parent();
            while (p && !qobject_cast<QGroupBox *>(p) && p != &dialog)
                p = p->parent();
            const QString cls = object->metaObject()->className();
            if (!object->objectName().isEmpty() && !object->objectName().startsWith("qt_") &&
                kinds.contains(cls))
                found.insert(object->objectName(), cls + " in " + p->objectName());
        }
        QCOMPARE(found, expected);
        for (QComboBox *box : dialog.findChildren<QComboBox *>()) {
            QStringList offered;
            for (int i = 0; i < box->count(); ++i)
                offered << box->itemText(i);
            if (box->objectName() != "ports_combo_box")
                QVERIFY(offered == items[box->objectName()] && box->currentIndex() == 0 &&
                        !box->isEditable());
        }

        QVERIFY(dialog.windowTitle().startsWith("Voltaro repair BMS tool v2.0 "));
        QCOMPARE(dialog.size(), QSize(1388, 671));
        QVERIFY(!dialog.layout()); // absolute placement: resizing must not move the groups
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
        for (const auto &g : groups)
            QVERIFY(widget<QGroupBox>(&dialog, g.name)->title() == g.title &&
                    widget<QGroupBox>(&dialog, g.name)->geometry() == g.rect);
        auto *state = widget<QLabel>(&dialog, "label_connection_state");
        QCOMPARE(state->text(), QString("BMS IS DISCONNECTED"));
        QCOMPARE(state->styleSheet(), QString("color: rgb(150, 20, 20)"));
        // Monitored numbers print the US English way whatever the machine's locale.
        QCOMPARE(widget<QLineEdit>(&dialog, "lineEdit_cell7")->locale(),
                 QLocale(QLocale::English, QLocale::UnitedStates));

        // Only the inputs can be edited, all start empty but the firmware path, whose
        // hint is real text, so that "Flash!" on an untouched field uses it.
        int disabled_values = 0, inputs = 0;
        for (QLineEdit *edit : dialog.findChildren<QLineEdit *>()) {
            const QString name = edit->objectName();
            if (name.isEmpty()) // the port box's own editor
                continue;
            const bool input = name.startsWith("lineEdit_set_");
            (input ? inputs : disabled_values)++;
            QVERIFY2(edit->isEnabled() == input, qPrintable(name));
            QVERIFY2(edit->text().isEmpty() == (name != "lineEdit_set_firmware_path"),
                     qPrintable(name));
        }
        QCOMPARE(disabled_values, 62);
        QCOMPARE(inputs, 23);
        auto *path = widget<QLineEdit>(&dialog, "lineEdit_set_firmware_path");
        QCOMPARE(path->text(), QString("Copy and paste full path to hex, including .hex"));
        QVERIFY(path->placeholderText().isEmpty());
        QCOMPARE(dialog.findChildren<QPushButton *>().size(), 33);
        for (QPushButton *button : dialog.findChildren<QPushButton *>())
            QCOMPARE(button->isEnabled(), button->objectName() != "button_disconnect");
        auto *log = widget<QPlainTextEdit>(&dialog, "plainTextEdit");
        QVERIFY(log->isEnabled() && !log->isReadOnly() && log->toPlainText().isEmpty());
    }
};

QTEST_MAIN(TestForm)
#include "test_form.moc"
