#ifndef APP_WINDOW_HISTORY_H
#define APP_WINDOW_HISTORY_H

// The window's part of the service history: a visit for each connection, taken
// when the polling has read the whole register space once (only then are the
// pack's identity and snapshot known), and each Set, recorded once the polling
// has read the setting back: confirmed when it holds what was sent, not
// confirmed when three read-backs in a row show something else or the
// connection ends first. The window never waits for it beyond the recorder's
// budget, and a history that cannot be written is one line in the log.

#include "link/frame.h"
#include "link/reception.h"

#include <QJsonValue>
#include <QObject>
#include <QString>
#include <QVector>

#include <bitset>
#include <memory>

class BmsLink;
class HistoryRecorder;
struct SettingDef;

class WindowHistory : public QObject
{
    Q_OBJECT

public:
    // Read-backs of a Set that may still be older than the write: a poll request
    // already on the line when Set was pressed answers with the old value.
    static constexpr int READ_BACKS = 3;

    // Child of `link`, which it watches.
    explicit WindowHistory(BmsLink *link);
    ~WindowHistory() override;

    // Nothing is recorded until this is called; `database` empty: BMSCTL_DATABASE
    // or the user's own file.
    void configure(const QString &database, bool enabled);

    void connected();
    void disconnected();
    // A Set's frame has gone out.
    void written(const SettingDef &setting, const QByteArray &bytes);

    // The history of the window that owns `link`, if it records.
    static WindowHistory *of(const BmsLink *link);

signals:
    void warning(const QString &line);

private:
    struct PendingSet {
        const SettingDef *setting;
        QJsonValue before;
        QJsonValue after;
        QByteArray bytes;
        int read_backs = 0;
    };

    void stored(int first, int count);
    void recordSet(const PendingSet &set, bool confirmed);
    void note(const QString &line);

    BmsLink *link_;
    QString database_;
    bool configured_ = false;
    bool enabled_ = false;
    std::unique_ptr<HistoryRecorder> recorder_; // one per connection
    std::bitset<POLLED_REGISTER_COUNT> seen_;
    bool visited_ = false;
    QVector<PendingSet> pending_;
};

#endif // APP_WINDOW_HISTORY_H
