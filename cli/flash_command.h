#ifndef CLI_FLASH_COMMAND_H
#define CLI_FLASH_COMMAND_H

// flash: a firmware upgrade with the window's own engine (the same frames, delays,
// attempts and status rule), made safe for a shop that flashes boards in series:
// the file proven whole before anything is sent, the settings saved first, a
// confirmation, progress, and Ctrl-C that does not strand a half-written board.

#include "command.h"
#include "upgrade/hex_file.h"

#include <QElapsedTimer>

class QTimer;
class UpgradeEngine;
enum class UpgradeOutcome;
enum class UpgradePhase : quint8;

class FlashCommand : public Command
{
    Q_OBJECT
    friend class BatchFlash; // runs it on several boards at once

public:
    // A BMS restarts into its new firmware after the CRC check; it gets this long to
    // answer again.
    static constexpr int RESTART_WAIT_MS = 10000;
    // A second Ctrl-C within this time stops the upgrade.
    static constexpr int SECOND_INTERRUPT_MS = 5000;

    static CommandInfo info();

    bool parse(const QCommandLineParser &options, const QStringList &arguments) override;
    int prepare() override;
    void run(BmsLink *link) override;
    void portLost() override;

private:
    enum class State { Loaded, Confirming, Flashing, Restarting, Done };

    bool saveBackup();
    void confirmed(bool yes);
    void startUpgrade();
    void interrupted();
    void transmitting(UpgradePhase phase, quint16 line, quint16 total, int attempt);
    void upgradeFinished(UpgradeOutcome outcome);
    void askFirmware();
    void finish(int code);
    void recordFlash(const QString &result, bool succeeded, int firmware_after);
    QString where() const;
    double expectedSeconds() const;

    State state_ = State::Loaded;
    struct Options {
        QString firmware_path;
        bool yes = false;
        bool no_backup = false;
        QString backup_dir; // empty: the user's data folder
        bool ignore_checksums = false;
    } options_;
    FirmwareLoader firmware_;
    BmsLink *link_ = nullptr;
    UpgradeEngine *upgrade_ = nullptr;
    QString backup_path_;
    int firmware_before_ = -1;
    QElapsedTimer clock_;
    QElapsedTimer since_interrupt_; // invalid until the first interrupt
    int last_reported_tenth_ = -1;
    UpgradePhase last_phase_{};
};

#endif // CLI_FLASH_COMMAND_H
