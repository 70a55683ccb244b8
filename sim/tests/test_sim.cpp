// The simulator's own pieces: its command line, the faulty line between the BMS
// and the wire, and the pack; then the binary on a real pseudo-terminal.

#include "bms_model.h"
#include "options.h"
#include "reply_line.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QtTest>

#include <fcntl.h>
#include <numeric>
#include <poll.h>
#include <unistd.h>

namespace
{

Parsed parse(const QStringList &args, Options &o, std::string &error)
{
    std::vector<QByteArray> bytes{"bms_sim"};
    for (const QString &a : args)
        bytes.push_back(a.toLocal8Bit());
    std::vector<const char *> argv;
    for (const QByteArray &b : bytes)
        argv.push_back(b.constData());
    return parse_options(static_cast<int>(argv.size()), argv.data(), o, error);
}

QByteArray read_request(quint8 first, quint8 bytes)
{
    QByteArray frame = QByteArray::fromHex("55aa032201");
    frame.append(static_cast<char>(first)).append(static_cast<char>(bytes));
    wire::seal(frame);
    return frame;
}

QByteArray id_of(const BmsModel &model)
{
    const auto &r = model.registers();
    return QByteArray(reinterpret_cast<const char *>(r.data()) + 2 * wire::BMS_ID,
                      wire::BMS_ID_BYTES)
        .toHex()
        .toUpper();
}

} // namespace

class TestSim : public QObject
{
    Q_OBJECT

private slots:
    // A bad value is one line naming the option and what it takes; good ones land.
    void options()
    {
        const QList<QStringList> refused = {{"--drop", "2"},
                                            {"--corrupt", "-0.1"},
                                            {"--chunk", "0"},
                                            {"--chunk", "32:"},
                                            {"--chunk", "32:2000"},
                                            {"--delay", "soon"},
                                            {"--seed", "-1"},
                                            {"--load", "uphill"},
                                            {"--weak-cell", "11"},
                                            {"--weak-cell", "3:0"},
                                            {"--cell-offset", "3"},
                                            {"--bms-serial", "0A3F"},
                                            {"--bms-serial", "0A3F001751334B522038314G"},
                                            {"--serial-number", "SIM10S-00000420"},
                                            {"--refuse-registers", "0x80"},
                                            {"--hot-sensor", "300"},
                                            {"--drop"}};
        for (const QStringList &args : refused) {
            Options o;
            std::string error;
            QCOMPARE(parse(args, o, error), Parsed::Refused);
            const QString line = QString::fromStdString(error);
            QVERIFY2(line.startsWith("bms_sim: " + args[0] + " takes ") && !line.contains('\n'),
                     qPrintable(line));
        }
        Options o;
        std::string error;
        QCOMPARE(parse({"--drop", "2"}, o, error), Parsed::Refused);
        QCOMPARE(error, std::string("bms_sim: --drop takes a share from 0 to 1, not \"2\""));
        QCOMPARE(parse({"--frop", "0.1"}, o, error), Parsed::Refused);
        QVERIFY(error.find("\"--frop\"") != std::string::npos);

        QCOMPARE(parse({"--chunk", "32", "--seed", "7", "--bms-serial", "00112233445566778899aabb",
                        "--serial-number", "AB", "--unbalanced"},
                       o, error),
                 Parsed::Run);
        QCOMPARE(o.line.chunk_bytes, 32);
        QCOMPARE(o.line.chunk_gap_ms, 2);
        QCOMPARE(o.line.seed, 7u);
        QVERIFY(o.pack.bms_serial_given && o.pack.bms_serial[11] == 0xBB && o.pack.unbalanced);
        QCOMPARE(parse({"--chunk", "8:0"}, o, error), Parsed::Run);
        QCOMPARE(o.line.chunk_gap_ms, 0);
        QCOMPARE(parse({"--drop", "2", "--help"}, o, error), Parsed::Refused);
    }

    // Pieces of N bytes, the gap counted from the piece before even when a pass is
    // late, and never two replies' bytes interleaved.
    void chunked_replies()
    {
        LineFaults faults;
        faults.chunk_bytes = 32;
        faults.chunk_gap_ms = 5;
        ReplyLine line(faults);
        const QByteArray a(48, 'a');
        const QByteArray b(20, 'b');
        line.queue(a, 1000);
        line.queue(b, 1000);
        QCOMPARE(line.take_due(1000), QVector<QByteArray>({a.left(32)}));
        QCOMPARE(line.next_due_ms(), 1005);
        QVERIFY(line.take_due(1004).isEmpty());
        // The second reply fits in one piece and follows the first one's end at once.
        QCOMPARE(line.take_due(1005), QVector<QByteArray>({a.mid(32), b}));
        QCOMPARE(line.stats().chunked, 1);
        QCOMPARE(line.stats().clean, 1);

        line.queue(QByteArray(70, 'c'), 2000);
        QCOMPARE(line.take_due(2100).size(), 1); // late: one piece, the rest 5 ms on
        QCOMPARE(line.next_due_ms(), 2105);
        QCOMPARE(line.take_due(2105).constFirst().size(), 32);
        QCOMPARE(line.take_due(2200).constFirst().size(), 6);

        // Without --chunk, replies due together leave in one write, as before.
        ReplyLine whole(LineFaults{});
        whole.queue(a, 0);
        whole.queue(b, 0);
        QCOMPARE(whole.take_due(0), QVector<QByteArray>({a + b}));
        QCOMPARE(whole.stats().merged, 2);
    }

    // The default pack is balanced and has the examples' identity; the seed makes
    // another pack; the options give one its identity or its imbalance.
    void pack_identity_and_balance()
    {
        const auto widest_spread = [](BmsModel &model) {
            int widest = 0;
            for (int t = 0; t < 1200; ++t) { // two minutes, charging and discharging
                model.advance(100);
                int lo = 65535, hi = 0;
                for (int k = 0; k < wire::CELL_COUNT; ++k) {
                    lo = std::min<int>(lo, model.reg(wire::CELLS + k));
                    hi = std::max<int>(hi, model.reg(wire::CELLS + k));
                }
                widest = std::max(widest, hi - lo);
            }
            return widest;
        };
        for (quint32 seed : {1u, 2u, 38u}) {
            BmsModel model(seed);
            QVERIFY2(widest_spread(model) < 20, qPrintable(QString::number(seed)));
        }
        PackSetup unbalanced;
        unbalanced.unbalanced = true;
        BmsModel lopsided(38, unbalanced);
        QVERIFY(widest_spread(lopsided) > 20);

        QCOMPARE(id_of(BmsModel(1)), QByteArray("0A3F001751334B5220383147"));
        const QByteArray two = id_of(BmsModel(2));
        QVERIFY(two.startsWith("0A3F0017") && two != id_of(BmsModel(1)) &&
                two != id_of(BmsModel(3)));

        PackSetup named;
        named.serial_number = "AB-1";
        named.bms_serial_given = true;
        named.bms_serial = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0xFF};
        const BmsModel model(2, named);
        QCOMPARE(id_of(model), QByteArray("0102030405060708090A0BFF"));
        const auto &r = model.registers();
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(r.data()) + 2 * wire::SERIAL_TEXT, 14),
                 QByteArray("AB-1          "));
    }

    // Ten seconds of the default cycle's discharge, sampled as a report does, give
    // back each cell's true resistance from its voltage against the current, a weak
    // cell's included: the steps span more than 10 A.
    void resistance_from_the_load_steps()
    {
        PackSetup setup;
        setup.resistance_factor[2] = 3;
        BmsModel model(5, setup);
        for (int t = 0; t < 450; ++t) // 45 s: charging ends at 40 s
            model.advance(100);
        std::vector<double> amps;
        std::vector<std::array<double, wire::CELL_COUNT>> cells;
        for (int t = 0; t < 100; ++t) {
            model.advance(100);
            amps.push_back(static_cast<qint16>(model.reg(wire::CURRENT)) / 100.0);
            std::array<double, wire::CELL_COUNT> mv{};
            for (int k = 0; k < wire::CELL_COUNT; ++k)
                mv[static_cast<size_t>(k)] = model.reg(wire::CELLS + k);
            cells.push_back(mv);
        }
        const auto [lo, hi] = std::minmax_element(amps.begin(), amps.end());
        QVERIFY2(*hi - *lo >= 10, qPrintable(QString::number(*hi - *lo)));
        const double n = static_cast<double>(amps.size());
        const double mean_a = std::accumulate(amps.begin(), amps.end(), 0.0) / n;
        for (size_t k = 0; k < wire::CELL_COUNT; ++k) {
            double mean_mv = 0, cov = 0, var = 0;
            for (const auto &mv : cells)
                mean_mv += mv[k] / n;
            for (size_t i = 0; i < amps.size(); ++i) {
                cov += (amps[i] - mean_a) * (cells[i][k] - mean_mv);
                var += (amps[i] - mean_a) * (amps[i] - mean_a);
            }
            const double truth = model.cells().cells()[k].resistance_mohm;
            QVERIFY2(
                std::abs(cov / var - truth) < 0.1 * truth,
                qPrintable(QString("cell %1: %2 against %3").arg(k + 1).arg(cov / var).arg(truth)));
        }
        QVERIFY(model.cells().cells()[2].resistance_mohm > 2.5 * Pack::HEALTHY_RESISTANCE_MOHM);
        const QString truth = QString::fromStdString(truth_line(model.cells()));
        const QJsonDocument doc = QJsonDocument::fromJson(truth.toUtf8());
        QCOMPARE(doc["resistance_mohm"].toArray().size(), wire::CELL_COUNT);
        QVERIFY(std::abs(doc["resistance_mohm"][2].toDouble() -
                         model.cells().cells()[2].resistance_mohm) < 0.001);
    }

    // Past a limit for its delay the BMS opens the switch that feeds the trouble and
    // the current stops; with the protection's fault it keeps the switch on. Overheat
    // is flagged either way and opens both switches.
    void protections_act_unless_faulty()
    {
        using Fault = PackSetup::Fault;
        struct Case {
            const char *name;
            Fault fault;
            int switch_register;
            double trips_at_s; // the limit's first passing plus the BMS's delay
        };
        const Case cases[] = {{"under", Fault::Under, wire::DISCHARGE_ON, 0 + 4},
                              {"over", Fault::Over, wire::CHARGE_ON, 0 + 2},
                              {"temp", Fault::Temperature, wire::DISCHARGE_ON, 33.5 + 5}};
        for (const Case &c : cases) {
            for (bool faulty : {false, true}) {
                PackSetup setup;
                if (c.fault == Fault::Under) { // empty, and ridden
                    setup.state_of_charge = 0;
                    setup.load = PackSetup::Load::Ride;
                } else if (c.fault == Fault::Over) { // full, one cell high, charging
                    setup.state_of_charge = 1;
                    setup.offset_mv[4] = 80;
                } else {
                    setup.hot_sensor = true;
                    setup.hot_sensor_c = 60;
                }
                setup.protection_fault = faulty ? c.fault : Fault::None;
                BmsModel model(1, setup);
                const QString name = QString("%1%2").arg(c.name, faulty ? " faulty" : "");
                const int before = static_cast<int>(c.trips_at_s * 10) - 2;
                for (int t = 0; t < before; ++t)
                    model.advance(100);
                QVERIFY2(model.reg(c.switch_register) != 0, qPrintable(name));
                QVERIFY2(!(model.reg(wire::FLAGS) & wire::FLAG_OVERHEAT), qPrintable(name));
                for (int t = 0; t < 50; ++t)
                    model.advance(100);
                QCOMPARE(model.reg(c.switch_register) != 0, faulty);
                const auto current = static_cast<qint16>(model.reg(wire::CURRENT));
                QVERIFY2(faulty ? current != 0 : current == 0,
                         qPrintable(name + ": " + QString::number(current)));
                if (c.fault == Fault::Under) { // a minute on, the cells run away past empty
                    for (int t = 0; t < 600; ++t)
                        model.advance(100);
                    int lowest = 65535;
                    for (int k = 0; k < wire::CELL_COUNT; ++k)
                        lowest = std::min<int>(lowest, model.reg(wire::CELLS + k));
                    QVERIFY2(faulty ? lowest < model.reg(wire::SHUTDOWN) : lowest > 2950,
                             qPrintable(name + ": " + QString::number(lowest)));
                }
                if (c.fault == Fault::Temperature) {
                    QVERIFY(model.reg(wire::FLAGS) & wire::FLAG_OVERHEAT);
                    QCOMPARE(model.reg(wire::CHARGE_ON) != 0, faulty);
                }
            }
        }
    }

    // The binary: a refused value says so in one line with exit 2; --chunk hands a
    // reply over in pieces that still make the whole reply.
    void binary_on_a_terminal()
    {
        QProcess refused;
        refused.start(QStringLiteral(BMS_SIM_PATH), {"--drop", "2"});
        QVERIFY(refused.waitForFinished(10000));
        QCOMPARE(refused.exitCode(), 2);
        QCOMPARE(refused.readAllStandardError(),
                 QByteArray("bms_sim: --drop takes a share from 0 to 1, not \"2\"\n"));

        QProcess sim;
        sim.start(QStringLiteral(BMS_SIM_PATH), {"--chunk", "16:200"});
        QVERIFY(sim.waitForReadyRead(10000));
        const QByteArray path = sim.readLine().trimmed();
        const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(fd >= 0);
        const QByteArray request = read_request(0x40, 20);
        QCOMPARE(::write(fd, request.constData(), static_cast<size_t>(request.size())),
                 static_cast<ssize_t>(request.size()));
        QByteArray reply;
        int reads = 0;
        QElapsedTimer clock;
        clock.start();
        while (reply.size() < 28 && clock.elapsed() < 10000) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            char buf[64];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) {
                reply.append(buf, static_cast<int>(n));
                ++reads;
            }
        }
        ::close(fd);
        sim.terminate();
        QVERIFY(sim.waitForFinished(5000));
        QCOMPARE(reply.size(), 28);
        QVERIFY(reply.startsWith(QByteArray::fromHex("55aa16250140")) &&
                wire::sealed_at(reply, 26));
        // Two pieces 200 ms apart: only a reader stalled that long sees them as one.
        QVERIFY2(reads >= 2, qPrintable(QString::number(reads)));
    }
};

QTEST_GUILESS_MAIN(TestSim)
#include "test_sim.moc"
