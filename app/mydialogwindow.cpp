#include "mydialogwindow.h"

#include "appearance.h"
#include "bms_link.h"
#include "ui_mydialogwindow.h"
#include "upgrade_engine.h"

#include <QSerialPort>
#include <QSerialPortInfo>
#include <QTimer>

namespace
{

void fill_port_list(QComboBox *box)
{
    box->clear();
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports)
        box->addItem(port.portName());
}

// The log pane's lines for the upgrade engine's reports.
void log_upgrade(UpgradeEngine *upgrade, QPlainTextEdit *log)
{
    const auto tr = [](const char *source) {
        return QCoreApplication::translate("MyDialogWindow", source);
    };
    QObject::connect(upgrade, &UpgradeEngine::transmitting, log,
                     [log, tr](UpgradePhase phase, quint16 line, quint16 total, int attempt) {
                         switch (phase) {
                         case UpgradePhase::Erasing:
                             log->appendPlainText(tr("Trying to erase flash. Attempt %1 of %2")
                                                      .arg(attempt)
                                                      .arg(UPGRADE_MAX_ATTEMPTS));
                             break;
                         case UpgradePhase::SendingLines:
                             log->appendPlainText(tr("Sending hex line %1 of %2. Attempt %3 of %4")
                                                      .arg(line)
                                                      .arg(total)
                                                      .arg(attempt)
                                                      .arg(UPGRADE_MAX_ATTEMPTS));
                             break;
                         case UpgradePhase::CheckingCrc:
                             log->appendPlainText(tr("Checking new firmware CRC. Attempt %1 of %2")
                                                      .arg(attempt)
                                                      .arg(UPGRADE_MAX_ATTEMPTS));
                             break;
                         case UpgradePhase::Idle:
                             break;
                         }
                     });
    QObject::connect(upgrade, &UpgradeEngine::erased, log,
                     [log, tr] { log->appendPlainText(tr("Flash has been successfully erased")); });
    QObject::connect(upgrade, &UpgradeEngine::allLinesSent, log, [log, tr] {
        log->appendPlainText(tr("New firmware has been successfully sent."));
    });
    QObject::connect(upgrade, &UpgradeEngine::finished, log, [log, tr](UpgradeOutcome outcome) {
        if (outcome == UpgradeOutcome::Succeeded)
            log->appendPlainText(
                tr("New firmware checksum is OK\r\nNew firmware has been successfully flashed."));
        else
            log->appendPlainText(tr("Firmware update failed"));
    });
}

} // namespace

MyDialogWindow::MyDialogWindow(QWidget *parent) : QDialog(parent), ui(new Ui::MyDialogWindow)
{
    ui->setupUi(this);
    link = new BmsLink(BmsLink::Wiring::External, this);
    upgrade = new UpgradeEngine(link, BmsLink::Wiring::External, this);
    values_refresh_timer = new QTimer(this);
    values_refresh_timer->setObjectName(QStringLiteral("values_refresh_timer"));
    upgrade->setPausesPolling(true);
    log_upgrade(upgrade, ui->plainTextEdit);

    fill_port_list(ui->ports_combo_box);

    ui->label_connection_state->setStyleSheet(QStringLiteral("color: rgb(150, 20, 20)"));

    // Wired by signature rather than by member pointer: the wiring can then be
    // looked up, and checked, connection by connection from outside the class.
    connect(link->pollTimer(), SIGNAL(timeout()), this,
            SLOT(bms_registers_request_send_timer_overflow()));
    connect(values_refresh_timer, SIGNAL(timeout()), this, SLOT(values_refresh_timer_overflow()));
    connect(link->supervisionTimer(), SIGNAL(timeout()), this, SLOT(disconnect_timer_overflow()));
    connect(upgrade->retryTimer(), SIGNAL(timeout()), this,
            SLOT(upgrade_command_retry_timer_overflow()));
    connect(ui->button_connect, SIGNAL(clicked(bool)), this, SLOT(comport_connect()));
    connect(ui->button_disconnect, SIGNAL(clicked(bool)), this, SLOT(comport_disconnect()));
    connect(ui->button_refresh, SIGNAL(clicked(bool)), this, SLOT(refresh_ports_slot()));
    connect(upgrade->checkTimer(), SIGNAL(timeout()), this,
            SLOT(upgrade_command_check_last_executed_command_timer_overflow()));
    connect(link->port(), SIGNAL(readyRead()), this, SLOT(comport_received()));
    connect(ui->pushButton_fw_upgrade, SIGNAL(clicked(bool)), this, SLOT(firmware_upgrade()));

    // The charge overcurrent buttons are the "undercurrent" ones, the discharge
    // overcurrent buttons the "overcurrent" ones, the cooldowns "holding_time".
    const struct {
        QPushButton *button;
        const char *slot;
    } set_buttons[] = {
        {ui->pushButton_set_serial_number, SLOT(set_parameter_serial_number())},
        {ui->pushButton_set_capacity, SLOT(set_parameter_capacity())},
        {ui->pushButton_set_date_of_production, SLOT(set_parameter_date_of_production())},
        {ui->pushButton_set_undercurrent_current, SLOT(set_parameter_charge_overcurrent())},
        {ui->pushButton_set_undercurrent_delay, SLOT(set_parameter_charge_overcurrent_delay())},
        {ui->pushButton_set_undercurrent_holding_time,
         SLOT(set_parameter_charge_overcurrent_cooldown())},
        {ui->pushButton_set_overcurrent_current, SLOT(set_parameter_discharge_overcurrent())},
        {ui->pushButton_set_overcurrent_delay, SLOT(set_parameter_discharge_overcurrent_delay())},
        {ui->pushButton_set_overcurrent_holding_time,
         SLOT(set_parameter_discharge_overcurrent_cooldown())},
        {ui->pushButton_set_short_circuit_current, SLOT(set_parameter_short_circuit_current())},
        {ui->pushButton_set_short_circuit_delay, SLOT(set_parameter_short_circuit_delay())},
        {ui->pushButton_set_short_circuit_cooldown, SLOT(set_parameter_short_circuit_cooldown())},
        {ui->pushButton_set_overvoltage_voltage, SLOT(set_parameter_overvoltage_voltage())},
        {ui->pushButton_set_overvoltage_hysteresis, SLOT(set_parameter_overvoltage_hysteresis())},
        {ui->pushButton_set_overvoltage_delay, SLOT(set_parameter_overvoltage_delay())},
        {ui->pushButton_set_undervoltage_voltage, SLOT(set_parameter_undervoltage_voltage())},
        {ui->pushButton_set_undervoltage_hysteresis, SLOT(set_parameter_undervoltage_hysteresis())},
        {ui->pushButton_set_undervoltage_delay, SLOT(set_parameter_undervoltage_delay())},
        {ui->pushButton_set_balance_mode, SLOT(set_parameter_balance_mode())},
        {ui->pushButton_set_shutdown_voltage, SLOT(set_parameter_shutdown_voltage())},
        {ui->pushButton_set_lowest_voltage_to_balance,
         SLOT(set_parameter_lowest_voltage_to_balance())},
        {ui->pushButton_set_cell_disbalance_threshold,
         SLOT(set_parameter_cell_disbalance_threshold())},
        {ui->pushButton_set_recuperation_disable_voltage,
         SLOT(set_parameter_recuperation_disable_voltage())},
        {ui->pushButton_set_critical_int_temp, SLOT(set_parameter_critical_int_temp())},
        {ui->pushButton_set_critical_temp_delay, SLOT(set_parameter_critical_temp_delay())},
        {ui->pushButton_set_critical_temp_hysteresis,
         SLOT(set_parameter_critical_temp_hysteresis())},
        {ui->pushButton_set_dsg_curve_manual, SLOT(set_parameter_dsg_curve_manual())},
        {ui->pushButton_set_adc_gain, SLOT(set_parameter_adc_gain())},
        {ui->pushButton_set_adc_offset, SLOT(set_parameter_adc_offset())},
    };
    for (const auto &entry : set_buttons)
        connect(entry.button, SIGNAL(clicked(bool)), this, entry.slot);

    cache_value_field_panels(this);
    fit_tooltips(this);
}

MyDialogWindow::~MyDialogWindow()
{
    delete ui;
    link->close();
}

void MyDialogWindow::refresh_ports_slot()
{
    fill_port_list(ui->ports_combo_box);
}

void MyDialogWindow::comport_connect()
{
    // The outcome is not examined: a port that did not open shows itself through
    // the link label once no reply arrives.
    link->open(ui->ports_combo_box->currentText());
    ui->button_connect->setEnabled(false);
    ui->button_disconnect->setEnabled(true);
    ui->ports_combo_box->setEnabled(false);
    ui->button_refresh->setEnabled(false);
    link->startPolling();
    values_refresh_timer->start(values_refresh_period_ms);
}

void MyDialogWindow::comport_disconnect()
{
    ui->button_connect->setEnabled(true);
    ui->button_disconnect->setEnabled(false);
    ui->ports_combo_box->setEnabled(true);
    ui->button_refresh->setEnabled(true);
    link->close();
    link->stopPolling();
    values_refresh_timer->stop();
}
