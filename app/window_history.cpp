#include "window_history.h"

#include "bms_link.h"
#include "history_recorder.h"
#include "monitor/display.h"
#include "settings/settings.h"

WindowHistory::WindowHistory(BmsLink *link) : QObject(link), link_(link)
{
    setObjectName(QStringLiteral("window_history"));
    connect(link_, &BmsLink::registersStored, this, &WindowHistory::stored);
}

WindowHistory::~WindowHistory() = default;

WindowHistory *WindowHistory::of(const BmsLink *link)
{
    auto *history = link->findChild<WindowHistory *>(QString(), Qt::FindDirectChildrenOnly);
    return history && history->configured_ && history->enabled_ ? history : nullptr;
}

void WindowHistory::configure(const QString &database, bool enabled)
{
    database_ = database;
    enabled_ = enabled;
    configured_ = true;
}

void WindowHistory::connected()
{
    disconnected();
    if (!configured_ || !enabled_)
        return;
    recorder_ = std::make_unique<HistoryRecorder>(database_, QStringLiteral("bms_tool"));
    seen_.reset();
    visited_ = false;
}

void WindowHistory::disconnected()
{
    for (const PendingSet &set : pending_)
        recordSet(set, false);
    pending_.clear();
    recorder_.reset();
}

void WindowHistory::written(const SettingDef &setting, const QByteArray &bytes)
{
    if (!recorder_)
        return;
    RegisterImage image = link_->image();
    PendingSet set{&setting, decode_setting(setting, image), QJsonValue(), bytes};
    const auto at = static_cast<size_t>(2 * setting.reg);
    for (int i = 0; i < bytes.size() && at + static_cast<size_t>(i) < image.size(); ++i)
        image[at + static_cast<size_t>(i)] = static_cast<quint8>(bytes[i]);
    set.after = decode_setting(setting, image);
    // A second Set of the same setting before the first was read back: only the
    // latter can still be confirmed.
    for (int i = 0; i < pending_.size(); ++i)
        if (pending_[i].setting == &setting) {
            recordSet(pending_[i], false);
            pending_.remove(i);
            break;
        }
    pending_.append(set);
}

void WindowHistory::stored(int first, int count)
{
    if (!recorder_)
        return;
    if (!visited_) {
        for (int r = qMax(first, 0); r < first + count && r < POLLED_REGISTER_COUNT; ++r)
            seen_.set(static_cast<size_t>(r));
        if (seen_.all()) {
            visited_ = true;
            const RegisterImage &image = link_->image();
            note(recorder_->visit(QStringLiteral("connect"), decode_identity(image),
                                  decode_pack_state(image)));
        }
    }
    for (int i = 0; i < pending_.size();) {
        PendingSet &set = pending_[i];
        if (set.setting->reg < first || set.setting->reg + set.setting->words > first + count) {
            ++i;
            continue;
        }
        const bool holds = setting_bytes(*set.setting, link_->image()) == set.bytes;
        if (holds || ++set.read_backs >= READ_BACKS) {
            recordSet(set, holds);
            pending_.remove(i);
            continue;
        }
        ++i;
    }
}

void WindowHistory::recordSet(const PendingSet &set, bool confirmed)
{
    if (recorder_)
        note(recorder_->settingsWrite(
            {QString::fromLatin1(set.setting->name), set.before, set.after, confirmed}));
}

void WindowHistory::note(const QString &line)
{
    if (!line.isEmpty())
        emit warning(line);
}
