#include "batch.h"

#include "batch_jobs.h"
#include "bms_link.h"
#include "command_history.h"
#include "output.h"
#include "ports.h"
#include "session.h"
#include "terminal.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTimer>

#include <memory>

namespace
{

QString by_id_link(const QString &canonical)
{
    const QFileInfoList links =
        QDir(QStringLiteral("/dev/serial/by-id"))
            .entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &link : links)
        if (link.canonicalFilePath() == canonical)
            return link.absoluteFilePath();
    return {};
}

BatchPort port_named(const QString &path)
{
    const QString by_id = by_id_link(QFileInfo(path).canonicalFilePath());
    return {path,
            by_id.isEmpty() || by_id == path ? path : QStringLiteral("%1 (%2)").arg(path, by_id)};
}

} // namespace

bool runs_as_batch(const QString &command)
{
    static const QStringList names{QStringLiteral("info"), QStringLiteral("backup"),
                                   QStringLiteral("flash"), QStringLiteral("monitor"),
                                   QStringLiteral("report")};
    return names.contains(command);
}

int batch_ports(const GlobalOptions &global, QVector<BatchPort> *ports)
{
    QStringList paths = global.ports;
    if (global.all_ports) {
        for (const PortEntry &p : list_ports())
            if (!p.usb.isEmpty())
                paths << p.path;
        if (paths.isEmpty()) {
            warn(QStringLiteral("--all-ports: no USB serial adapter found"));
            return exit_code::PORT;
        }
    }
    QStringList seen; // canonical paths, which a by-id link shares with its device
    for (const QString &path : paths) {
        const QString canonical = QFileInfo(path).canonicalFilePath();
        const QString key = canonical.isEmpty() ? path : canonical;
        const int earlier = seen.indexOf(key);
        if (earlier >= 0)
            return refuse(paths.at(earlier) == path
                              ? QStringLiteral("--port: %1 is named twice").arg(path)
                              : QStringLiteral("--port: %1 and %2 are the same port")
                                    .arg(paths.at(earlier), path));
        seen << key;
        ports->append(port_named(path));
    }
    if (ports->size() > 1 && !runs_as_batch(global.command))
        return refuse(QStringLiteral("%1 works on one port at a time, %2 were given; info, backup, "
                                     "flash, monitor and report run on several")
                          .arg(global.command)
                          .arg(ports->size()));
    return -1;
}

BatchJob::BatchJob(const QString &command, QObject *parent) : QObject(parent), name_(command) {}

void BatchJob::finish()
{
    int code = exit_code::OK;
    for (const Board *board : qAsConst(boards_))
        code = qMax(code, board->code);
    emit done(code);
}

void BatchJob::openAll(const QVector<BatchPort> &ports, int timeout_ms, int retries)
{
    for (const BatchPort &port : ports) {
        auto *board = new Board;
        board->port = port;
        board->link = new BmsLink(BmsLink::Wiring::Internal, this);
        board->link->setTimeout(timeout_ms);
        board->link->setRequestAttempts(1 + retries);
        board->link->setSendWait(0);
        boards_.append(board);
    }
    // All are opened and asked at once: a silent board costs its timeouts once, not
    // once per board before it.
    pending_ = boards_.size();
    for (Board *board : qAsConst(boards_))
        open(board);
}

void BatchJob::open(Board *board)
{
    BmsLink *link = board->link;
    if (!link->open(board->port.path)) {
        warn(open_failure_text(*link, board->port.label));
        board->code = exit_code::PORT;
        board->result = QStringLiteral("cannot open the port");
        answered();
        return;
    }
    // The first read's answer only; the link's later reads belong to the command.
    auto *context = new QObject(this);
    const auto done = [link, context] {
        disconnect(link, nullptr, context, nullptr);
        context->deleteLater();
    };
    connect(link, &BmsLink::readDone, context, [this, link, done] {
        done();
        if (origin_)
            record_visit(*origin_, link->image());
        answered();
    });
    connect(link, &BmsLink::readFailed, context, [this, board, done](int first_register) {
        done();
        const int n = board->link->requestAttempts();
        warn(QStringLiteral("no answer from the BMS on %1: register 0x%2 was asked for %3, "
                            "%4 ms each; is the BMS powered and the adapter's RX/TX the right "
                            "way round?")
                 .arg(board->port.label)
                 .arg(first_register, 2, 16, QLatin1Char('0'))
                 .arg(n == 1   ? QStringLiteral("once")
                      : n == 2 ? QStringLiteral("twice")
                               : QStringLiteral("%1 times").arg(n))
                 .arg(board->link->timeout()));
        board->code = exit_code::NO_ANSWER;
        board->result = QStringLiteral("no answer");
        answered();
    });
    link->readRegisters(origin_ ? first_read_with_identity(*origin_, firstRead()) : firstRead());
}

void BatchJob::answered()
{
    if (--pending_ == 0)
        run();
}

BatchJob::~BatchJob()
{
    qDeleteAll(boards_);
}

int run_batch(Command *command, const GlobalOptions &global, const QVector<BatchPort> &ports)
{
    std::unique_ptr<BatchJob> job(make_batch_job(command, global.command));
    job->setOrigin(command);
    const int code = job->prepare();
    if (code >= 0)
        return code;
    QObject::connect(job.get(), &BatchJob::done, qApp, &QCoreApplication::exit);
    QTimer::singleShot(0, job.get(), [&job, &global, &ports] {
        job->openAll(ports, global.timeout_ms, global.retries);
    });
    return QCoreApplication::exec();
}
