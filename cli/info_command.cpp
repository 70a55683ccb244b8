#include "info_command.h"

#include "bms_link.h"
#include "output.h"
#include "terminal.h"
#include "views.h"

#include <QCommandLineParser>
#include <QJsonDocument>

CommandInfo InfoCommand::info()
{
    return {"info",
            "info [--json]",
            "identity, firmware, pack state and the ten cells, in one snapshot",
            "Identity, firmware, pack state and the ten cells, read in one snapshot.",
            "bmsctl --port /dev/ttyUSB0 info --json",
            {QCommandLineOption(QStringLiteral("json"), QStringLiteral("JSON instead of text"))}};
}

bool InfoCommand::parse(const QCommandLineParser &options, const QStringList &)
{
    options_.json = options.isSet(QStringLiteral("json"));
    return true;
}

void InfoCommand::run(BmsLink *link)
{
    const RegisterImage &image = link->image();
    say(options_.json ? QString::fromUtf8(QJsonDocument(info_json(image)).toJson())
                      : info_text(image));
    emit finished(exit_code::OK);
}
