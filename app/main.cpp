#include "appearance.h"
#include "history_location.h"
#include "mydialogwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDateTime>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QTimer>

#include <cstdio>
#include <cstring>

namespace
{

// One line at start, off unless asked for: how long the window took to become
// responsive, in wall time, for a benchmark that starts the program from outside.
Q_LOGGING_CATEGORY(startup_log, "bms.startup", QtInfoMsg)

void describe(QCommandLineParser &parser)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QStringLiteral(
        "Service tool for the BMS of a ten-cell battery pack: live monitoring, settings and "
        "firmware upgrade through a serial adapter.\n\n"
        "Example, a bench with a fixed adapter:\n"
        "  bms_tool --port /dev/ttyUSB0 --connect"));
    parser.addOptions({
        {{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help and exit.")},
        {QStringLiteral("version"), QStringLiteral("Show the version and exit.")},
        {QStringLiteral("port"),
         QStringLiteral("Put PATH into the port box: a listed name such as ttyUSB0, or a device "
                        "path such as a /dev/serial/by-id link."),
         QStringLiteral("PATH")},
        {QStringLiteral("connect"),
         QStringLiteral("Connect at once: to the --port PATH, else to the port through which a "
                        "BMS last answered.")},
        {QStringLiteral("database"),
         QStringLiteral("Keep the service history in URL: sqlite:PATH or "
                        "postgresql://[user[:password]@]host[:port]/dbname; default "
                        "$BMSCTL_DATABASE, else ~/.local/share/bmsctl/history.sqlite."),
         QStringLiteral("URL")},
        {QStringLiteral("no-history"),
         QStringLiteral("Record nothing in the service history this time.")},
    });
}

int usage_error(const QString &what)
{
    std::fprintf(stderr, "bms_tool: %s (bms_tool --help lists the options)\n", qPrintable(what));
    return 2;
}

// The program's own categories (bms.*) only choose what is written: their lines go
// out bare, as plain words and numbers, while Qt's keep their category.
void message_handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const bool own = context.category && std::strncmp(context.category, "bms.", 4) == 0;
    const QMessageLogContext bare(context.file, context.line, context.function, "default");
    const QString line = qFormatLogMessage(type, own ? bare : context, message);
    if (!line.isNull())
        std::fprintf(stderr, "%s\n", qPrintable(line));
}

} // namespace

int main(int argc, char *argv[])
{
    QElapsedTimer since_main;
    since_main.start();
    QCoreApplication::setOrganizationName(QStringLiteral("voltaro"));
    QCoreApplication::setApplicationName(QStringLiteral("bms_tool"));
    QCoreApplication::setApplicationVersion(QStringLiteral(BMS_TOOL_VERSION));
    qInstallMessageHandler(message_handler);
    {
        // Help and version answer before there is a window, so without a display: the
        // manual page is made from them, maybe on a build machine that has none.
        // Mistakes wait until QApplication has taken its own options (-platform, ...).
        const QCoreApplication probe(argc, argv);
        QCommandLineParser parser;
        describe(parser);
        parser.parse(QCoreApplication::arguments());
        if (parser.isSet(QStringLiteral("help"))) {
            // Named as installed, not as started (./bms_tool, /usr/bin/bms_tool).
            QString help = parser.helpText();
            help.replace(0, help.indexOf(QLatin1Char('\n')),
                         QStringLiteral("Usage: bms_tool [options]"));
            std::fputs(qPrintable(help), stdout);
            return 0;
        }
        if (parser.isSet(QStringLiteral("version"))) {
            std::printf("bms_tool %s\n", BMS_TOOL_VERSION);
            return 0;
        }
    }

    // The window draws with the raster engine only. On X11 the platform plugin
    // would otherwise load the system's OpenGL driver at start just to learn what
    // it offers, which doubled the time to a responsive window on a plain X server.
    if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", "none");
    enable_high_dpi_scaling();
    QApplication application(argc, argv);
    use_form_font();
    QCommandLineParser parser;
    describe(parser);
    if (!parser.parse(QApplication::arguments()))
        return usage_error(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return usage_error(
            QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));
    QString port = parser.value(QStringLiteral("port"));
    if (parser.isSet(QStringLiteral("port")) && port.isEmpty())
        return usage_error(QStringLiteral("--port: a port name or device path is expected"));
    // --connect alone connects where a BMS last answered, even if that port is not
    // there now: the log then says why it did not open. It never picks another port.
    const bool connect_now = parser.isSet(QStringLiteral("connect"));
    if (connect_now && port.isEmpty())
        port = MyDialogWindow::rememberedPort();
    if (connect_now && port.isEmpty())
        return usage_error(
            QStringLiteral("--connect needs a port: no BMS has answered yet, so give --port PATH"));

    const QString database = parser.value(QStringLiteral("database"));
    if (parser.isSet(QStringLiteral("database"))) {
        QString why;
        if (!parse_history_url(database, &why))
            return usage_error(QStringLiteral("--database: %1").arg(why));
    }

    // Lives until the process ends; the window is the program.
    auto *window = new MyDialogWindow();
    window->setHistory(database, !parser.isSet(QStringLiteral("no-history")));
    window->presetPort(port, connect_now);
    window->show();
    QTimer::singleShot(0, &application, [&since_main] {
        qCDebug(startup_log, "Event loop reached %lld ms after main, at %lld ms since the epoch",
                since_main.elapsed(), QDateTime::currentMSecsSinceEpoch());
    });
    return application.exec();
}
