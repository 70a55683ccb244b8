#include "history_location.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>
#include <QUrlQuery>

namespace
{

const char FORMS[] = "use sqlite:PATH or postgresql://[user[:password]@]host[:port]/dbname";

// The URL with its password replaced, for messages about a URL that did not parse:
// whatever sits between "//user:" and "@" is hidden.
QString masked_url(const QString &url)
{
    const int scheme_end = url.indexOf(QLatin1String("://"));
    if (scheme_end < 0)
        return url;
    const int at = url.indexOf(QLatin1Char('@'), scheme_end + 3);
    if (at < 0)
        return url;
    const int colon = url.indexOf(QLatin1Char(':'), scheme_end + 3);
    if (colon < 0 || colon > at)
        return url;
    return url.left(colon + 1) + QLatin1String("***") + url.mid(at);
}

} // namespace

QString HistoryLocation::display() const
{
    if (kind == Kind::Sqlite)
        return QLatin1String("sqlite:") + path;
    QString text = QStringLiteral("postgresql://");
    if (!user.isEmpty())
        text += user + QLatin1Char('@');
    const bool socket = host.startsWith(QLatin1Char('/'));
    if (!socket)
        text += host;
    if (port >= 0)
        text += QLatin1Char(':') + QString::number(port);
    text += QLatin1Char('/') + database;
    if (socket)
        text += QLatin1String("?host=") + host;
    return text;
}

std::optional<HistoryLocation> parse_history_url(const QString &url, QString *error)
{
    HistoryLocation location;
    if (url.startsWith(QLatin1String("sqlite:"))) {
        QString path = url.mid(7);
        // sqlite:///abs/path is a common way of writing the same file.
        if (path.startsWith(QLatin1String("///")))
            path = path.mid(2);
        if (path.isEmpty()) {
            *error = QStringLiteral("database URL \"sqlite:\" names no file: %1").arg(FORMS);
            return std::nullopt;
        }
        location.path = QFileInfo(QDir::cleanPath(path)).absoluteFilePath();
        return location;
    }
    const bool pg = url.startsWith(QLatin1String("postgresql://")) ||
                    url.startsWith(QLatin1String("postgres://"));
    if (!pg) {
        *error = QStringLiteral("database URL \"%1\" is not one the history can use: %2")
                     .arg(masked_url(url), QLatin1String(FORMS));
        return std::nullopt;
    }
    const QUrl parsed(url, QUrl::StrictMode);
    if (!parsed.isValid()) {
        *error = QStringLiteral("database URL \"%1\" does not parse: %2")
                     .arg(masked_url(url), QLatin1String(FORMS));
        return std::nullopt;
    }
    location.kind = HistoryLocation::Kind::Postgresql;
    location.user = parsed.userName(QUrl::FullyDecoded);
    location.password = parsed.password(QUrl::FullyDecoded);
    location.host = parsed.host(QUrl::FullyDecoded);
    location.port = parsed.port(-1);
    location.database = parsed.path(QUrl::FullyDecoded).mid(1);
    const QUrlQuery query(parsed);
    for (const auto &item : query.queryItems(QUrl::FullyDecoded)) {
        if (item.first == QLatin1String("host")) {
            location.host = item.second;
        } else {
            *error = QStringLiteral("database URL \"%1\": unknown parameter \"%2\" (only "
                                    "host=/socket/folder is taken)")
                         .arg(masked_url(url), item.first);
            return std::nullopt;
        }
    }
    if (location.database.isEmpty() || location.database.contains(QLatin1Char('/'))) {
        *error = QStringLiteral("database URL \"%1\" names no database: %2")
                     .arg(masked_url(url), QLatin1String(FORMS));
        return std::nullopt;
    }
    if (location.host.isEmpty()) {
        *error = QStringLiteral("database URL \"%1\" names no host: give host[:port], or "
                                "?host=/run/postgresql for the server's Unix socket")
                     .arg(masked_url(url));
        return std::nullopt;
    }
    return location;
}

QString history_url(const QString &given)
{
    if (!given.isEmpty())
        return given;
    const QString env = qEnvironmentVariable("BMSCTL_DATABASE");
    if (!env.isEmpty())
        return env;
    return QLatin1String("sqlite:") +
           QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QLatin1String("/bmsctl/history.sqlite");
}

QString without_password(const HistoryLocation &location, QString text)
{
    if (!location.password.isEmpty())
        text.replace(location.password, QLatin1String("***"));
    return text;
}

QSqlDatabase add_history_database(const HistoryLocation &location, const QString &connection)
{
    const bool postgresql = location.kind == HistoryLocation::Kind::Postgresql;
    QSqlDatabase db = QSqlDatabase::addDatabase(
        postgresql ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE"), connection);
    if (postgresql) {
        db.setHostName(location.host);
        if (location.port >= 0)
            db.setPort(location.port);
        db.setUserName(location.user);
        db.setPassword(location.password);
        db.setDatabaseName(location.database);
    } else {
        db.setDatabaseName(location.path);
    }
    return db;
}
