#ifndef CLI_COMMAND_HISTORY_H
#define CLI_COMMAND_HISTORY_H

// What bmsctl's commands put into the service history and take from it. Each
// call goes through the command's recorder, so a history that cannot be written
// is one warning and never the command's result.

#include "link/frame.h"

#include <QByteArray>
#include <QString>

class Command;

// The visit of a command that read the pack: its name, the firmware and the
// snapshot of the session's first read.
void record_visit(Command &command, const RegisterImage &image);

// A settings file just written (by backup, or by flash before it flashes): its
// path ("-" for standard output) and the settings it holds.
void record_backup(Command &command, const QString &path, const QByteArray &file_text);

// One informational line when the settings last recorded for this pack (its
// latest backup with the confirmed writes since) are not what it holds now.
void note_recorded_settings(Command &command, const RegisterImage &image);

#endif // CLI_COMMAND_HISTORY_H
