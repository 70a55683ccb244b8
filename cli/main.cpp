// bmsctl: the service bench on the command line. Everything is read and checked
// first; only then is the port opened, the BMS asked for a snapshot, and the
// command run on the event loop.

#include "batch.h"
#include "command_line.h"
#include "output.h"
#include "ports.h"
#include "session.h"
#include "terminal.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QTimer>

#include <clocale>
#include <memory>

namespace
{

void message_handler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    const char *level = type == QtDebugMsg ? "" : type == QtInfoMsg ? "" : "warning: ";
    warn(QLatin1String(level) + message);
}

// Only what stops the run: the platform's start-up remarks (no XDG_RUNTIME_DIR,
// ...) are about a desktop session that a report drawn off screen does not use.
void start_up_handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        message_handler(type, context, message);
}

// The HTML report's chart draws text, which needs fonts and so a QGuiApplication;
// there is no window, so no display is needed either. Everything else runs on
// QtCore alone.
std::unique_ptr<QCoreApplication> make_application(const Command &command, bool verbose, int &argc,
                                                   char **argv)
{
    if (!command.drawsText())
        return std::make_unique<QCoreApplication>(argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (!verbose)
        qInstallMessageHandler(start_up_handler);
    auto app = std::make_unique<QGuiApplication>(argc, argv);
    qInstallMessageHandler(message_handler);
    return app;
}

} // namespace

int main(int argc, char **argv)
{
    qInstallMessageHandler(message_handler);
    ignore_broken_pipes();
    // What the application object would do, done before there is one: the command
    // decides which kind of application it needs, so arguments are read first.
    std::setlocale(LC_ALL, "");
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    int code = exit_code::USAGE;
    GlobalOptions global;
    std::unique_ptr<Command> command = parse_command_line(arguments, global, &code);
    if (!command)
        return code;
    // The engine reports every stored reply in its own categories, which are off
    // by default: useful when chasing a line fault (--verbose), noise between a
    // command's own lines otherwise.
    QLoggingCategory::setFilterRules(global.verbose ? QStringLiteral("bms.*.debug=true")
                                                    : QStringLiteral("*.debug=false"));
    if (!command->needsPort())
        return command->runWithoutPort();
    QVector<BatchPort> batch;
    if (global.ports.size() > 1 || global.all_ports) {
        code = batch_ports(global, &batch);
        if (code >= 0)
            return code;
        if (batch.size() == 1)
            global.port = batch.first().path;
    }
    if (batch.size() > 1) {
        const std::unique_ptr<QCoreApplication> app =
            make_application(*command, global.verbose, argc, argv);
        code = run_batch(command.get(), global, batch);
        command.reset();
        return code;
    }

    const std::unique_ptr<QCoreApplication> app =
        make_application(*command, global.verbose, argc, argv);
    code = command->prepare();
    if (code >= 0)
        return code;
    QString why;
    const QString port = choose_port(global.port, &why);
    if (port.isEmpty()) {
        warn(why);
        return exit_code::PORT;
    }
    Session session(port, global.timeout_ms, global.retries, command.get());
    QTimer::singleShot(0, &session, &Session::start);
    code = app->exec();
    command.reset(); // its notifiers and timers go while the application is there
    return code;
}
