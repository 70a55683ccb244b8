#ifndef HISTORY_HISTORY_LOCATION_H
#define HISTORY_HISTORY_LOCATION_H

// Where the service history is kept: an SQLite file on one bench, or a PostgreSQL
// database that every bench of a shop shares.
//
//   sqlite:PATH
//   postgresql://[user[:password]@]host[:port]/dbname
//   postgresql://[user@]/dbname?host=/run/postgresql     (a Unix socket folder)

#include <QSqlDatabase>
#include <QString>

#include <optional>

struct HistoryLocation {
    enum class Kind { Sqlite, Postgresql };
    Kind kind = Kind::Sqlite;
    QString path; // sqlite: absolute file path
    // postgresql: host is a name, an address or a socket folder (from ?host=)
    QString host;
    int port = -1; // -1: the client library's default
    QString user;
    QString password;
    QString database;

    // The location as a person may see it: the password is never part of it.
    QString display() const;
};

// Nothing, with the reason in *error, when `url` is not one of the forms above.
// A message never quotes the password.
std::optional<HistoryLocation> parse_history_url(const QString &url, QString *error);

// The URL in force: `given` (the front end's --database) if not empty, else
// BMSCTL_DATABASE, else the SQLite file history.sqlite in the user's data folder
// ($XDG_DATA_HOME/bmsctl, ~/.local/share/bmsctl).
QString history_url(const QString &given);

// The text with every occurrence of the location's password masked: the database
// client's own messages may echo what it was given.
QString without_password(const HistoryLocation &location, QString text);

// A connection named `connection` to the location, with its driver, server and
// credentials or file set, not yet opened; options are the caller's.
QSqlDatabase add_history_database(const HistoryLocation &location, const QString &connection);

#endif // HISTORY_HISTORY_LOCATION_H
