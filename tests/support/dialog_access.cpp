#include "dialog_access.h"

#include "app/program_state.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>

void reset_program_state()
{
    tx_frame.clear();
    rx_buffer.clear();
    reply_buffer.fill(0);
    bms_registers.fill(0);
    register_request_offset = 0;
    upgrade_frame.clear();
    if (firmware_file.isOpen())
        firmware_file.close();
    firmware_image.fill(0);
    hex_lines_total = 0;
    upgrade_state = UPGRADE_IDLE;
    upgrade_attempt = 0;
    hex_line_number = 0;
    firmware_crc = 0;
}

void connect_dialog(QObject *dialog, const QString &path)
{
    widget<QComboBox>(dialog, "ports_combo_box")->setEditText(path);
    click(dialog, "button_connect");
}

void set_text(QObject *dialog, const char *line_edit, const QString &text)
{
    widget<QLineEdit>(dialog, line_edit)->setText(text);
}

void choose(QObject *dialog, const char *combo_box, int index)
{
    widget<QComboBox>(dialog, combo_box)->setCurrentIndex(index);
}

void click(QObject *dialog, const char *button)
{
    widget<QPushButton>(dialog, button)->click();
}

QString text_of(QObject *dialog, const char *line_edit)
{
    return widget<QLineEdit>(dialog, line_edit)->text();
}

QString start_sim(QProcess &sim, const QStringList &args)
{
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(QStringLiteral(BMS_SIM_PATH), args);
    if (!sim.waitForStarted(5000))
        return {};
    QElapsedTimer clock;
    clock.start();
    while (!sim.canReadLine() && clock.elapsed() < 10000)
        sim.waitForReadyRead(200);
    return QString::fromLocal8Bit(sim.readLine()).trimmed();
}

void stop_sim(QProcess &sim)
{
    sim.terminate();
    if (!sim.waitForFinished(5000))
        sim.kill();
    sim.waitForFinished(5000);
}
