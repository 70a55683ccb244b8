#include "output.h"

#include <QJsonArray>

#include <unistd.h>

bool stdin_is_terminal()
{
    return isatty(STDIN_FILENO) == 1;
}

bool stdout_is_terminal()
{
    return isatty(STDOUT_FILENO) == 1;
}

bool stderr_is_terminal()
{
    return isatty(STDERR_FILENO) == 1;
}

QString value_text(const SettingDef &setting, const QJsonValue &value)
{
    if (value.isNull() || value.isUndefined())
        return QStringLiteral("(no meaning)");
    const QString text = setting_value_text(value);
    if (text.isEmpty())
        return QStringLiteral("(empty)");
    const QString unit = QString::fromUtf8(setting.unit);
    if (value.isString() || unit == QLatin1String("text"))
        return text;
    return text + QLatin1Char(' ') + unit;
}

QString table(const QVector<QStringList> &rows)
{
    QVector<int> widths;
    for (const QStringList &row : rows)
        for (int i = 0; i < row.size(); ++i) {
            if (widths.size() <= i)
                widths.append(0);
            widths[i] = qMax(widths[i], row.at(i).size());
        }
    QString out;
    for (const QStringList &row : rows) {
        QString line;
        for (int i = 0; i < row.size(); ++i)
            line += i + 1 < row.size() ? row.at(i).leftJustified(widths[i] + 2) : row.at(i);
        out += line + QLatin1Char('\n');
    }
    return out;
}
