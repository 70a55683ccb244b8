// The controller's slot table and the 39 wires from buttons, timers and the port
// to it: each signal reaches exactly one slot, the right one, and nothing else
// reaches the dialog.

#include "dialog_access.h"
#include "set_buttons.h"

#include "app/program_state.h"

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

const QList<QByteArray> slot_order =
    QByteArray(
        "comport_connect comport_received comport_disconnect refresh_ports_slot "
        "upgrade_command_check_last_executed_command_timer_overflow refresh_values "
        "values_refresh_timer_overflow bms_registers_request_send_timer_overflow "
        "upgrade_command_retry_timer_overflow disconnect_timer_overflow firmware_upgrade "
        "set_parameter_serial_number set_parameter_capacity set_parameter_date_of_production "
        "set_parameter_charge_overcurrent set_parameter_charge_overcurrent_delay "
        "set_parameter_charge_overcurrent_cooldown set_parameter_discharge_overcurrent "
        "set_parameter_discharge_overcurrent_delay set_parameter_discharge_overcurrent_cooldown "
        "set_parameter_short_circuit_current set_parameter_short_circuit_delay "
        "set_parameter_short_circuit_cooldown set_parameter_overvoltage_voltage "
        "set_parameter_overvoltage_hysteresis set_parameter_overvoltage_delay "
        "set_parameter_undervoltage_voltage set_parameter_undervoltage_hysteresis "
        "set_parameter_undervoltage_delay set_parameter_balance_mode "
        "set_parameter_shutdown_voltage "
        "set_parameter_lowest_voltage_to_balance set_parameter_cell_disbalance_threshold "
        "set_parameter_recuperation_disable_voltage set_parameter_critical_int_temp "
        "set_parameter_critical_temp_delay set_parameter_critical_temp_hysteresis "
        "set_parameter_dsg_curve_manual set_parameter_adc_gain set_parameter_adc_offset "
        "firmware_upgrade_next_step process_last_received_update_command")
        .split(' ');

} // namespace

class TestWiring : public QObject
{
    Q_OBJECT

    std::unique_ptr<MyDialogWindow> dialog;

private slots:
    void init() { dialog = std::make_unique<MyDialogWindow>(); }
    void cleanup() { dialog.reset(); }

    void slot_table_in_order()
    {
        const QMetaObject &meta = MyDialogWindow::staticMetaObject;
        QCOMPARE(meta.methodCount() - meta.methodOffset(), 42);
        for (int i = 0; i < 42; ++i) {
            const QMetaMethod method = meta.method(meta.methodOffset() + i);
            QCOMPARE(method.name(), slot_order[i]);
            QCOMPARE(method.methodType(), QMetaMethod::Slot);
            QCOMPARE(method.parameterCount(), 0);
        }
    }

    void each_signal_reaches_exactly_its_slot()
    {
        struct Wire {
            QObject *sender;
            const char *signal;
            int slot; // index into slot_order
        };
        const char *const clicked = SIGNAL(clicked(bool));
        auto button = [this](const char *name) { return widget<QPushButton>(dialog.get(), name); };
        QList<Wire> wires = {
            {bms_registers_request_send_timer, SIGNAL(timeout()), 7},
            {values_refresh_timer, SIGNAL(timeout()), 6},
            {disconnect_timer, SIGNAL(timeout()), 9},
            {upgrade_command_retry_timer, SIGNAL(timeout()), 8},
            {upgrade_command_check_timer, SIGNAL(timeout()), 4},
            {serial_port, SIGNAL(readyRead()), 1},
            {button("button_connect"), clicked, 0},
            {button("button_disconnect"), clicked, 2},
            {button("button_refresh"), clicked, 3},
            {button("pushButton_fw_upgrade"), clicked, 10},
        };
        for (int i = 0; i < 29; ++i)
            wires.append({button(set_buttons[i].button), clicked, 11 + i});
        QCOMPARE(wires.size(), 39);

        for (const Wire &w : wires) {
            const QByteArray slot = "1" + slot_order[w.slot] + "()";
            QCOMPARE(ReceiverCount::of(w.sender, w.signal), 1);
            // Succeeds only if this very signal is wired to this very slot.
            QVERIFY2(QObject::disconnect(w.sender, w.signal, dialog.get(), slot.constData()),
                     qPrintable(w.sender->objectName() + " -> " + slot.mid(1)));
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
};

QTEST_MAIN(TestWiring)
#include "test_wiring.moc"
