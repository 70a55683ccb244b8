#include "window_access.h"

#include <QElapsedTimer>

QString start_sim(QProcess &sim, const QStringList &args)
{
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(QStringLiteral(BMS_SIM_PATH), args);
    if (!sim.waitForStarted(5000))
        return {};
    QElapsedTimer clock;
    clock.start();
    while (!sim.canReadLine() && clock.elapsed() < 10000)
        sim.waitForReadyRead(200);
    return QString::fromLocal8Bit(sim.readLine()).trimmed();
}

void stop_sim(QProcess &sim)
{
    sim.terminate();
    if (!sim.waitForFinished(5000))
        sim.kill();
    sim.waitForFinished(5000);
}
