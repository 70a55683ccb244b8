#include "app/mydialogwindow.h"
#include "app/program_state.h"
#include "monitor/display.h"

#include <QLabel>
#include <QLineEdit>
#include <QTimer>

void MyDialogWindow::refresh_values()
{
    const QVector<FieldText> fields = decode_registers(bms_registers);
    for (const FieldText &field : fields) {
        QWidget *w = findChild<QWidget *>(field.widget);
        if (auto *edit = qobject_cast<QLineEdit *>(w))
            edit->setText(field.text);
        else if (auto *label = qobject_cast<QLabel *>(w))
            label->setText(field.text);
    }
}

void MyDialogWindow::values_refresh_timer_overflow()
{
    refresh_values();
    values_refresh_timer->start(values_refresh_period_ms);
}
