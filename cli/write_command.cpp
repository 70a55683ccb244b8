#include "write_command.h"

#include "bms_link.h"
#include "output.h"
#include "terminal.h"
#include "views.h"

#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace
{

// Registers a few apart are read in one request rather than two: the bytes in
// between cost less than another round trip.
constexpr int MERGE_GAP = 4;

} // namespace

WriteCommand::WriteCommand(const Invocation &invocation, QObject *parent)
    : Command(parent), inv_(invocation), pace_(new QTimer(this))
{
    pace_->setSingleShot(true);
    pace_->setInterval(WRITE_PACE_MS);
    connect(pace_, &QTimer::timeout, this, &WriteCommand::writeNext);
}

void WriteCommand::run(BmsLink *link)
{
    link_ = link;
    connect(link_, &BmsLink::readDone, this, &WriteCommand::readBackDone);
    connect(link_, &BmsLink::readFailed, this, &WriteCommand::readBackFailed);
    const RegisterImage &image = link_->image();
    const SettingValues &values = inv_.settings.values;
    for (const SettingDef &setting : all_settings()) {
        const QJsonValue &value = values[static_cast<size_t>(setting.id)];
        if (value.isUndefined())
            continue;
        Item item;
        item.setting = &setting;
        item.value = value;
        const std::optional<QByteArray> bytes = encode_setting(setting, value);
        item.bytes = bytes.value_or(QByteArray());
        // Even with --all, a value the window cannot write stays as the BMS has it.
        if (setting_holds(setting, image, value) && (!inv_.all || !bytes))
            item.outcome = Outcome::Unchanged;
        items_.append(item);
    }
    const auto to_write = std::count_if(
        items_.begin(), items_.end(), [](const Item &i) { return i.outcome == Outcome::Pending; });

    const bool restore = inv_.command == CommandKind::Restore;
    if (restore) {
        const SettingsFile &file = inv_.settings;
        const QVector<const SettingDef *> shown = differing(values, image);
        print(shown.isEmpty()
                  ? QStringLiteral("No differences: the BMS holds all %1 settings of %2.\n")
                        .arg(file.count())
                        .arg(file.path)
                  : diff_table(shown, values, image, QStringLiteral("IN ") + file.path) +
                        QStringLiteral("%1 of the %2 settings in %3 differ.\n")
                            .arg(shown.size())
                            .arg(file.count())
                            .arg(file.path));
    }
    if (!writable() || !crossChecked()) {
        state_ = State::Done;
        emit finished(exit_code::USAGE);
        return;
    }
    if (restore && inv_.dry_run) {
        state_ = State::Done;
        print(QStringLiteral("Dry run: %1 to write; nothing was written.\n")
                  .arg(to_write == 1 ? QStringLiteral("1 setting")
                                     : QStringLiteral("%1 settings").arg(to_write)));
        emit finished(exit_code::OK);
        return;
    }
    if (to_write == 0 && restore) {
        state_ = State::Done;
        emit finished(exit_code::OK);
        return;
    }
    if (to_write > 0 && restore && !inv_.yes) {
        state_ = State::Confirming;
        std::fprintf(stderr, "Write %d setting%s to the BMS? [y/N] ", static_cast<int>(to_write),
                     to_write == 1 ? "" : "s");
        std::fflush(stderr);
        answer_ = new LineReader(this);
        connect(answer_, &LineReader::lineRead, this, &WriteCommand::confirmed);
        return;
    }
    startRound();
}

bool WriteCommand::writable()
{
    bool ok = true;
    for (const Item &item : items_) {
        QString why;
        if (item.outcome != Outcome::Pending || encode_setting(*item.setting, item.value, &why))
            continue;
        complain(QStringLiteral("restore: %1: settings.%2: %3; the BMS holds %4 (edit the file "
                                "or leave the setting out with --only)")
                     .arg(inv_.settings.path, item.setting->name,
                          not_allowed(*item.setting, value_text(*item.setting, item.value), why),
                          held_text(*item.setting, link_->image())));
        ok = false;
    }
    if (!ok)
        complain(QStringLiteral("restore: refused, nothing written"));
    return ok;
}

bool WriteCommand::crossChecked()
{
    // The settings as they will be: what is written over what the BMS holds.
    SettingValues after;
    for (const SettingDef &setting : all_settings())
        after[static_cast<size_t>(setting.id)] = decode_setting(setting, link_->image());
    for (const Item &item : items_)
        after[static_cast<size_t>(item.setting->id)] = item.value;
    const QStringList problems = cross_check(after);
    const QString command =
        inv_.command == CommandKind::Set ? QStringLiteral("set") : QStringLiteral("restore");
    for (const QString &p : problems)
        complain(QStringLiteral("%1: %2%3")
                     .arg(command, inv_.force ? QStringLiteral("warning: ") : QString(), p));
    if (problems.isEmpty() || inv_.force)
        return true;
    complain(QStringLiteral("%1: refused, nothing written (--force writes anyway)").arg(command));
    return false;
}

void WriteCommand::confirmed(const QString &answer)
{
    if (state_ != State::Confirming)
        return;
    if (answer.compare(QLatin1String("y"), Qt::CaseInsensitive) == 0 ||
        answer.compare(QLatin1String("yes"), Qt::CaseInsensitive) == 0) {
        startRound();
        return;
    }
    state_ = State::Done;
    complain(QStringLiteral("restore: not confirmed, nothing written"));
    emit finished(exit_code::FAILED);
}

void WriteCommand::startRound()
{
    state_ = State::Writing;
    next_ = 0;
    writeNext();
}

void WriteCommand::writeNext()
{
    if (state_ != State::Writing)
        return;
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
    link_->send(build_write_frame(item.setting->reg, item.bytes));
    pace_->start();
}

void WriteCommand::readBack()
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

void WriteCommand::readBackDone()
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
        } else
            again = true;
    }
    if (again)
        startRound();
    else
        finish();
}

void WriteCommand::readBackFailed(int first_register)
{
    if (state_ != State::ReadingBack)
        return;
    complain(QStringLiteral("the BMS stopped answering: no reply for register 0x%1 while "
                            "reading back")
                 .arg(first_register, 2, 16, QLatin1Char('0')));
    for (Item &item : items_)
        if (item.outcome == Outcome::Pending) {
            item.outcome = Outcome::Failed;
            item.failure = QStringLiteral("no answer to the read-back");
        }
    finish();
}

void WriteCommand::finish()
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
    print(table(rows) + QStringLiteral("%1 written and confirmed, %2 unchanged, %3 failed\n")
                            .arg(counts[static_cast<int>(Outcome::Confirmed)])
                            .arg(counts[static_cast<int>(Outcome::Unchanged)])
                            .arg(failed.size()));
    if (!failed.isEmpty())
        complain(QStringLiteral("not confirmed: %1").arg(failed.join(QStringLiteral(", "))));
    emit finished(failed.isEmpty() ? exit_code::OK : exit_code::FAILED);
}

void WriteCommand::progress(const QString &text)
{
    if (!stderr_is_terminal())
        return;
    const QByteArray line = ("\r\x1b[K" + text).toUtf8();
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    std::fflush(stderr);
}
