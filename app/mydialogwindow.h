#ifndef MYDIALOGWINDOW_H
#define MYDIALOGWINDOW_H

#include "settings/settings.h"

#include <QDialog>
#include <QHash>
#include <QSet>
#include <QVector>

#include <bitset>
#include <functional>

struct DisplayTexts;
class BmsLink;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class UpgradeEngine;
class WindowHistory;

namespace Ui
{
class MyDialogWindow;
}

// The window: every user action and timer is one of the slots below, each a thin
// call into the engine (BmsLink for the port, polling and register image,
// UpgradeEngine for the firmware upgrade). The slots of each subsystem are in
// app/<subsystem>_slots.cpp.
class MyDialogWindow : public QDialog
{
    Q_OBJECT

public:
    explicit MyDialogWindow(QWidget *parent = nullptr);
    ~MyDialogWindow() override;

    // A start from the command line: `port` into the port box (unless empty) and,
    // with `connect_now`, what the Connect button does.
    void presetPort(const QString &port, bool connect_now);
    // The port through which a BMS last answered; empty if none ever has.
    static QString rememberedPort();
    // Records each connection and Set in the service history (--database,
    // --no-history); nothing is recorded until this is called.
    void setHistory(const QString &database, bool enabled);

protected:
    void keyPressEvent(QKeyEvent *event) override;

private slots:
    void comport_connect();
    void comport_received();
    void comport_disconnect();
    void refresh_ports_slot();
    void upgrade_command_check_last_executed_command_timer_overflow();
    void refresh_values();
    void values_refresh_timer_overflow();
    void bms_registers_request_send_timer_overflow();
    void upgrade_command_retry_timer_overflow();
    void disconnect_timer_overflow();
    void firmware_upgrade();
    void set_parameter_serial_number();
    void set_parameter_capacity();
    void set_parameter_date_of_production();
    void set_parameter_charge_overcurrent();
    void set_parameter_charge_overcurrent_delay();
    void set_parameter_charge_overcurrent_cooldown();
    void set_parameter_discharge_overcurrent();
    void set_parameter_discharge_overcurrent_delay();
    void set_parameter_discharge_overcurrent_cooldown();
    void set_parameter_short_circuit_current();
    void set_parameter_short_circuit_delay();
    void set_parameter_short_circuit_cooldown();
    void set_parameter_overvoltage_voltage();
    void set_parameter_overvoltage_hysteresis();
    void set_parameter_overvoltage_delay();
    void set_parameter_undervoltage_voltage();
    void set_parameter_undervoltage_hysteresis();
    void set_parameter_undervoltage_delay();
    void set_parameter_balance_mode();
    void set_parameter_shutdown_voltage();
    void set_parameter_lowest_voltage_to_balance();
    void set_parameter_cell_disbalance_threshold();
    void set_parameter_recuperation_disable_voltage();
    void set_parameter_critical_int_temp();
    void set_parameter_critical_temp_delay();
    void set_parameter_critical_temp_hysteresis();
    void set_parameter_dsg_curve_manual();
    void set_parameter_adc_gain();
    void set_parameter_adc_offset();
    void firmware_upgrade_next_step();
    void process_last_received_update_command();

private:
    static constexpr qint32 values_refresh_period_ms = 500;

    // A setting's input widget; `part` is the point of the discharge curve, or 0,
    // 1, 2 for the day, month and year of the date.
    struct SettingInput {
        QWidget *input;
        Setting setting;
        int part;
    };

    // What the window knows of the BMS it is connected to comes from this
    // connection's replies only (setting_inputs.cpp).
    void track_setting_inputs();
    void forget_values();
    void registers_read(int first, int count);
    bool read_now(int first, int count) const;
    void fill_input(const SettingInput &entry);

    // A display field (a line edit, or a cell's balancing label), the registers its
    // text comes from, and that text (monitor_slots.cpp).
    struct ValueField {
        QLineEdit *edit;
        QLabel *label;
        int first;
        int count;
        std::function<QString(const DisplayTexts &)> text;
    };
    void list_value_fields();

    Ui::MyDialogWindow *ui;
    BmsLink *link;
    UpgradeEngine *upgrade;
    QTimer *values_refresh_timer;
    // Enter in a setting's input presses the Set button of its row.
    QHash<const QWidget *, QPushButton *> row_buttons;
    // The port just opened, until the BMS first answers through it.
    QString port_to_remember;
    // The registers a reply of the current connection has covered, and what the
    // fields showed at the last refresh: most refreshes of a pack at rest change nothing.
    std::bitset<128> registers_read_now;
    std::bitset<128> registers_shown;
    RegisterImage image_shown{};
    QVector<ValueField> value_fields;
    QVector<SettingInput> setting_inputs;
    // Inputs the user has typed into or chosen in: the BMS's values never replace them.
    QSet<const QWidget *> changed_inputs;
    WindowHistory *history;
};

#endif // MYDIALOGWINDOW_H
