// The link on its own, over a real pseudo-terminal: what a write sends and what it
// leaves alone, a read's attempts, and what a port that did not open says.

#include "bms_link.h"
#include "pty_peer.h"

#include <QSignalSpy>
#include <QtTest>

namespace
{

// A read reply as the BMS sends it: the frame of a request, from the BMS's address.
QByteArray read_reply(quint8 first_register, const QByteArray &data)
{
    QByteArray reply = build_frame(CMD_READ_REGISTERS, first_register, data);
    reply[3] = static_cast<char>(ADDR_FROM_BMS);
    reply.chop(2);
    const quint32 sum = frame_checksum(reinterpret_cast<const quint8 *>(reply.constData()),
                                       static_cast<quint8>(reply.size()));
    return reply + char(sum & 0xFF) + char(sum >> 8);
}

} // namespace

class TestLink : public QObject
{
    Q_OBJECT

private slots:
    // A write is one frame and nothing more: restarting the polling is the window's
    // business. A read goes out as often as asked before it fails, and the reply
    // that answers it ends it at once.
    void write_and_read()
    {
        PtyPeer pty;
        BmsLink link;
        QVERIFY(link.open(pty.slavePath()));
        const QByteArray data("\x10\x68", 2);
        link.writeRegisters(0x5A, data);
        QCOMPARE(pty.readFor(100), build_write_frame(0x5A, data));
        QVERIFY(!link.pollTimer()->isActive());

        QSignalSpy failed(&link, &BmsLink::readFailed);
        QSignalSpy done(&link, &BmsLink::readDone);
        link.setTimeout(30);
        link.setRequestAttempts(3);
        link.readRegisters({{0x10, 2}});
        const QByteArray request = build_read_request(0x10, 4);
        QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, 5000);
        QCOMPARE(pty.readFor(20), request + request + request);
        QCOMPARE(failed.first().first().toInt(), 0x10);

        link.setTimeout(2000);
        link.readRegisters({{0x10, 2}});
        QCOMPARE(pty.readAtLeast(request.size(), 1000), request);
        pty.write(read_reply(0x10, QByteArray("\x01\x02\x03\x04", 4)));
        QTRY_COMPARE_WITH_TIMEOUT(done.size(), 1, 2000);
        QCOMPARE(link.image()[2 * 0x10 + 3], quint8(4));
        QCOMPARE(failed.size(), 1);
    }

    void open_state_and_diagnosis()
    {
        BmsLink link;
        QVERIFY(!link.open(QStringLiteral("/dev/no-such-port")));
        QVERIFY(!link.isOpen());
        QCOMPARE(link.openFailure(), OpenFailure::Other);
        QVERIFY2(link.errorString().contains("No such file"), qPrintable(link.errorString()));

        PtyPeer pty;
        QVERIFY(link.open(pty.slavePath()));
        QVERIFY(link.isOpen());
        QCOMPARE(link.openFailure(), OpenFailure::None);
        link.close();
        QVERIFY(!link.isOpen());

        // A permission error on a device the user may use is another program's lock.
        QCOMPARE(diagnose_open_failure(pty.slavePath(), QSerialPort::PermissionError),
                 OpenFailure::InUse);
        QCOMPARE(diagnose_open_failure(QStringLiteral("/dev/no-such-port"),
                                       QSerialPort::PermissionError),
                 OpenFailure::NoPermission);
        QCOMPARE(diagnose_open_failure(pty.slavePath(), QSerialPort::DeviceNotFoundError),
                 OpenFailure::Other);
    }
};

QTEST_GUILESS_MAIN(TestLink)
#include "test_link.moc"
