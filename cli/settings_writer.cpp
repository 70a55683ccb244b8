#include "settings_writer.h"

#include "arguments.h"

#include "bms_link.h"
#include "output.h"
#include "terminal.h"
#include "test_timing.h"
#include "views.h"

#include <QTimer>

#include <algorithm>

namespace
{

// Registers a few apart are read in one request rather than two: the bytes in
// between cost less than another round trip.
constexpr int MERGE_GAP = 4;

} // namespace

SettingsWriter::SettingsWriter(const char *name, QObject *parent)
    : Command(parent), values_(no_settings()), name_(QString::fromLatin1(name)),
      pace_(new QTimer(this))
{
    pace_->setSingleShot(true);
    pace_->setInterval(test_delay(WRITE_PACE_MS));
    connect(pace_, &QTimer::timeout, this, &SettingsWriter::writeNext);
}

void SettingsWriter::run(BmsLink *link)
{
    link_ = link;
    auto *interrupt = new InterruptWatch(this);
    connect(interrupt, &InterruptWatch::interrupted, this, &SettingsWriter::interrupted);
    connect(link_, &BmsLink::readDone, this, &SettingsWriter::readBackDone);
    connect(link_, &BmsLink::readFailed, this, &SettingsWriter::readBackFailed);
    const RegisterImage &image = link_->image();
    for (const SettingDef &setting : all_settings()) {
        const QJsonValue &value = values_[static_cast<size_t>(setting.id)];
        if (value.isUndefined())
            continue;
        Item item;
        item.setting = &setting;
        item.value = value;
        const std::optional<QByteArray> bytes = encode_setting(setting, value);
        item.bytes = bytes.value_or(QByteArray());
        // A value the window does not offer, written only when forced (restore checks).
        if (!bytes && force_)
            item.bytes = register_bytes(setting, value).value_or(QByteArray());
        // Even with --all, a value the window cannot write stays as the BMS has it.
        if (setting_holds(setting, image, value) && (!all_ || !bytes))
            item.outcome = Outcome::Unchanged;
        items_.append(item);
    }
    const auto to_write = std::count_if(
        items_.begin(), items_.end(), [](const Item &i) { return i.outcome == Outcome::Pending; });

    showPlan();
    // The settings as they will be: what is written over what the BMS holds.
    SettingValues after;
    for (const SettingDef &setting : all_settings())
        after[static_cast<size_t>(setting.id)] = decode_setting(setting, image);
    for (const Item &item : items_)
        after[static_cast<size_t>(item.setting->id)] = item.value;
    if (!writable() || !cross_checked(name_, after, force_)) {
        stop(exit_code::USAGE);
        return;
    }
    go(static_cast<int>(to_write));
}

void SettingsWriter::stop(int code)
{
    state_ = State::Done;
    emit finished(code);
}

void SettingsWriter::startWriting()
{
    state_ = State::Writing;
    next_ = 0;
    writeNext();
}

void SettingsWriter::writeNext()
{
    if (state_ != State::Writing)
        return;
    if (stopping_) {
        abandon(QStringLiteral("not written: stopped at your request"));
        readBack();
        return;
    }
    while (next_ < items_.size() && items_[next_].outcome != Outcome::Pending)
        ++next_;
    if (next_ == items_.size()) {
        // The pace after the last write has passed too: time to look.
        readBack();
        return;
    }
    Item &item = items_[next_++];
    ++item.writes;
    progress(QStringLiteral("writing %1 (write %2 of at most %3)")
                 .arg(item.setting->name)
                 .arg(item.writes)
                 .arg(MAX_WRITES));
    link_->writeRegisters(static_cast<quint8>(item.setting->reg), item.bytes);
    pace_->start();
}

void SettingsWriter::readBack()
{
    state_ = State::ReadingBack;
    QVector<QPair<int, int>> spans; // [first, end)
    for (const Item &item : items_)
        if (item.outcome == Outcome::Pending)
            spans.append({item.setting->reg, item.setting->reg + item.setting->words});
    std::sort(spans.begin(), spans.end());
    RegisterRanges ranges;
    for (const auto &span : spans) {
        if (!ranges.isEmpty() &&
            span.first <= ranges.last().first + ranges.last().second + MERGE_GAP)
            ranges.last().second = qMax(ranges.last().second, span.second - ranges.last().first);
        else
            ranges.append({span.first, span.second - span.first});
    }
    if (ranges.isEmpty()) { // nothing needed writing
        finish();
        return;
    }
    progress(QStringLiteral("reading back"));
    link_->readRegisters(ranges);
}

void SettingsWriter::readBackDone()
{
    if (state_ != State::ReadingBack)
        return;
    bool again = false;
    for (Item &item : items_) {
        if (item.outcome != Outcome::Pending)
            continue;
        if (setting_holds(*item.setting, link_->image(), item.value))
            item.outcome = Outcome::Confirmed;
        else if (item.writes >= MAX_WRITES) {
            item.outcome = Outcome::Failed;
            item.failure = QStringLiteral("the BMS still holds %1 after %2 writes")
                               .arg(held_text(*item.setting, link_->image()))
                               .arg(item.writes);
        } else if (stopping_) {
            item.outcome = Outcome::Failed;
            item.failure = QStringLiteral("stopped at your request; the BMS holds %1")
                               .arg(held_text(*item.setting, link_->image()));
        } else
            again = true;
    }
    if (again)
        startWriting();
    else
        finish();
}

void SettingsWriter::readBackFailed(int first_register)
{
    if (state_ != State::ReadingBack)
        return;
    warn(QStringLiteral("the BMS stopped answering: no reply for register 0x%1 while "
                        "reading back")
             .arg(first_register, 2, 16, QLatin1Char('0')));
    for (Item &item : items_)
        if (item.outcome == Outcome::Pending) {
            item.outcome = Outcome::Failed;
            item.failure = QStringLiteral("no answer to the read-back");
        }
    finish();
}

void SettingsWriter::interrupted()
{
    switch (state_) {
    case State::Checking:
        clear_echo();
        warn(QStringLiteral("%1: stopped; nothing written").arg(name_));
        stop(exit_code::FAILED);
        return;
    case State::Writing:
    case State::ReadingBack:
        break;
    case State::Done:
        return;
    }
    keep_progress();
    if (since_interrupt_.isValid() && since_interrupt_.elapsed() <= SECOND_INTERRUPT_MS) {
        warn(QStringLiteral("%1: stopping after the write in flight").arg(name_));
        stopping_ = true;
        return;
    }
    since_interrupt_.start();
    warn(QStringLiteral("warning: stopping in the middle leaves some settings written and "
                        "others not, so the %1 goes on; Ctrl-C again within %2 s stops it "
                        "after the write in flight")
             .arg(name_)
             .arg(SECOND_INTERRUPT_MS / 1000));
}

void SettingsWriter::abandon(const QString &why)
{
    for (int i = next_; i < items_.size(); ++i) {
        Item &item = items_[i];
        if (item.outcome == Outcome::Pending && item.writes == 0) {
            item.outcome = Outcome::Failed;
            item.failure = why;
        }
    }
}

void SettingsWriter::portLost()
{
    const QString gone = QStringLiteral("%1: the port is gone (adapter unplugged?)").arg(name_);
    switch (state_) {
    case State::Checking:
        warn(gone + QStringLiteral(" before anything was written"));
        stop(exit_code::PORT);
        return;
    case State::Writing: {
        pace_->stop();
        const Item &item = items_[qMax(0, next_ - 1)];
        warn(gone + QStringLiteral(" after writing %1 (write %2 of at most %3)")
                        .arg(item.setting->name)
                        .arg(item.writes)
                        .arg(MAX_WRITES));
        break;
    }
    case State::ReadingBack:
        warn(gone + QStringLiteral(" while reading the written settings back"));
        break;
    case State::Done:
        return;
    }
    next_ = 0;
    abandon(QStringLiteral("not written: the port was gone"));
    for (Item &item : items_)
        if (item.outcome == Outcome::Pending) {
            item.outcome = Outcome::Failed;
            item.failure = QStringLiteral("written, not confirmed: the port was gone");
        }
    finish();
}

void SettingsWriter::finish()
{
    state_ = State::Done;
    progress(QString());
    // The result before the value: a curve's eleven points would push it off screen.
    QVector<QStringList> rows{
        {QStringLiteral("SETTING"), QStringLiteral("RESULT"), QStringLiteral("VALUE")}};
    int counts[4] = {};
    QStringList failed;
    for (const Item &item : items_) {
        ++counts[static_cast<int>(item.outcome)];
        QString result;
        switch (item.outcome) {
        case Outcome::Unchanged:
            result = QStringLiteral("unchanged");
            break;
        case Outcome::Confirmed:
            result = QStringLiteral("written and confirmed");
            break;
        case Outcome::Failed:
        case Outcome::Pending:
            result = QStringLiteral("FAILED: ") + item.failure;
            failed << QLatin1String(item.setting->name);
            break;
        }
        rows.append({QString::fromLatin1(item.setting->name), result,
                     value_text(*item.setting, item.value)});
    }
    say(table(rows) + QStringLiteral("%1 written and confirmed, %2 unchanged, %3 failed\n")
                          .arg(counts[static_cast<int>(Outcome::Confirmed)])
                          .arg(counts[static_cast<int>(Outcome::Unchanged)])
                          .arg(failed.size()));
    if (!failed.isEmpty())
        warn(QStringLiteral("not confirmed: %1").arg(failed.join(QStringLiteral(", "))));
    emit finished(failed.isEmpty() ? exit_code::OK : exit_code::FAILED);
}
