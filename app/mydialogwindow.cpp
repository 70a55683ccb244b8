#include "mydialogwindow.h"

#include "appearance.h"
#include "bms_link.h"
#include "ui_mydialogwindow.h"
#include "upgrade_engine.h"
#include "window_history.h"

#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QSettings>
#include <QTimer>

#include <unistd.h>

namespace
{

const char REMEMBERED_PORT_KEY[] = "port/answered";

QString tr(const char *source)
{
    return QCoreApplication::translate("MyDialogWindow", source);
}

void fill_port_list(QComboBox *box)
{
    box->clear();
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports)
        box->addItem(port.portName());
}

// The port that last answered is offered again when it is there: as listed, or as
// the path (a /dev/serial/by-id link, say) that leads to a listed port.
void preselect(QComboBox *box, const QString &remembered)
{
    if (remembered.isEmpty())
        return;
    const int index = box->findText(remembered);
    if (index >= 0) {
        box->setCurrentIndex(index);
        return;
    }
    const QString device = QFileInfo(remembered).canonicalFilePath();
    if (device.isEmpty())
        return;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports) {
        if (port.systemLocation() == device) {
            box->setEditText(remembered);
            return;
        }
    }
}

// One line for a port that did not open: the system's reason and, for a permission
// error, what to do about it.
QString open_failure(const QString &name, const BmsLink *link)
{
    if (name.isEmpty()) // the system's reason would be about /dev, a directory
        return tr("Cannot open port: no port is listed or typed in");
    const QString line = tr("Cannot open port %1: %2").arg(name, link->errorString());
    switch (link->openFailure()) {
    case OpenFailure::InUse:
        return line + tr(". Is another program using it?");
    case OpenFailure::NoPermission:
        return line + tr(". To get access, add your user to the dialout group "
                         "(sudo usermod -aG dialout $USER), then log out and in again.");
    case OpenFailure::None:
    case OpenFailure::Other:
        break;
    }
    return line;
}

// The log pane's lines for the upgrade engine's reports.
void log_upgrade(UpgradeEngine *upgrade, QPlainTextEdit *log)
{
    QObject::connect(upgrade, &UpgradeEngine::transmitting, log,
                     [log](UpgradePhase phase, quint16 line, quint16 total, int attempt) {
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
                     [log] { log->appendPlainText(tr("Flash has been successfully erased")); });
    QObject::connect(upgrade, &UpgradeEngine::allLinesSent, log, [log] {
        log->appendPlainText(tr("New firmware has been successfully sent."));
    });
    QObject::connect(upgrade, &UpgradeEngine::finished, log, [log](UpgradeOutcome outcome) {
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
    history = new WindowHistory(link);
    connect(history, &WindowHistory::warning, ui->plainTextEdit, &QPlainTextEdit::appendPlainText);

    fill_port_list(ui->ports_combo_box);
    preselect(ui->ports_combo_box, rememberedPort());

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
    link->connectReadyRead(this, SLOT(comport_received()));
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

    // A setting's row is its input and the first Set button of the same group box
    // that is not above it: beside it, or below it for the discharge curve's points.
    const auto inputs =
        findChildren<QWidget *>(QRegularExpression(QStringLiteral("^(lineEdit|comboBox)_set_")));
    for (QWidget *input : inputs) {
        QPushButton *row_button = nullptr;
        for (const auto &entry : set_buttons)
            if (entry.button->parentWidget() == input->parentWidget() &&
                entry.button->geometry().bottom() >= input->geometry().top() &&
                (!row_button || entry.button->y() < row_button->y()))
                row_button = entry.button;
        if (row_button)
            row_buttons.insert(input, row_button);
    }

    // Remembered once per connection, at its first valid frame. Not a slot of the
    // window: the context is the link, like the log's.
    connect(link, &BmsLink::linkAlive, link, [this] {
        if (port_to_remember.isEmpty())
            return;
        QSettings().setValue(QLatin1String(REMEMBERED_PORT_KEY), port_to_remember);
        port_to_remember.clear();
    });

    list_value_fields();
    track_setting_inputs();
    style_value_fields(this);
    fit_tooltips(this);
}

MyDialogWindow::~MyDialogWindow()
{
    history->disconnected();
    delete ui;
    link->close();
}

void MyDialogWindow::presetPort(const QString &port, bool connect_now)
{
    if (!port.isEmpty())
        ui->ports_combo_box->setEditText(port);
    if (connect_now)
        comport_connect();
}

void MyDialogWindow::setHistory(const QString &database, bool enabled)
{
    history->configure(database, enabled);
}

QString MyDialogWindow::rememberedPort()
{
    return QSettings().value(QLatin1String(REMEMBERED_PORT_KEY)).toString();
}

void MyDialogWindow::keyPressEvent(QKeyEvent *event)
{
    // Every button is made with autoDefault off, so QDialog presses nothing on Enter:
    // here Enter presses the focused button, or the Set button of the focused input's
    // row, and nothing anywhere else. It never closes the window; holding it down
    // presses once.
    const Qt::KeyboardModifiers modifiers = event->modifiers();
    if ((event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter) ||
        (modifiers != Qt::NoModifier && modifiers != Qt::KeypadModifier)) {
        QDialog::keyPressEvent(event);
        return;
    }
    QWidget *focus = focusWidget();
    QPushButton *button = qobject_cast<QPushButton *>(focus);
    if (!button)
        button = row_buttons.value(focus);
    if (button && !event->isAutoRepeat())
        button->click();
}

void MyDialogWindow::refresh_ports_slot()
{
    fill_port_list(ui->ports_combo_box);
}

void MyDialogWindow::comport_connect()
{
    // A port that did not open gets its line in the log; the window goes on as
    // after an open, and the link label shows that nothing answers.
    const QString name = ui->ports_combo_box->currentText();
    forget_values();
    if (link->open(name)) {
        port_to_remember = name;
        history->connected();
    } else
        ui->plainTextEdit->appendPlainText(open_failure(name, link));
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
    port_to_remember.clear();
    history->disconnected();
    link->close();
    link->stopPolling();
    values_refresh_timer->stop();
}
