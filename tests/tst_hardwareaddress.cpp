#include "identity/hardwareaddress.h"

#include <QDir>
#include <QFile>
#include <QList>
#include <QtTest>

#include <cstring>
#include <map>

#if defined(__linux__)
#include <net/if.h>
#endif

namespace {

// Shaped like IP_ADAPTER_INFO where the picker cares: a pointer and two text
// fields ahead of AddressLength and an eight-byte Address, more fields after.
// The real record is fed to the same picker by tests/wine/macprobe --self-check.
struct AdapterRecordLookalike
{
    AdapterRecordLookalike *Next;
    unsigned long ComboIndex;
    char AdapterName[260];
    char Description[132];
    unsigned AddressLength;
    unsigned char Address[8];
    unsigned long Index;
    unsigned Type;
};

QByteArray bytesOf(const QString &hexGroups)
{
    return QByteArray::fromHex(hexGroups.toLatin1());
}

QString formatted(const unsigned char *sixBytes)
{
    char text[18];
    Identity::formatMacAddress(sixBytes, text);
    return QString::fromLatin1(text);
}

struct Link
{
    unsigned index;
    bool loopback;
    QByteArray address;
};

QString readSysText(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLatin1(file.readAll()).trimmed();
}

} // namespace

Q_DECLARE_METATYPE(QList<Link>)

class tst_HardwareAddress : public QObject
{
    Q_OBJECT

private slots:
    void formatsSixBytes_data();
    void formatsSixBytes();
    void formatFillsWholeBufferFromFirstSixBytesOnly();

    void adapterListStatus_data();
    void adapterListStatus();
    void firstRecordTakenWhateverItsLength_data();
    void firstRecordTakenWhateverItsLength();
    void truncatedAdapterBufferGivesNothing();

    void linkSelection_data();
    void linkSelection();

    void readerAgreesWithSysfs();
};

void tst_HardwareAddress::formatsSixBytes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");

    QTest::newRow("mixed") << bytesOf("0a1b2c3d4e5f") << "0A:1B:2C:3D:4E:5F";
    QTest::newRow("leading zeros kept") << bytesOf("010203040506") << "01:02:03:04:05:06";
    QTest::newRow("single digit values") << bytesOf("000f0a090b0c") << "00:0F:0A:09:0B:0C";
    QTest::newRow("letters upper case") << bytesOf("abcdefaabbcc") << "AB:CD:EF:AA:BB:CC";
    QTest::newRow("all zero") << bytesOf("000000000000") << "00:00:00:00:00:00";
    QTest::newRow("all ones") << bytesOf("ffffffffffff") << "FF:FF:FF:FF:FF:FF";
    QTest::newRow("high bit set") << bytesOf("807f81fe9fa0") << "80:7F:81:FE:9F:A0";
}

void tst_HardwareAddress::formatsSixBytes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    QCOMPARE(bytes.size(), 6);

    QCOMPARE(formatted(reinterpret_cast<const unsigned char *>(bytes.constData())), expected);
}

void tst_HardwareAddress::formatFillsWholeBufferFromFirstSixBytesOnly()
{
    const unsigned char eight[8] = {0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x01, 0x99, 0x98};
    char out[18];
    std::memset(out, 'x', sizeof out);

    Identity::formatMacAddress(eight, out);

    QCOMPARE(out[17], '\0');
    QCOMPARE(std::strlen(out), size_t(17));
    QCOMPARE(QString::fromLatin1(out), QStringLiteral("DE:AD:BE:EF:00:01"));
}

void tst_HardwareAddress::adapterListStatus_data()
{
    QTest::addColumn<qulonglong>("status");
    QTest::addColumn<bool>("hasAddress");

    QTest::newRow("ERROR_SUCCESS") << qulonglong(0) << true;
    QTest::newRow("ERROR_BUFFER_OVERFLOW") << qulonglong(111) << false;
    QTest::newRow("ERROR_NO_DATA") << qulonglong(232) << false;
    QTest::newRow("ERROR_INVALID_PARAMETER") << qulonglong(87) << false;
    QTest::newRow("ERROR_NOT_SUPPORTED") << qulonglong(50) << false;
    QTest::newRow("ERROR_INVALID_FUNCTION") << qulonglong(1) << false;
}

void tst_HardwareAddress::adapterListStatus()
{
    QFETCH(qulonglong, status);
    QFETCH(bool, hasAddress);

    AdapterRecordLookalike records[2] = {};
    const unsigned char first[8] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80};
    std::memcpy(records[0].Address, first, sizeof first);
    records[0].AddressLength = 6;

    const auto picked = Identity::detail::firstRecordAddress<AdapterRecordLookalike>(
        static_cast<unsigned long>(status), reinterpret_cast<const unsigned char *>(records),
        sizeof records);

    QCOMPARE(picked.has_value(), hasAddress);
    if (hasAddress)
        QCOMPARE(formatted(picked->data()), QStringLiteral("10:20:30:40:50:60"));
}

void tst_HardwareAddress::firstRecordTakenWhateverItsLength_data()
{
    QTest::addColumn<unsigned>("addressLength");

    QTest::newRow("no address") << 0u;
    QTest::newRow("short address") << 4u;
    QTest::newRow("ethernet") << 6u;
    QTest::newRow("full array") << 8u;
}

void tst_HardwareAddress::firstRecordTakenWhateverItsLength()
{
    QFETCH(unsigned, addressLength);

    // Two records as the call lays them out: the first one links to the
    // second, which carries a different address.
    AdapterRecordLookalike records[2] = {};
    const unsigned char first[8] = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07, 0x18};
    const unsigned char second[8] = {0x02, 0x13, 0x24, 0x35, 0x46, 0x57, 0x68, 0x79};
    std::memcpy(records[0].Address, first, sizeof first);
    std::memcpy(records[1].Address, second, sizeof second);
    records[0].AddressLength = addressLength;
    records[0].Next = &records[1];
    records[1].AddressLength = 6;

    const auto picked = Identity::detail::firstRecordAddress<AdapterRecordLookalike>(
        0, reinterpret_cast<const unsigned char *>(records), sizeof records);

    QVERIFY(picked.has_value());
    QCOMPARE(formatted(picked->data()), QStringLiteral("A1:B2:C3:D4:E5:F6"));
}

void tst_HardwareAddress::truncatedAdapterBufferGivesNothing()
{
    AdapterRecordLookalike record = {};
    const unsigned char address[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::memcpy(record.Address, address, sizeof address);
    const auto *bytes = reinterpret_cast<const unsigned char *>(&record);
    const std::size_t end = offsetof(AdapterRecordLookalike, Address) + 6;

    using Identity::detail::firstRecordAddress;
    QVERIFY(!firstRecordAddress<AdapterRecordLookalike>(0, bytes, end - 1));
    QVERIFY(!firstRecordAddress<AdapterRecordLookalike>(0, nullptr, sizeof record));
    const auto exact = firstRecordAddress<AdapterRecordLookalike>(0, bytes, end);
    QVERIFY(exact.has_value());
    QCOMPARE(formatted(exact->data()), QStringLiteral("01:02:03:04:05:06"));
}

void tst_HardwareAddress::linkSelection_data()
{
    QTest::addColumn<QList<Link>>("links");
    QTest::addColumn<QString>("expected");

    const QByteArray zeros = bytesOf("000000000000");
    QTest::newRow("loopback listed first")
        << QList<Link>{{1, true, zeros}, {2, false, bytesOf("0a1b2c3d4e5f")}}
        << "0A:1B:2C:3D:4E:5F";
    QTest::newRow("lowest index wins, not list order")
        << QList<Link>{{9, false, bytesOf("090909090909")},
                       {5, false, bytesOf("050505050505")},
                       {7, false, bytesOf("070707070707")}}
        << "05:05:05:05:05:05";
    QTest::newRow("interface without address skipped")
        << QList<Link>{{2, false, QByteArray()}, {4, false, bytesOf("02fc00000001")}}
        << "02:FC:00:00:00:01";
    QTest::newRow("longer and shorter addresses skipped")
        << QList<Link>{{2, false, bytesOf("0102030405060708090a0b0c0d0e0f1011121314")},
                       {3, false, bytesOf("c0a80001")},
                       {6, false, bytesOf("aabbccddeeff")}}
        << "AA:BB:CC:DD:EE:FF";
    QTest::newRow("loopback with a non-zero address skipped")
        << QList<Link>{{1, true, bytesOf("112233445566")}, {3, false, bytesOf("665544332211")}}
        << "66:55:44:33:22:11";
    QTest::newRow("all-zero ethernet address still counts")
        << QList<Link>{{3, false, zeros}, {4, false, bytesOf("aabbccddeeff")}}
        << "00:00:00:00:00:00";
    QTest::newRow("only loopback") << QList<Link>{{1, true, zeros}} << QString();
    QTest::newRow("nothing listed") << QList<Link>{} << QString();
}

void tst_HardwareAddress::linkSelection()
{
#if defined(__linux__)
    QFETCH(QList<Link>, links);
    QFETCH(QString, expected);

    std::vector<Identity::detail::LinkEntry> entries;
    for (const Link &link : links) {
        Identity::detail::LinkEntry entry;
        entry.index = link.index;
        entry.loopback = link.loopback;
        entry.address = link.address.isEmpty()
            ? nullptr
            : reinterpret_cast<const unsigned char *>(link.address.constData());
        entry.addressLength = std::size_t(link.address.size());
        entries.push_back(entry);
    }

    const auto picked = Identity::detail::firstLinkAddress(entries.data(), entries.size());
    QCOMPARE(picked ? formatted(picked->data()) : QString(), expected);
#else
    QSKIP("the kernel link list is read on Linux only");
#endif
}

void tst_HardwareAddress::readerAgreesWithSysfs()
{
#if defined(__linux__)
    // Work out the expected adapter from /sys/class/net, which the reader does
    // not use: lowest ifindex, not loopback, six-byte address.
    const QDir netDir(QStringLiteral("/sys/class/net"));
    const QStringList names = netDir.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System);
    if (names.isEmpty())
        QSKIP("/sys/class/net is not available");

    constexpr unsigned loopbackFlag = 0x8;   // IFF_LOOPBACK
    constexpr int loopbackType = 772;        // ARPHRD_LOOPBACK
    std::map<unsigned, QString> sysfsNames;
    std::map<unsigned, QString> candidates;  // ifindex -> address text
    for (const QString &name : names) {
        const QString dir = netDir.filePath(name) + QLatin1Char('/');
        bool ok = false;
        const unsigned index = readSysText(dir + QStringLiteral("ifindex")).toUInt(&ok);
        if (!ok)
            continue;
        sysfsNames[index] = name;
        const int type = readSysText(dir + QStringLiteral("type")).toInt();
        const unsigned flags = readSysText(dir + QStringLiteral("flags")).toUInt(nullptr, 16);
        const int addressLength = readSysText(dir + QStringLiteral("addr_len")).toInt();
        const QString address = readSysText(dir + QStringLiteral("address"));
        if (type == loopbackType || (flags & loopbackFlag) || addressLength != 6)
            continue;
        QCOMPARE(address.size(), 17);
        candidates[index] = address.toUpper();
    }

    // A sysfs mounted for another network namespace (containers, unshare -n)
    // describes other interfaces; only compare when it lists the same ones.
    std::map<unsigned, QString> kernelNames;
    if (struct if_nameindex *indexList = if_nameindex()) {
        for (const struct if_nameindex *it = indexList; it->if_index != 0; ++it)
            kernelNames[it->if_index] = QString::fromLocal8Bit(it->if_name);
        if_freenameindex(indexList);
    }
    if (kernelNames != sysfsNames)
        QSKIP("/sys/class/net belongs to another network namespace");

    // Where no adapter is listed both sides are empty, which proves nothing;
    // tests/e2e and tests/wine/crosscheck.sh give the reader adapters of
    // known addresses.
    if (candidates.empty())
        QSKIP("no adapter here to compare with");
    QCOMPARE(QString::fromUtf8(Identity::readMacText().c_str()), candidates.begin()->second);
#else
    QSKIP("compared against /sys/class/net on Linux only");
#endif
}

QTEST_APPLESS_MAIN(tst_HardwareAddress)
#include "tst_hardwareaddress.moc"
