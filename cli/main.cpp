// bmsctl: the service bench on the command line. Everything is read and checked
// first; only then is the port opened, the BMS asked for a snapshot, and the
// command run on the event loop.

#include "flash_command.h"
#include "invocation.h"
#include "monitor_command.h"
#include "output.h"
#include "ports.h"
#include "read_commands.h"
#include "session.h"
#include "write_command.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTimer>

#include <clocale>
#include <cstdio>
#include <memory>

namespace
{

void message_handler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    const char *level = type == QtDebugMsg ? "" : type == QtInfoMsg ? "" : "warning: ";
    std::fprintf(stderr, "bmsctl: %s%s\n", level, message.toLocal8Bit().constData());
}

std::unique_ptr<Command> make_command(const Invocation &inv)
{
    switch (inv.command) {
    case CommandKind::Monitor:
        return std::make_unique<MonitorCommand>(inv);
    case CommandKind::Set:
    case CommandKind::Restore:
        return std::make_unique<WriteCommand>(inv);
    case CommandKind::Flash:
        return std::make_unique<FlashCommand>(inv);
    default:
        return std::make_unique<ReadCommand>(inv);
    }
}

} // namespace

int main(int argc, char **argv)
{
    qInstallMessageHandler(message_handler);
    // What the application object would do, done before there is one: the command
    // decides which kind of application it needs, so arguments are read first.
    std::setlocale(LC_ALL, "");
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    int code = exit_code::USAGE;
    const std::optional<Invocation> inv = parse_invocation(arguments, &code);
    if (!inv)
        return code;
    // The engine reports every stored reply at debug level: useful when chasing a
    // line fault (--verbose), noise between a command's own lines otherwise.
    if (!inv->verbose)
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    if (inv->command == CommandKind::Ports)
        return run_ports(inv->json);

    // Every command so far runs on QtCore alone.
    QCoreApplication app(argc, argv);
    const std::unique_ptr<Command> command = make_command(*inv);
    code = command->prepare();
    if (code >= 0)
        return code;
    QString why;
    const QString port = choose_port(inv->port, &why);
    if (port.isEmpty()) {
        complain(why);
        return exit_code::PORT;
    }
    Session session(port, inv->timeout_ms, command.get());
    QTimer::singleShot(0, &session, &Session::start);
    return app.exec();
}
