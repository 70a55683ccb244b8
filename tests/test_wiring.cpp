// The controller's slot table and the 39 wires from buttons, timers and the port
// to it: each signal reaches exactly one slot, the right one, and nothing else
// reaches the dialog.

#include "dialog_access.h"

#include "app/program_state.h"

#include <QComboBox>
#include <QPushButton>
#include <QSerialPort>
#include <QTimer>

#include <memory>

namespace
{

// QObject::receivers() is protected; a member pointer named through a subclass
// reaches it on any object.
struct ReceiverCount : QObject {
    static int of(const QObject *sender, const char *signal)
    {
        return (sender->*(&ReceiverCount::receivers))(signal);
    }
};

const char *const slot_order[] = {"comport_connect",
                                  "comport_received",
                                  "comport_disconnect",
                                  "refresh_ports_slot",
                                  "upgrade_command_check_last_executed_command_timer_overflow",
                                  "refresh_values",
                                  "values_refresh_timer_overflow",
                                  "bms_registers_request_send_timer_overflow",
                                  "upgrade_command_retry_timer_overflow",
                                  "disconnect_timer_overflow",
                                  "firmware_upgrade",
                                  "set_parameter_serial_number",
                                  "set_parameter_capacity",
                                  "set_parameter_date_of_production",
                                  "set_parameter_charge_overcurrent",
                                  "set_parameter_charge_overcurrent_delay",
                                  "set_parameter_charge_overcurrent_cooldown",
                                  "set_parameter_discharge_overcurrent",
                                  "set_parameter_discharge_overcurrent_delay",
                                  "set_parameter_discharge_overcurrent_cooldown",
                                  "set_parameter_short_circuit_current",
                                  "set_parameter_short_circuit_delay",
                                  "set_parameter_short_circuit_cooldown",
                                  "set_parameter_overvoltage_voltage",
                                  "set_parameter_overvoltage_hysteresis",
                                  "set_parameter_overvoltage_delay",
                                  "set_parameter_undervoltage_voltage",
                                  "set_parameter_undervoltage_hysteresis",
                                  "set_parameter_undervoltage_delay",
                                  "set_parameter_balance_mode",
                                  "set_parameter_shutdown_voltage",
                                  "set_parameter_lowest_voltage_to_balance",
                                  "set_parameter_cell_disbalance_threshold",
                                  "set_parameter_recuperation_disable_voltage",
                                  "set_parameter_critical_int_temp",
                                  "set_parameter_critical_temp_delay",
                                  "set_parameter_critical_temp_hysteresis",
                                  "set_parameter_dsg_curve_manual",
                                  "set_parameter_adc_gain",
                                  "set_parameter_adc_offset",
                                  "firmware_upgrade_next_step",
                                  "process_last_received_update_command"};

// The Set buttons in slot order 11 to 39. The charge overcurrent rows carry
// "undercurrent" button names and the discharge rows "overcurrent" ones.
const char *const set_buttons[] = {"pushButton_set_serial_number",
                                   "pushButton_set_capacity",
                                   "pushButton_set_date_of_production",
                                   "pushButton_set_undercurrent_current",
                                   "pushButton_set_undercurrent_delay",
                                   "pushButton_set_undercurrent_holding_time",
                                   "pushButton_set_overcurrent_current",
                                   "pushButton_set_overcurrent_delay",
                                   "pushButton_set_overcurrent_holding_time",
                                   "pushButton_set_short_circuit_current",
                                   "pushButton_set_short_circuit_delay",
                                   "pushButton_set_short_circuit_cooldown",
                                   "pushButton_set_overvoltage_voltage",
                                   "pushButton_set_overvoltage_hysteresis",
                                   "pushButton_set_overvoltage_delay",
                                   "pushButton_set_undervoltage_voltage",
                                   "pushButton_set_undervoltage_hysteresis",
                                   "pushButton_set_undervoltage_delay",
                                   "pushButton_set_balance_mode",
                                   "pushButton_set_shutdown_voltage",
                                   "pushButton_set_lowest_voltage_to_balance",
                                   "pushButton_set_cell_disbalance_threshold",
                                   "pushButton_set_recuperation_disable_voltage",
                                   "pushButton_set_critical_int_temp",
                                   "pushButton_set_critical_temp_delay",
                                   "pushButton_set_critical_temp_hysteresis",
                                   "pushButton_set_dsg_curve_manual",
                                   "pushButton_set_adc_gain",
                                   "pushButton_set_adc_offset"};

struct Wire {
    QObject *sender;
    QByteArray signal; // as SIGNAL() spells it
    QByteArray slot;   // as SLOT() spells it
    QString what;
};

QByteArray as_signal(const char *signature)
{
    return QByteArray("2") + signature;
}

QByteArray as_slot(const char *name)
{
    return QByteArray("1") + name + "()";
}

} // namespace

class TestWiring : public QObject
{
    Q_OBJECT

    std::unique_ptr<MyDialogWindow> dialog;

    QList<Wire> wires()
    {
        QList<Wire> list;
        auto timer = [&list](QTimer *t, const char *slot, const char *what) {
            list.append({t, as_signal("timeout()"), as_slot(slot), what});
        };
        auto button = [&list, this](const char *name, const char *slot) {
            list.append({widget<QPushButton>(dialog.get(), name), as_signal("clicked(bool)"),
                         as_slot(slot), name});
        };
        timer(bms_registers_request_send_timer, "bms_registers_request_send_timer_overflow",
              "polling timer");
        timer(values_refresh_timer, "values_refresh_timer_overflow", "refresh timer");
        timer(disconnect_timer, "disconnect_timer_overflow", "disconnect timer");
        timer(upgrade_command_retry_timer, "upgrade_command_retry_timer_overflow", "retry timer");
        button("button_connect", "comport_connect");
        button("button_disconnect", "comport_disconnect");
        button("button_refresh", "refresh_ports_slot");
        timer(upgrade_command_check_timer,
              "upgrade_command_check_last_executed_command_timer_overflow", "check timer");
        list.append(
            {serial_port, as_signal("readyRead()"), as_slot("comport_received"), "serial port"});
        button("pushButton_fw_upgrade", "firmware_upgrade");
        for (int i = 0; i < 29; ++i)
            button(set_buttons[i], slot_order[11 + i]);
        return list;
    }

private slots:
    void init()
    {
        reset_program_state();
        dialog = std::make_unique<MyDialogWindow>();
    }
    void cleanup() { dialog.reset(); }

    void slot_table_in_order()
    {
        const QMetaObject &meta = MyDialogWindow::staticMetaObject;
        QCOMPARE(meta.superClass(), &QDialog::staticMetaObject);
        QCOMPARE(meta.methodCount() - meta.methodOffset(), 42);
        for (int i = 0; i < 42; ++i) {
            const QMetaMethod method = meta.method(meta.methodOffset() + i);
            QCOMPARE(method.name(), QByteArray(slot_order[i]));
            QCOMPARE(method.methodType(), QMetaMethod::Slot);
            QCOMPARE(method.access(), QMetaMethod::Private);
            QCOMPARE(method.parameterCount(), 0);
            QCOMPARE(method.returnType(), int(QMetaType::Void));
        }
    }

    void each_signal_reaches_exactly_its_slot()
    {
        const QList<Wire> list = wires();
        QCOMPARE(list.size(), 39);
        for (const Wire &wire : list) {
            QVERIFY2(wire.sender, qPrintable(wire.what));
            QCOMPARE(ReceiverCount::of(wire.sender, wire.signal.constData()), 1);
            // Succeeds only if this very signal is wired to this very slot.
            QVERIFY2(QObject::disconnect(wire.sender, wire.signal.constData(), dialog.get(),
                                         wire.slot.constData()),
                     qPrintable(wire.what + " -> " + wire.slot.mid(1)));
            QCOMPARE(ReceiverCount::of(wire.sender, wire.signal.constData()), 0);
        }

        // With the 39 gone nothing else is wired to the dialog: refresh_values,
        // firmware_upgrade_next_step and process_last_received_update_command are
        // only ever called by their callers.
        QList<QObject *> senders = dialog->findChildren<QObject *>();
        senders << dialog.get() << qApp << bms_registers_request_send_timer << values_refresh_timer
                << disconnect_timer << upgrade_command_check_timer << upgrade_command_retry_timer;
        for (QObject *sender : senders)
            QVERIFY2(!QObject::disconnect(sender, nullptr, dialog.get(), nullptr),
                     qPrintable(sender->objectName()));
    }

    void buttons_with_bodies_run_their_slot()
    {
        // Refresh: whatever was typed or listed is replaced by the library's list.
        auto *ports = widget<QComboBox>(dialog.get(), "ports_combo_box");
        ports->addItem("stale");
        ports->setEditText("/dev/typed-by-hand");
        widget<QPushButton>(dialog.get(), "button_refresh")->click();
        QVERIFY(!ports->currentText().contains("typed-by-hand"));
        QVERIFY(ports->findText("stale") < 0);

        // Connect and Disconnect swap the buttons, and only they do.
        ports->setEditText("/dev/does-not-exist");
        widget<QPushButton>(dialog.get(), "button_connect")->click();
        QVERIFY(!widget<QPushButton>(dialog.get(), "button_connect")->isEnabled());
        QVERIFY(widget<QPushButton>(dialog.get(), "button_disconnect")->isEnabled());
        QCOMPARE(serial_port->portName(), QString("does-not-exist"));
        widget<QPushButton>(dialog.get(), "button_disconnect")->click();
        QVERIFY(widget<QPushButton>(dialog.get(), "button_connect")->isEnabled());
        QVERIFY(!widget<QPushButton>(dialog.get(), "button_disconnect")->isEnabled());
        QVERIFY(!bms_registers_request_send_timer->isActive());
    }
};

QTEST_MAIN(TestWiring)
#include "test_wiring.moc"
