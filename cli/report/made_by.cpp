#include "made_by.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>

QString report_config_path()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    // A relative XDG_CONFIG_HOME is invalid and is ignored, as the standard says.
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/bmsctl/report.conf");
}

bool complete_made_by(MadeBy &made_by, const QString &path, QString *problem)
{
    const QFileInfo info(path);
    if (!info.exists())
        return true;
    if (!info.isFile() || !info.isReadable()) {
        *problem = QStringLiteral("%1: cannot be read").arg(path);
        return false;
    }
    QSettings file(path, QSettings::IniFormat);
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    file.setIniCodec("UTF-8"); // Qt 6 reads UTF-8 by itself
#endif
    const auto take = [&file](QString &field, const char *key) {
        if (!field.isNull() || !file.contains(QLatin1String(key)))
            return;
        // An unquoted value with commas comes back as a list; the name had them.
        const QVariant value = file.value(QLatin1String(key));
        field = value.userType() == QMetaType::QStringList
                    ? value.toStringList().join(QStringLiteral(", "))
                    : value.toString();
        if (field.isNull())
            field = QLatin1String("");
    };
    take(made_by.shop, "shop");
    take(made_by.technician, "technician");
    take(made_by.job, "job");
    if (file.status() != QSettings::NoError) {
        *problem = QStringLiteral("%1: not a valid settings file").arg(path);
        return false;
    }
    return true;
}
