#ifndef CLI_BATCH_JOBS_H
#define CLI_BATCH_JOBS_H

// What a command does on several boards: every port is opened and read first, at
// once; run() then has every board that answered. Each board ends with its own
// exit code, and the batch with the highest.

#include "batch.h"

#include <QObject>
#include <QString>
#include <QVector>

class BmsLink;

struct Board {
    BatchPort port;
    BmsLink *link = nullptr;
    int code = -1;  // the board's exit code once it has one
    QString result; // for a summary: what became of it
    bool ready() const { return code < 0; }
};

class BatchJob : public QObject
{
    Q_OBJECT

public:
    BatchJob(const QString &command, QObject *parent = nullptr);
    ~BatchJob() override;

    // As Command::prepare(), once for the batch.
    virtual int prepare() { return -1; }
    virtual RegisterRanges firstRead() const { return {{0, POLLED_REGISTER_COUNT}}; }

    void openAll(const QVector<BatchPort> &ports, int timeout_ms, int retries);
    // The command the batch runs for: each board's visit goes into its history.
    void setOrigin(Command *command) { origin_ = command; }

signals:
    void done(int exit_code);

protected:
    // Every board has answered, or has its code.
    virtual void run() = 0;
    void finish();

    QString name_;
    QVector<Board *> boards_;

private:
    void open(Board *board);
    void answered();

    int pending_ = 0;
    Command *origin_ = nullptr;
};

BatchJob *make_batch_job(Command *command, const QString &name);

// Files of a batch go into a folder, one per board: `dir` is refused (false, after
// a line that says why) when it names a file.
bool output_folder(const QString &command, const QString &dir, const QStringList &file_suffixes);

#endif // CLI_BATCH_JOBS_H
