// Frames as they go over the wire, byte for byte, and how a received frame is judged.

#include "dialog_access.h"

#include "link/frame.h"

namespace
{

FrameKind kind_of(const QByteArray &frame)
{
    return recognise_frame(reinterpret_cast<const quint8 *>(frame.constData()), frame.size());
}

} // namespace

class TestLinkFrame : public QObject
{
    Q_OBJECT

private slots:
    void frames_built_byte_for_byte()
    {
        QByteArray frame = "left over from the last sender";
        build_read_request(frame, 0x00, 40);
        QCOMPARE(frame, hex("55 AA 03 22 01 00 28 B1 FF"));
        build_write_frame(frame, 0x5A, register_words({4200}));
        QCOMPARE(frame, hex("55 AA 07 22 FE 5A 02 68 10 04 FE 02 FD"));

        // The write length counts the write checksum; the whole frame is n + 11 bytes.
        const int writes[][3] = {{2, 13, 7}, {14, 25, 19}, {22, 33, 27}};
        for (const auto &w : writes) {
            build_write_frame(frame, 0x10, QByteArray(w[0], '\x41'));
            QCOMPARE(frame.size(), w[1]);
            QCOMPARE(int(quint8(frame.at(2))), w[2]);
            QCOMPARE(kind_of(frame), FrameKind::Valid); // addressed to the BMS: no data for us
        }
        QCOMPARE(register_words({0x1234, 0x00FF}), hex("34 12 FF 00"));
    }

    void checksum_of_short_lengths()
    {
        const QByteArray frame = hex("55 AA 03 22 01 00 28");
        QCOMPARE(frame_checksum(frame, 0), 0xFFFFFFFFu);
        QCOMPARE(frame_checksum(frame, 2), 0xFFFFFFFFu);
        QCOMPARE(frame_checksum(frame, 3), 0xFFFFFFFFu - 0x03);
        // Past the end of the array counts as zero.
        QCOMPARE(frame_checksum(frame, 200) & 0xFFFF, 0xFFB1u);
        QCOMPARE(frame_checksum(reinterpret_cast<const quint8 *>(frame.constData()), 7) & 0xFFFF,
                 0xFFB1u);
    }

    void received_frames_are_judged_by_size_and_checksum_first()
    {
        const QByteArray reply = hex("55 AA 06 25 01 69 11 22 33 44 C0 FE");
        QCOMPARE(kind_of(reply), FrameKind::ReadReply);
        for (int i = 2; i < reply.size(); ++i) {
            QByteArray bad = reply;
            bad[i] = static_cast<char>(bad.at(i) ^ 0x01);
            QVERIFY2(kind_of(bad) == FrameKind::Invalid, qPrintable(QString::number(i)));
        }
        QCOMPARE(kind_of(reply.left(11)), FrameKind::Invalid);
        QCOMPARE(kind_of(reply + '\0'), FrameKind::Invalid);
        QCOMPARE(kind_of(QByteArray()), FrameKind::Invalid);
        // The header is not covered by the checksum: wrong header, right sum.
        QCOMPARE(kind_of(hex("00 11") + reply.mid(2)), FrameKind::Valid);
    }
};

QTEST_APPLESS_MAIN(TestLinkFrame)
#include "test_link_frame.moc"
