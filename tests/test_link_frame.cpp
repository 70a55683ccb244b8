// Frames as they go over the wire, byte for byte, and how a received frame is judged.

#include "link/frame.h"

#include <QtTest>

namespace
{

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

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
        QCOMPARE(frame, hex("55AA03220100 28B1FF"));
        build_read_request(frame, 0x69, 4);
        QCOMPARE(frame.size(), 9);

        build_write_frame(frame, 0x5A, register_words({4200}));
        QCOMPARE(frame, hex("55AA0722FE5A02 6810 04FE 02FD"));

        // The write length counts the write checksum; the whole frame is n + 11 bytes.
        const struct {
            int data_bytes;
            int frame_size;
            int len;
        } writes[] = {{2, 13, 7}, {14, 25, 19}, {22, 33, 27}};
        for (const auto &w : writes) {
            build_write_frame(frame, 0x10, QByteArray(w.data_bytes, '\x41'));
            QCOMPARE(frame.size(), w.frame_size);
            QCOMPARE(static_cast<int>(static_cast<quint8>(frame.at(2))), w.len);
            QCOMPARE(kind_of(frame), FrameKind::Valid); // addressed to the BMS: no data for us
        }
        QCOMPARE(register_words({0x1234, 0x00FF}), hex("3412FF00"));
    }

    void checksum_edges()
    {
        const QByteArray frame = hex("55AA0322010028");
        QCOMPARE(frame_checksum(frame, 0), 0xFFFFFFFFu);
        QCOMPARE(frame_checksum(frame, 2), 0xFFFFFFFFu);
        QCOMPARE(frame_checksum(frame, 3), 0xFFFFFFFFu - 0x03);
        QCOMPARE(frame_checksum(frame, 7) & 0xFFFF, 0xFFB1u);
        // Past the end of the array counts as zero; the raw form agrees within bounds.
        QCOMPARE(frame_checksum(frame, 200), frame_checksum(frame, 7));
        const auto *raw = reinterpret_cast<const quint8 *>(frame.constData());
        QCOMPARE(frame_checksum(raw, 7), frame_checksum(frame, 7));
        QCOMPARE(frame_checksum(raw, 1), 0xFFFFFFFFu);
    }

    void received_frames_are_judged_by_size_and_checksum_first()
    {
        const QByteArray reply = hex("55AA06250169 11223344 C0FE");
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
        QByteArray foreign = reply;
        foreign[0] = 0x00;
        foreign[1] = 0x11;
        QCOMPARE(kind_of(foreign), FrameKind::Valid);
        // Neither are the address and command a reason to drop the frame.
        QByteArray request;
        build_read_request(request, 0x69, 4);
        QCOMPARE(kind_of(request), FrameKind::Valid);
    }
};

QTEST_APPLESS_MAIN(TestLinkFrame)
#include "test_link_frame.moc"
