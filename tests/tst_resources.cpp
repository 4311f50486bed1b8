// The embedded media: the tray/window icon and the new-mail chime, both
// compiled into the executable under ":/resources/".
//
// The bytes are parsed here independently of scripts/make-resources.py, so a
// regenerated file that drifts from the layout the program relies on (icon
// sizes, PNG chunk list, MP3 tag and frame shape) fails here.

#include <QAudioBuffer>
#include <QAudioFormat>
#include <QAudioOutput>
#include <QAudioDecoder>
#include <QColorSpace>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <QLocale>
#include <QMediaPlayer>
#include <QProcess>
#include <QResource>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

#include <algorithm>
#include <cmath>

#ifndef TESSALY_SOURCE_DIR
#error "TESSALY_SOURCE_DIR must name the source tree"
#endif

namespace {

const QString iconPath = QStringLiteral(":/resources/icon.ico");
const QString soundPath = QStringLiteral(":/resources/mailsound.mp3");
const QString soundUrl = QStringLiteral("qrc:/resources/mailsound.mp3");

QString sourceFile(const QString &relative)
{
    return QStringLiteral(TESSALY_SOURCE_DIR "/") + relative;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

// What main() managed to read from the bundle before any application object.
struct EarlyRead
{
    bool applicationExisted = true;
    bool iconOpened = false;
    bool soundOpened = false;
    QByteArray icon;
    QByteArray sound;
};
EarlyRead earlyRead;

void readBundleBeforeApplication()
{
    earlyRead.applicationExisted = QCoreApplication::instance() != nullptr;
    QFile icon(iconPath);
    earlyRead.iconOpened = icon.open(QIODevice::ReadOnly);
    earlyRead.icon = icon.readAll();
    QFile sound(soundPath);
    earlyRead.soundOpened = sound.open(QIODevice::ReadOnly);
    earlyRead.sound = sound.readAll();
}

quint32 be32(const QByteArray &b, int at)
{
    const auto *p = reinterpret_cast<const uchar *>(b.constData()) + at;
    return quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | p[3];
}

quint32 le32(const QByteArray &b, int at)
{
    const auto *p = reinterpret_cast<const uchar *>(b.constData()) + at;
    return quint32(p[3]) << 24 | quint32(p[2]) << 16 | quint32(p[1]) << 8 | p[0];
}

quint16 le16(const QByteArray &b, int at)
{
    const auto *p = reinterpret_cast<const uchar *>(b.constData()) + at;
    return quint16(p[1] << 8 | p[0]);
}

uchar byteAt(const QByteArray &b, int at)
{
    return uchar(b.at(at));
}

quint32 crc32(const QByteArray &data)
{
    quint32 crc = 0xFFFFFFFFu;
    for (char c : data) {
        crc ^= uchar(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// ---- ICO ---------------------------------------------------------------

struct IconEntry
{
    int width, height, colours, reserved, planes, bitCount;
    quint32 bytes, offset;
};

QList<IconEntry> iconEntries(const QByteArray &ico)
{
    QList<IconEntry> entries;
    const int count = ico.size() >= 6 ? le16(ico, 4) : 0;
    for (int i = 0; i < count && 6 + 16 * (i + 1) <= ico.size(); ++i) {
        const int at = 6 + 16 * i;
        entries.append({byteAt(ico, at), byteAt(ico, at + 1), byteAt(ico, at + 2),
                        byteAt(ico, at + 3), le16(ico, at + 4), le16(ico, at + 6),
                        le32(ico, at + 8), le32(ico, at + 12)});
    }
    return entries;
}

struct PngChunk
{
    QByteArray type;
    QByteArray data;
    bool crcOk;
};

// Splits a PNG into its chunks; *complete is false when bytes are missing
// or left over after IEND.
QList<PngChunk> pngChunks(const QByteArray &png, bool *complete)
{
    QList<PngChunk> chunks;
    *complete = false;
    int at = 8;
    while (at + 12 <= png.size()) {
        const quint32 length = be32(png, at);
        if (length > quint32(png.size() - at - 12))
            return chunks;
        const QByteArray typeAndData = png.mid(at + 4, 4 + int(length));
        chunks.append({typeAndData.left(4), typeAndData.mid(4),
                       crc32(typeAndData) == be32(png, at + 8 + int(length))});
        at += 12 + int(length);
        if (chunks.last().type == "IEND") {
            *complete = at == png.size();
            return chunks;
        }
    }
    return chunks;
}

QByteArray inflate(const QByteArray &zlibStream)
{
    // qUncompress wants a size hint in front; it grows its buffer as needed.
    QByteArray framed(4, '\0');
    framed[3] = 1;
    return qUncompress(framed + zlibStream);
}

// ---- MP3 ---------------------------------------------------------------

struct MpegFrame
{
    int offset;
    int length;
    QString version;   // "1", "2" or "2.5"
    int layer;
    bool crc;
    int kbps;
    int sampleRate;
    bool padded;
    QString mode;
    int emphasis;
    int mainDataBegin;
    int mainDataBits;
    QByteArray bytes;
};

// Reads one MPEG audio frame header at offset; length 0 when there is none.
MpegFrame mpegFrameAt(const QByteArray &mp3, int offset)
{
    MpegFrame f{};
    f.offset = offset;
    if (offset + 4 > mp3.size())
        return f;
    const quint32 h = be32(mp3, offset);
    if ((h >> 21) != 0x7FF)
        return f;
    static const char *const versions[] = {"2.5", "reserved", "2", "1"};
    static const int layers[] = {0, 3, 2, 1};
    static const int lsfLayer3Kbps[] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, -1};
    static const int mpeg1Layer3Kbps[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, -1};
    static const int rates[] = {44100, 48000, 32000, 0};
    static const char *const modes[] = {"stereo", "joint stereo", "dual channel", "mono"};
    const int versionBits = (h >> 19) & 3;
    f.version = QString::fromLatin1(versions[versionBits]);
    f.layer = layers[(h >> 17) & 3];
    f.crc = ((h >> 16) & 1) == 0;
    const int bitrateIndex = (h >> 12) & 15;
    f.kbps = versionBits == 3 ? mpeg1Layer3Kbps[bitrateIndex] : lsfLayer3Kbps[bitrateIndex];
    const int divisor = versionBits == 3 ? 1 : versionBits == 2 ? 2 : 4;
    f.sampleRate = rates[(h >> 10) & 3] / divisor;
    f.padded = (h >> 9) & 1;
    f.mode = QString::fromLatin1(modes[(h >> 6) & 3]);
    f.emphasis = h & 3;
    if (f.layer != 3 || f.kbps <= 0 || f.sampleRate == 0 || versionBits == 1)
        return f;
    const int samplesPerFrame = versionBits == 3 ? 1152 : 576;
    f.length = samplesPerFrame / 8 * f.kbps * 1000 / f.sampleRate + (f.padded ? 1 : 0);
    f.bytes = mp3.mid(offset, f.length);

    // Side information (MPEG-2/2.5 mono: 9 bytes, one granule).
    const int sideAt = offset + 4 + (f.crc ? 2 : 0);
    if (versionBits != 3 && f.mode == QLatin1String("mono") && sideAt + 9 <= mp3.size()) {
        f.mainDataBegin = byteAt(mp3, sideAt);
        f.mainDataBits = int((be32(mp3, sideAt + 1) >> 11) & 0xFFF);
    }
    return f;
}

int id3v2TotalSize(const QByteArray &mp3)
{
    if (!mp3.startsWith("ID3") || mp3.size() < 10)
        return 0;
    int size = 0;
    for (int i = 6; i < 10; ++i)
        size = size << 7 | (byteAt(mp3, i) & 0x7F);
    return 10 + size;
}

QList<MpegFrame> mpegFrames(const QByteArray &mp3, int *end)
{
    QList<MpegFrame> frames;
    int at = id3v2TotalSize(mp3);
    for (;;) {
        const MpegFrame f = mpegFrameAt(mp3, at);
        if (f.length == 0 || at + f.length > mp3.size())
            break;
        frames.append(f);
        at += f.length;
    }
    *end = at;
    return frames;
}

} // namespace

class tst_Resources : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void bundleReadableBeforeApplication_data();
    void bundleReadableBeforeApplication();
    void storedUncompressed_data();
    void storedUncompressed();
    void resolvesUnderAnyLocale_data();
    void resolvesUnderAnyLocale();

    void iconDirectory();
    void iconImage_data();
    void iconImage();
    void iconOffersEverySize();

    void soundTag_data();
    void soundTag();
    void soundFrames_data();
    void soundFrames();
    void soundDecodes();
    void playerLoadsQrcUrl_data();
    void playerLoadsQrcUrl();

    void generatorWritesTheCommittedIcon();

private:
    void addSoundSources();
    bool loadSound(QByteArray *mp3);

    QLocale startLocale;
    // What scripts/make-resources.py writes on this machine, or why it could not.
    QTemporaryDir generated;
    QString generatorProblem;
};

void tst_Resources::initTestCase()
{
    startLocale = QLocale();

    const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"));
    if (python.isEmpty() || QStandardPaths::findExecutable(QStringLiteral("lame")).isEmpty()) {
        generatorProblem = QStringLiteral("python3 and lame are needed to run scripts/make-resources.py");
        return;
    }
    QVERIFY(generated.isValid());
    QProcess script;
    script.start(python, {sourceFile(QStringLiteral("scripts/make-resources.py")),
                          QStringLiteral("--out-dir"), generated.path()});
    QVERIFY(script.waitForFinished(120000));
    QVERIFY2(script.exitStatus() == QProcess::NormalExit && script.exitCode() == 0,
             script.readAllStandardError().constData());
}

// The bundled sound, and the one the generator writes now: the encoder's
// bytes vary with its version, the layout the program relies on must not.
void tst_Resources::addSoundSources()
{
    QTest::addColumn<bool>("fromGenerator");
    QTest::newRow("bundled") << false;
    QTest::newRow("generated") << true;
}

bool tst_Resources::loadSound(QByteArray *mp3)
{
    QFETCH(bool, fromGenerator);
    if (fromGenerator && !generatorProblem.isEmpty())
        return false;
    *mp3 = readFile(fromGenerator ? generated.filePath(QStringLiteral("mailsound.mp3")) : soundPath);
    return true;
}

void tst_Resources::cleanup()
{
    QLocale::setDefault(startLocale);
}

void tst_Resources::bundleReadableBeforeApplication_data()
{
    QTest::addColumn<bool>("opened");
    QTest::addColumn<QByteArray>("early");
    QTest::addColumn<QString>("onDisk");
    QTest::newRow("icon") << earlyRead.iconOpened << earlyRead.icon
                          << sourceFile(QStringLiteral("resources/icon.ico"));
    QTest::newRow("sound") << earlyRead.soundOpened << earlyRead.sound
                           << sourceFile(QStringLiteral("resources/mailsound.mp3"));
}

void tst_Resources::bundleReadableBeforeApplication()
{
    QFETCH(bool, opened);
    QFETCH(QByteArray, early);
    QFETCH(QString, onDisk);
    QVERIFY2(!earlyRead.applicationExisted, "the early read ran after the application was made");
    QVERIFY(opened);
    const QByteArray disk = readFile(onDisk);
    QVERIFY2(!disk.isEmpty(), qPrintable(onDisk));
    QCOMPARE(early.size(), disk.size());
    QVERIFY(early == disk);
}

void tst_Resources::storedUncompressed_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("onDisk");
    QTest::newRow("icon") << iconPath << sourceFile(QStringLiteral("resources/icon.ico"));
    QTest::newRow("sound") << soundPath << sourceFile(QStringLiteral("resources/mailsound.mp3"));
}

void tst_Resources::storedUncompressed()
{
    QFETCH(QString, path);
    QFETCH(QString, onDisk);
    const QResource resource(path);
    QVERIFY(resource.isValid());
    QCOMPARE(resource.compressionAlgorithm(), QResource::NoCompression);
    QCOMPARE(resource.size(), QFileInfo(onDisk).size());
    QVERIFY(resource.uncompressedData() == readFile(onDisk));
}

void tst_Resources::resolvesUnderAnyLocale_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("path");
    const QList<QPair<const char *, QLocale>> locales = {
        {"German", QLocale(QLocale::German, QLocale::Germany)},
        {"French", QLocale(QLocale::French, QLocale::France)},
        {"Japanese", QLocale(QLocale::Japanese, QLocale::Japan)},
        {"Arabic", QLocale(QLocale::Arabic, QLocale::Egypt)},
        {"English US", QLocale(QLocale::English, QLocale::UnitedStates)},
    };
    for (const auto &[name, locale] : locales) {
        QTest::addRow("%s icon", name) << locale << iconPath;
        QTest::addRow("%s sound", name) << locale << soundPath;
    }
}

void tst_Resources::resolvesUnderAnyLocale()
{
    QFETCH(QLocale, locale);
    QFETCH(QString, path);
    const QByteArray expected = readFile(path);
    QVERIFY(!expected.isEmpty());

    QLocale::setDefault(locale);
    QFile file(path);
    QVERIFY(file.exists());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll() == expected);
    QVERIFY(QResource(path, locale).isValid());
    QCOMPARE(QResource(path, locale).uncompressedSize(), qint64(expected.size()));
}

void tst_Resources::iconDirectory()
{
    const QByteArray ico = readFile(iconPath);
    QVERIFY(ico.size() > 6 + 3 * 16);
    QCOMPARE(le16(ico, 0), quint16(0));   // reserved
    QCOMPARE(le16(ico, 2), quint16(1));   // icon, not cursor
    QCOMPARE(le16(ico, 4), quint16(3));

    // The images follow the directory back to back, in entry order, and
    // the last one ends the file.
    const QList<IconEntry> entries = iconEntries(ico);
    QCOMPARE(entries.size(), 3);
    quint32 expectedOffset = 6 + 3 * 16;
    QList<int> widths;
    for (const IconEntry &e : entries) {
        QCOMPARE(e.offset, expectedOffset);
        QVERIFY(e.bytes > 0);
        expectedOffset += e.bytes;
        widths.append(e.width);
    }
    QCOMPARE(expectedOffset, quint32(ico.size()));
    QCOMPARE(widths, (QList<int>{16, 24, 32}));
}

void tst_Resources::iconImage_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("size");
    QTest::newRow("16x16") << 0 << 16;
    QTest::newRow("24x24") << 1 << 24;
    QTest::newRow("32x32") << 2 << 32;
}

void tst_Resources::iconImage()
{
    QFETCH(int, index);
    QFETCH(int, size);
    const QByteArray ico = readFile(iconPath);
    const QList<IconEntry> entries = iconEntries(ico);
    QVERIFY(index < entries.size());
    const IconEntry e = entries.at(index);
    QCOMPARE(e.width, size);
    QCOMPARE(e.height, size);
    QCOMPARE(e.colours, 0);
    QCOMPARE(e.reserved, 0);
    QCOMPARE(e.planes, 0);
    QCOMPARE(e.bitCount, 32);
    QVERIFY(qint64(e.offset) + e.bytes <= ico.size());

    const QByteArray png = ico.mid(int(e.offset), int(e.bytes));
    QVERIFY(png.startsWith(QByteArray("\x89PNG\r\n\x1a\n", 8)));
    bool complete = false;
    const QList<PngChunk> chunks = pngChunks(png, &complete);
    QVERIFY2(complete, "PNG truncated or followed by stray bytes");
    QStringList types;
    for (const PngChunk &c : chunks) {
        types.append(QString::fromLatin1(c.type));
        QVERIFY2(c.crcOk, c.type.constData());
    }
    QCOMPARE(types, (QStringList{"IHDR", "iCCP", "IDAT", "IEND"}));

    const QByteArray ihdr = chunks.at(0).data;
    QCOMPARE(ihdr.size(), 13);
    QCOMPARE(be32(ihdr, 0), quint32(size));
    QCOMPARE(be32(ihdr, 4), quint32(size));
    QCOMPARE(int(byteAt(ihdr, 8)), 8);    // bits per channel
    QCOMPARE(int(byteAt(ihdr, 9)), 6);    // RGBA
    QCOMPARE(int(byteAt(ihdr, 10)), 0);   // deflate
    QCOMPARE(int(byteAt(ihdr, 11)), 0);   // adaptive filtering
    QCOMPARE(int(byteAt(ihdr, 12)), 0);   // not interlaced

    // iCCP: Latin-1 name, NUL, method 0, zlib stream holding an RGB display profile.
    const QByteArray iccp = chunks.at(1).data;
    const int nul = iccp.indexOf('\0');
    QVERIFY(nul >= 1 && nul <= 79);
    QCOMPARE(int(byteAt(iccp, nul + 1)), 0);
    const QByteArray profile = inflate(iccp.mid(nul + 2));
    QVERIFY(profile.size() >= 132);
    QCOMPARE(be32(profile, 0), quint32(profile.size()));
    QCOMPARE(profile.mid(36, 4), QByteArray("acsp"));
    QCOMPARE(profile.mid(12, 4), QByteArray("mntr"));
    QCOMPARE(profile.mid(16, 4), QByteArray("RGB "));
    QCOMPARE(profile.mid(20, 4), QByteArray("XYZ "));
    const QColorSpace fromProfile = QColorSpace::fromIccProfile(profile);
    QVERIFY(fromProfile.isValid());
    QCOMPARE(fromProfile.primaries(), QColorSpace::Primaries::SRgb);

    // Decoded, the image carries that colour space and an anti-aliased
    // shape: clear corners, an opaque middle, partly covered edge pixels.
    QImage image = QImage::fromData(png, "PNG");
    QCOMPARE(image.size(), QSize(size, size));
    QVERIFY(image.hasAlphaChannel());
    QCOMPARE(image.colorSpace(), fromProfile);
    image = image.convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(image.pixel(size - 1, size - 1)), 0);
    QCOMPARE(qAlpha(image.pixel(size / 2, size / 2)), 255);
    int partial = 0;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const int a = qAlpha(image.pixel(x, y));
            partial += a > 0 && a < 255;
        }
    }
    QVERIFY2(partial >= size / 2, "edges are not anti-aliased");
}

void tst_Resources::iconOffersEverySize()
{
    const QIcon icon(iconPath);
    QVERIFY(!icon.isNull());
    QList<QSize> sizes = icon.availableSizes();
    std::sort(sizes.begin(), sizes.end(),
              [](const QSize &a, const QSize &b) { return a.width() < b.width(); });
    QCOMPARE(sizes, (QList<QSize>{QSize(16, 16), QSize(24, 24), QSize(32, 32)}));
    for (const QSize &s : std::as_const(sizes))
        QCOMPARE(icon.pixmap(s).size(), s);

    QImageReader reader(iconPath);
    QCOMPARE(reader.format(), QByteArray("ico"));
    QCOMPARE(reader.imageCount(), 3);
}

void tst_Resources::soundTag_data()
{
    addSoundSources();
}

void tst_Resources::soundTag()
{
    QByteArray mp3;
    if (!loadSound(&mp3))
        QSKIP(qPrintable(generatorProblem));
    QVERIFY(mp3.size() > 256);
    QCOMPARE(mp3.left(3), QByteArray("ID3"));
    QCOMPARE(int(byteAt(mp3, 3)), 2);     // ID3v2.2.0
    QCOMPARE(int(byteAt(mp3, 4)), 0);
    QCOMPARE(int(byteAt(mp3, 5)), 0);     // no flags
    for (int i = 6; i < 10; ++i)
        QVERIFY2(byteAt(mp3, i) < 0x80, "tag size is not syncsafe");
    QCOMPARE(id3v2TotalSize(mp3), 256);

    // v2.2 frames: 3-byte id, 3-byte big-endian size; zero padding after.
    QStringList ids;
    int at = 10;
    QByteArray text;
    while (at + 6 <= 256 && mp3.at(at) != '\0') {
        const QByteArray id = mp3.mid(at, 3);
        const int size = int(be32(mp3, at + 2) & 0xFFFFFF);
        QVERIFY(at + 6 + size <= 256);
        ids.append(QString::fromLatin1(id));
        if (id == "TSS")
            text = mp3.mid(at + 6, size);
        at += 6 + size;
    }
    QCOMPARE(ids, QStringList{"TSS"});
    QCOMPARE(text.size(), 16);
    QCOMPARE(int(byteAt(text, 0)), 0);    // ISO-8859-1
    for (int i = 1; i < text.size(); ++i)
        QVERIFY(byteAt(text, i) >= 0x20 && byteAt(text, i) < 0x7F);
    QCOMPARE(mp3.mid(at, 256 - at), QByteArray(256 - at, '\0'));
}

void tst_Resources::soundFrames_data()
{
    addSoundSources();
}

void tst_Resources::soundFrames()
{
    QByteArray mp3;
    if (!loadSound(&mp3))
        QSKIP(qPrintable(generatorProblem));
    int end = 0;
    const QList<MpegFrame> frames = mpegFrames(mp3, &end);
    QCOMPARE(frames.size(), 18);
    QCOMPARE(frames.first().offset, 256);
    QCOMPARE(end, mp3.size());            // no ID3v1 or other trailer

    int padded = 0;
    int reservoir = 0;   // main-data bytes a decoder holds from earlier frames
    for (int i = 0; i < frames.size(); ++i) {
        const MpegFrame &f = frames.at(i);
        QCOMPARE(f.version, QStringLiteral("2.5"));
        QCOMPARE(f.layer, 3);
        QCOMPARE(f.kbps, 128);
        QCOMPARE(f.sampleRate, 11025);
        QCOMPARE(f.mode, QStringLiteral("mono"));
        QCOMPARE(f.crc, false);
        QCOMPARE(f.emphasis, 0);
        padded += f.padded;
        QCOMPARE(f.length, f.padded ? 836 : 835);
        // Every header matches the first but for the padding bit.
        QCOMPARE(be32(f.bytes, 0) & ~0x200u, be32(frames.first().bytes, 0) & ~0x200u);
        for (const char *marker : {"Xing", "Info", "VBRI"})
            QVERIFY2(!f.bytes.contains(marker), marker);

        const int sideEnd = 4 + 9;
        const int slot = f.length - sideEnd;
        QVERIFY2(f.mainDataBegin <= reservoir, "main_data_begin reaches before the stream");
        QVERIFY((f.mainDataBits + 7) / 8 <= f.mainDataBegin + slot);
        QVERIFY(f.mainDataBits > 0);
        reservoir = std::min(255, f.mainDataBegin + slot - (f.mainDataBits + 7) / 8);
    }
    QCOMPARE(frames.first().mainDataBegin, 0);
    QCOMPARE(padded, 16);
}

void tst_Resources::soundDecodes()
{
    QAudioDecoder decoder;
    if (!decoder.isSupported())
        QSKIP("no audio decoding backend on this machine");
    QFile file(soundPath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    decoder.setSourceDevice(&file);
    // Ask for plain 16-bit samples: Qt 6.4's GStreamer decoder cannot
    // negotiate the planar output of the MP3 decoders on its own.
    QAudioFormat wanted;
    wanted.setSampleRate(11025);
    wanted.setChannelCount(1);
    wanted.setSampleFormat(QAudioFormat::Int16);
    decoder.setAudioFormat(wanted);

    QList<qint16> samples;
    bool finished = false;
    connect(&decoder, &QAudioDecoder::bufferReady, this, [&] {
        const QAudioBuffer buffer = decoder.read();
        if (buffer.format().sampleFormat() != QAudioFormat::Int16 || buffer.format().channelCount() != 1)
            return;
        const qint16 *data = buffer.constData<qint16>();
        samples.append(QList<qint16>(data, data + buffer.sampleCount()));
    });
    connect(&decoder, &QAudioDecoder::finished, this, [&] { finished = true; });
    decoder.start();
    QTRY_VERIFY_WITH_TIMEOUT(finished || decoder.error() != QAudioDecoder::NoError, 20000);
    QVERIFY2(decoder.error() == QAudioDecoder::NoError, qPrintable(decoder.errorString()));

    // 18 frames of 576 samples; a decoder may trim up to a frame of
    // encoder delay but must not lose audio.
    QVERIFY2(samples.size() > 10368 - 600 && samples.size() <= 10368,
             qPrintable(QString::number(samples.size())));
    double sumSquares = 0;
    int peak = 0;
    int peakAt = 0;
    for (int i = 0; i < samples.size(); ++i) {
        const int v = samples.at(i);
        sumSquares += double(v) * v;
        if (std::abs(v) > peak) {
            peak = std::abs(v);
            peakAt = i;
        }
    }
    const double rms = std::sqrt(sumSquares / samples.size()) / 32768.0;
    QVERIFY2(peak > 0.2 * 32768 && rms > 0.03,
             qPrintable(QStringLiteral("peak %1 rms %2").arg(peak).arg(rms)));
    // A chime: loud early, faded out at the end rather than cut off.
    QVERIFY(peakAt < samples.size() / 2);
    int tailPeak = 0;
    for (int i = samples.size() - 256; i < samples.size(); ++i)
        tailPeak = std::max(tailPeak, std::abs(int(samples.at(i))));
    QVERIFY2(tailPeak < peak / 20, qPrintable(QString::number(tailPeak)));
}

void tst_Resources::playerLoadsQrcUrl_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("loads");
    QTest::newRow("the chime") << soundUrl << true;
    QTest::newRow("missing file") << QStringLiteral("qrc:/resources/no-such-sound.mp3") << false;
}

void tst_Resources::playerLoadsQrcUrl()
{
    QFETCH(QString, url);
    QFETCH(bool, loads);
    QMediaPlayer player;
    if (!player.isAvailable())
        QSKIP("no media backend on this machine");
    // Without an output GStreamer has nowhere to link the audio and fails.
    QAudioOutput output;
    output.setVolume(0);
    player.setAudioOutput(&output);
    player.setSource(QUrl(url));
    QTRY_VERIFY_WITH_TIMEOUT(player.mediaStatus() == QMediaPlayer::LoadedMedia
                                 || player.mediaStatus() == QMediaPlayer::InvalidMedia
                                 || player.error() != QMediaPlayer::NoError,
                             20000);
    if (loads) {
        QVERIFY2(player.error() == QMediaPlayer::NoError, qPrintable(player.errorString()));
        QCOMPARE(player.mediaStatus(), QMediaPlayer::LoadedMedia);
    } else {
        QVERIFY(player.mediaStatus() != QMediaPlayer::LoadedMedia);
    }
    // The duration is not checked: headless GStreamer reports it only now and then.

    // Unload before the player goes away; Qt 6.4's GStreamer player can
    // crash when destroyed with a pipeline still holding decoder pads.
    player.setSource(QUrl());
    QTRY_COMPARE_WITH_TIMEOUT(player.mediaStatus(), QMediaPlayer::NoMedia, 5000);
}

// The icon is drawn by the script itself, so it must come out byte for byte.
void tst_Resources::generatorWritesTheCommittedIcon()
{
    if (!generatorProblem.isEmpty())
        QSKIP(qPrintable(generatorProblem));
    const QByteArray icon = readFile(generated.filePath(QStringLiteral("icon.ico")));
    QVERIFY(!icon.isEmpty());
    QVERIFY2(icon == readFile(sourceFile(QStringLiteral("resources/icon.ico"))),
             "icon.ico differs from what scripts/make-resources.py draws now");
}

int main(int argc, char **argv)
{
    // Startup code may load the icon or sound before the application object
    // exists; the bundle must already be registered then.
    readBundleBeforeApplication();

    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    tst_Resources test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_resources.moc"
