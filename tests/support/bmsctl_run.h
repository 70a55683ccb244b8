#ifndef TESTS_BMSCTL_RUN_H
#define TESTS_BMSCTL_RUN_H

// bmsctl through its binary, against bms_sim or a bare pseudo-terminal: what the
// command-line tests share.
//
// BMSCTL_TEST_DELAY_PERCENT is read by bmsctl for these tests alone: its fixed
// waits (the pace of setting writes, the upgrade's command delays, the report's
// sampling period and duration) shrink to that share, so a flash whose loader
// never answers fails in about 1.5 s instead of 6, and "report --duration 1"
// samples for a tenth of a second. Reply windows and timeouts keep their values.
// Nothing else sets it. A test that judges what a report measures, or that needs
// a job to last, runs bmsctl in real time instead.

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVector>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <pty.h>
#include <unistd.h>
#include <vector>

#include "hex_text.h"

#include <QFile>

struct Result {
    int code = -1;
    QString out, err;
};

inline QProcessEnvironment fast_environment(int percent = 10)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("BMSCTL_TEST_DELAY_PERCENT"), QString::number(percent));
    return env;
}

inline QProcessEnvironment real_time()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("BMSCTL_TEST_DELAY_PERCENT"));
    return env;
}

// Standard input is a closed pipe: no terminal to confirm on.
inline void start_bmsctl(QProcess &p, const QStringList &args,
                         const QProcessEnvironment &env = fast_environment())
{
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(BMSCTL_PATH), args);
    p.closeWriteChannel();
}

inline Result result_of(QProcess &p)
{
    p.waitForFinished(60000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

inline Result bmsctl(const QStringList &args, const QProcessEnvironment &env = fast_environment())
{
    QProcess p;
    start_bmsctl(p, args, env);
    return result_of(p);
}

// Several independent runs at once, each with its own arguments.
inline QVector<Result> bmsctl_all(const QVector<QStringList> &runs,
                                  const QProcessEnvironment &env = fast_environment())
{
    std::vector<std::unique_ptr<QProcess>> processes;
    for (const QStringList &args : runs) {
        processes.push_back(std::make_unique<QProcess>());
        start_bmsctl(*processes.back(), args, env);
    }
    QVector<Result> results;
    for (auto &p : processes)
        results << result_of(*p);
    return results;
}

inline bool write_file(const QString &path, const QByteArray &text)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(text) == text.size();
}

// generated_hex_file(20, 16, 5) as files come from the field: one line end
// converted twice (CR CR LF), blank lines and spaces after the end record.
inline QByteArray field_hex_file()
{
    return generated_hex_file(20, 16, 5)
        .replace(":00000001FF\r\n", ":00000001FF \r\n\r\n  \n")
        .replace("\r\n:10001000", "\r\r\n:10001000");
}

// A folder for a test's files, and bmsctl run on a port with "%D" in its arguments
// standing for that folder.
struct TestFolder {
    QTemporaryDir dir;

    Result run(const QString &port, QStringList args) const
    {
        for (QString &a : args)
            a.replace(QLatin1String("%D"), dir.path());
        return bmsctl(QStringList{QStringLiteral("--port"), port} + args);
    }
};

// A simulated pack on a pseudo-terminal of its own.
struct Sim {
    QProcess process;
    QString path;
    explicit Sim(const QStringList &args = {})
    {
        process.start(QStringLiteral(BMS_SIM_PATH), args);
        process.waitForReadyRead(10000);
        path = QString::fromLocal8Bit(process.readLine()).trimmed();
    }
    ~Sim() { process.terminate(), process.waitForFinished(5000); }
};

// A port with nobody behind it: whatever bmsctl sends waits on the master side.
struct Line {
    int master = -1, slave = -1;
    QString path;
    Line()
    {
        char name[128] = {};
        openpty(&master, &slave, name, nullptr, nullptr); // bmsctl sets the line up itself
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        path = QString::fromLocal8Bit(name);
    }
    ~Line() { ::close(master), ::close(slave); }
    Line(const Line &) = delete;
    Line &operator=(const Line &) = delete;
    QByteArray sent() const
    {
        char buffer[512];
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        return QByteArray(buffer, n > 0 ? static_cast<int>(n) : 0);
    }
};

// A running bmsctl whose standard error is collected as it comes.
struct Running {
    QProcess process;
    QString err;
    explicit Running(const QStringList &args, const QProcessEnvironment &env,
                     const QString &input = QString())
    {
        process.setProcessEnvironment(env);
        if (!input.isEmpty())
            process.setStandardInputFile(input);
        process.start(QStringLiteral(BMSCTL_PATH), args);
    }
    bool said(const QString &text)
    {
        err += QString::fromUtf8(process.readAllStandardError());
        return err.contains(text);
    }
    // Waits for `text` on standard error as it comes, without polling.
    bool waitFor(const QString &text, int timeout_ms = 10000)
    {
        process.setReadChannel(QProcess::StandardError);
        while (!said(text))
            if (!process.waitForReadyRead(timeout_ms))
                return said(text);
        return true;
    }
    void signal(int number) { ::kill(static_cast<pid_t>(process.processId()), number); }
    int finish()
    {
        process.waitForFinished(60000);
        err += QString::fromUtf8(process.readAllStandardError());
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
};

#endif // TESTS_BMSCTL_RUN_H
