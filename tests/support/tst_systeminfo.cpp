#include "machineinfo.h"
#include "mformats.h"
#include "mfresult.h"
#include "mfwriter.h"
#include "systeminfo.h"

#include <QGuiApplication>
#include <QScreen>
#include <QtTest>

namespace {

// Two containers that share a video codec, the second listing an unnamed entry.
class TwoContainerWriter : public MFWriter {
public:
    QString selected;
    int WriterOptionGetCount(int kind, int *count) override {
        *count = kind == Container ? 3 : (kind == VideoCodec ? 2 : 1);
        return MF_OK;
    }
    int WriterOptionGetByIndex(int kind, int index, QString *name, QString *) override {
        if (kind == Container)
            *name = QStringList{"mpegts", QString(), "matroska"}.at(index);
        else if (kind == VideoCodec)
            *name = selected == "mpegts" ? QStringList{"libopenh264", "mpeg2video"}.at(index)
                                         : QStringList{"mpeg2video", "vp8"}.at(index);
        else
            *name = QStringLiteral("aac");
        return MF_OK;
    }
    int WriterOptionSet(int, const QString &name) override {
        selected = name;
        return MF_OK;
    }
};

class FailingSource : public MFormats {
public:
    int DeviceGetCount(int, int *) override { return MF_E_FAIL; }
};

// The key lines of the report, "key:\tvalue", with their section titles.
QStringList reportLines(const QString &report) {
    return report.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace

class TestSystemInfo : public QObject {
    Q_OBJECT

private slots:
    void reportOfThisMachine() {
        const QString report = systemInfoText();
        const QStringList expected =
            QStringList{"Codecs and containers:", "Containers:", "Video codecs:", "Audio codecs:"} +
            QStringList{"Connected multimedia devices:", "Video devices:", "Audio devices:", "Machine info:"} +
            QStringList{"CPU Architecture:", "CPU Frequency:", "CPU and/or core count:", "RAM size:", "OS info:"} +
            QStringList{"OS:", "Kernel type:", "Kernel version:", "Host name:"};
        const QStringList lines = reportLines(report);
        QCOMPARE(lines.size(), expected.size());
        for (int i = 0; i < expected.size(); ++i)
            QVERIFY2(lines.at(i).startsWith(expected.at(i)), qPrintable(lines.at(i)));
        // Every key line stands after an empty line, titles directly below the previous section.
        QVERIFY(report.startsWith("Codecs and containers:\n\nContainers:\t"));
        QVERIFY(report.contains("\nConnected multimedia devices:\n\nVideo devices:\t"));

        auto value = [&](const QString &key) {
            const QRegularExpressionMatch m = QRegularExpression("^" + QRegularExpression::escape(key) + ":\\t(.*)$",
                                                                 QRegularExpression::MultilineOption)
                                                  .match(report);
            return m.captured(1);
        };
        QCOMPARE(value("Containers"), QStringLiteral("mpegts"));
        const QStringList video = value("Video codecs").split(' ');
        QVERIFY(video.contains("libopenh264"));
        QCOMPARE(QSet<QString>(video.begin(), video.end()).size(), video.size());
        QCOMPARE(value("Audio codecs"), QStringLiteral("aac"));
        QVERIFY(value("Video devices").contains("\"Test Pattern\""));
        // The screen, where there is an X display, under its own name; no name of another platform's devices.
        if (qEnvironmentVariableIsSet("DISPLAY"))
            QVERIFY2(value("Video devices").contains("\"X11 Screen Capture\""), qPrintable(value("Video devices")));
        QVERIFY2(!report.contains(QLatin1String("Medialooks")), qPrintable(value("Video devices")));
        // The kernel lists one "processor" line per logical processor.
        QFile cpuinfo(QStringLiteral("/proc/cpuinfo"));
        QVERIFY(cpuinfo.open(QIODevice::ReadOnly));
        const int processors =
            QString::fromLatin1(cpuinfo.readAll())
                .count(QRegularExpression(QStringLiteral("^processor\\s*:"), QRegularExpression::MultilineOption));
        QCOMPARE(value("CPU and/or core count").toInt(), processors);
        QVERIFY2(value("CPU Frequency").endsWith(" GHz"), qPrintable(value("CPU Frequency")));
        QCOMPARE(value("RAM size"), ramSizeText(installedMemoryKb()));
        QCOMPARE(value("Kernel type"), QSysInfo::kernelType());
    }

    void codecsOnceAndEmptyValues() {
        SystemInfoMedia media;
        media.createWriter = [] { return std::make_shared<TwoContainerWriter>(); };
        media.createSource = [] { return std::make_shared<FailingSource>(); };
        const QString listed = systemInfoText(media);
        QVERIFY(listed.contains("\nContainers:\tmpegts matroska\n"));
        QVERIFY(listed.contains("\nVideo codecs:\tlibopenh264 mpeg2video vp8\n"));
        QVERIFY(listed.contains("\nAudio codecs:\taac\n"));
        QVERIFY(listed.contains("\nVideo devices:\t\n\nAudio devices:\t\n"));

        const QString none = systemInfoText(SystemInfoMedia{});
        QVERIFY(none.startsWith("Codecs and containers:\n\nContainers:\t\n\nVideo codecs:\t\n\nAudio codecs:\t\n"
                                "Connected multimedia devices:\n\nVideo devices:\t\n\nAudio devices:\t\n"));
    }

    void cpuFrequency_data() {
        QTest::addColumn<QByteArray>("cpufreq");
        QTest::addColumn<QByteArray>("cpuinfo");
        QTest::addColumn<QString>("text");
        const QByteArray cpuinfo = "processor\t: 0\nmodel name\t: Some CPU\ncpu MHz\t\t: 3192.612\ncache size\t: 1\n"
                                   "processor\t: 1\ncpu MHz\t\t: 800.000\n";
        QTest::newRow("cpufreq maximum") << QByteArray("2400000\n") << cpuinfo << "2.4 GHz";
        QTest::newRow("no cpufreq") << QByteArray() << cpuinfo << "3.19 GHz";
        QTest::newRow("unreadable cpufreq") << QByteArray("<unknown>") << cpuinfo << "3.19 GHz";
        QTest::newRow("nothing known") << QByteArray() << QByteArray("processor\t: 0\n") << QString();
        // A 10 MHz clock is 0.01 GHz, never "10 GHz".
        QTest::newRow("10 MHz") << QByteArray("10000") << QByteArray() << "0.01 GHz";
    }
    void cpuFrequency() {
        QFETCH(QByteArray, cpufreq);
        QFETCH(QByteArray, cpuinfo);
        QFETCH(QString, text);
        QCOMPARE(cpuFrequencyText(cpuFrequencyHzFrom(cpufreq, cpuinfo)), text);
    }

    void screens() {
        const QString block = screenInfoBlock(1, "HDMI-%3", QSize(2560, 1440), 1.5, 144, 108.5, 59.951);
        QCOMPARE(block, QStringLiteral("Screen #1: HDMI-%3\n  Size: 2560 x 1440\n  Device Pixel Ratio: 1.5\n"
                                       "  Logical DPI: 144\n  Physical DPI: 108.5\n  Refresh Rate: 59.951 Hz\n"
                                       "  Estimated Scale Factor: 1.50\n\n"));

        // The offscreen screen at 144 logical dots per inch (set before the application object exists).
        const QString text = screensInfoText();
        QScreen *primary = QGuiApplication::primaryScreen();
        QCOMPARE(primary->logicalDotsPerInch(), 144.0);
        QVERIFY(text.startsWith(QStringLiteral("Number of screens: %1\nPrimary screen: %2\n\nScreen #0: ")
                                    .arg(QGuiApplication::screens().size())
                                    .arg(primary->name())));
        QVERIFY2(text.contains(QStringLiteral("\n  Logical DPI: 144\n")), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("\n  Estimated Scale Factor: 1.50\n\n")), qPrintable(text));
        QVERIFY(text.endsWith(QStringLiteral("\n\n")));
    }
};

int main(int argc, char *argv[]) {
    qputenv("QT_FONT_DPI", "144");
    QGuiApplication app(argc, argv);
    TestSystemInfo test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_systeminfo.moc"
