// The option lists of the main window, the encoder parameters and the three switches.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "capturestreamer.h"
#include "mfwriter.h"
#include "ndisource.h"
#include "networkclocksync.h"
#include "resender.h"
#include "resenderrist.h"
#include "sldcardsource2.h"
#include "streamrules.h"

#include <QDebug>
#include <QGuiApplication>
#include <QScreen>
#include <QSet>

#include <iterator>

namespace {
struct EncoderCandidate {
    const char *text;
    const char *codec;
    bool hasParams;
};

// Offered in this order, each only when the writer can open it here.
const EncoderCandidate kEncoders[] = {
    {"Intel Quick Sync (Hardware)", "q264hw", true},
    {"Intel Quick Sync (Sofware)", "q264sw", true},
    {"Cuda 264 (Hardware)", "c264", false},
    {"Nvidia NVEncoder (Hardware)", "n264", true},
    {"Open h264 (Software)", "libopenh264", false},
    {"mpeg-2", "mpeg2video", false},
    {"HEVC Intel Quick Sync (Hardware) EXPERIMENTAL", "hevc_qsv", false},
    {"HEVC Intel Quick Sync (Hardware) EXPERIMENTAL", "q265hw", false},
    {"HEVC Nvidia (Hardware) EXPERIMENTAL", "n265", false},
    {"HEVC (Software)", "x265sw", true},
};

const char kPresetCodec[] = "n264";
constexpr int kQualityListWidth = 200;

const char *const kFrameRates[] = {
    "24 fps",     "25 fps",     "30 fps",     "48 fps",        "50 fps",        "60 fps",     "24 fps if1",
    "24 fps if2", "25 fps if1", "25 fps if2", "29.97 fps if1", "29.97 fps if2", "30 fps if1", "30 fps if2",
    "48 fps if1", "48 fps if2", "50 fps if1", "50 fps if2",    "60 fps if1",    "60 fps if2",
};
const int kFrameRateValues[] = {24, 25, 30, 48, 50, 60, 24, 24, 25, 25, 2997, 2997, 30, 30, 48, 48, 50, 50, 60, 60};
} // namespace

void MainWindow::fillFrameSizes() {
    ui->cmbFrames->addItem(QStringLiteral("1280x720"), QSize(1280, 720));
    ui->cmbFrames->addItem(QStringLiteral("1920x1080"), QSize(1920, 1080));
    ui->cmbFrames->addItem(QStringLiteral("3840x2160"), QSize(3840, 2160));
    ui->cmbFrames->addItem(QStringLiteral("4096x2160"), QSize(4096, 2160));
    ui->cmbFrames->addItem(tr("original"), QSize());
}

void MainWindow::fillFrameRates() {
    static_assert(std::size(kFrameRates) == std::size(kFrameRateValues), "one value per frame rate entry");
    for (size_t i = 0; i < std::size(kFrameRates); ++i)
        ui->cmbFPS->addItem(QLatin1String(kFrameRates[i]), kFrameRateValues[i]);
    ui->cmbFPS->addItem(tr("original"), -1);
}

void MainWindow::fillBitrateLists() {
    for (const char *bitrate : {"1024", "512", "256", "192", "160", "128", "64"})
        ui->cmbABR->addItem(QLatin1String(bitrate));
    for (int keyLength : {16, 24, 32})
        ui->cmbPBKeyLen->addItem(QString::number(keyLength), keyLength);
    ui->cmbSPR->addItem(tr("auto"), 0);
    ui->cmbSPR->addItem(tr("44.1 Khz"), 44100);
    ui->cmbSPR->addItem(tr("48 Khz"), 48000);
}

void MainWindow::fillVideoSources() {
    ui->cmbVideoSources->clear();
    QStringList devices;
    CaptureStreamer::enumerateDevices(QStringLiteral("VIDEO"), devices);
    devices.append(SLDCardSource2::scan());
    listNDISources(*ndiSource, devices);
    ui->cmbVideoSources->addItems(devices);

    const QList<QScreen *> screens = QGuiApplication::screens();
    if (screens.size() == 1) {
        ui->cmbVideoSources->addItem(tr("Desktop"), QStringLiteral("CAPTURE_DISPLAY#0"));
    } else {
        for (int i = 0; i < screens.size(); ++i)
            ui->cmbVideoSources->addItem(tr("Desktop") + QStringLiteral(" #") + QString::number(i),
                                         QStringLiteral("CAPTURE_DISPLAY#") + QString::number(i));
    }
}

void MainWindow::fillAudioSources() {
    ui->cmbAudioSources->addItem(tr("no audio"), QStringLiteral("NO_AUDIO"));
    ui->cmbAudioSources->addItem(tr("original"), QStringLiteral("ORIGINAL"));
    QStringList devices;
    CaptureStreamer::enumerateDevices(QStringLiteral("AUDIO"), devices);
    qDebug().noquote() << "AUDIO:" << QStringLiteral("(") + devices.join(QStringLiteral(", ")) + QStringLiteral(")");
    ui->cmbAudioSources->addItems(devices);
}

QStringList MainWindow::availableEncoders() {
    QSet<QString> codecs;
    const std::shared_ptr<MFWriter> writer = MFWriter::create();
    if (!writer)
        return {};
    int containers = 0;
    writer->WriterOptionGetCount(MFWriter::Container, &containers);
    for (int c = 0; c < containers; ++c) {
        QString container, description;
        if (writer->WriterOptionGetByIndex(MFWriter::Container, c, &container, &description) < 0)
            continue;
        writer->WriterOptionSet(MFWriter::Container, container);
        int videoCodecs = 0;
        writer->WriterOptionGetCount(MFWriter::VideoCodec, &videoCodecs);
        for (int v = 0; v < videoCodecs; ++v) {
            QString codec;
            if (writer->WriterOptionGetByIndex(MFWriter::VideoCodec, v, &codec, &description) >= 0)
                codecs.insert(codec);
        }
    }
    return codecs.values();
}

void MainWindow::fillEncoders() {
    const QStringList available = availableEncoders();
    for (const EncoderCandidate &candidate : kEncoders) {
        const QString codec = QLatin1String(candidate.codec);
        if (!available.contains(codec))
            continue;
        ui->cmbEncs->addItem(QLatin1String(candidate.text), codec);
        if (candidate.hasParams)
            encoderParams.insert(codec, {QString(), QString()});
    }
    ui->cmbParam_1->hide();
    ui->cmbParam_2->hide();
}

void MainWindow::on_cmbEncs_currentIndexChanged(int) {
    currentEncoder = ui->cmbEncs->currentData().toString();
    if (!encoderParams.contains(currentEncoder)) {
        ui->cmbParam_1->hide();
        ui->cmbParam_2->hide();
        currentEncoder.clear();
        return;
    }
    paramsReady = false;
    if (ui->cmbParam_1->count() == 0)
        ui->cmbParam_1->addItems(rateControlTypes);
    ui->cmbParam_1->show();
    ui->cmbParam_2->clear();
    ui->cmbParam_2->show();
    if (currentEncoder == QLatin1String(kPresetCodec)) {
        ui->cmbParam_2->addItems(presets);
        ui->cmbParam_2->setMinimumWidth(0);
        encoderOptionsFormat = QStringLiteral(" video::rc_type='%1' video::preset='%2'");
    } else {
        ui->cmbParam_2->addItems(qualities);
        ui->cmbParam_2->setMinimumWidth(kQualityListWidth);
        encoderOptionsFormat = QStringLiteral(" video::rc_type='%1' video::quality='%2'");
    }
    const QStringList params = encoderParams.value(currentEncoder);
    const int first = ui->cmbParam_1->findText(params.value(0), Qt::MatchExactly | Qt::MatchCaseSensitive);
    ui->cmbParam_1->setCurrentIndex(first >= 0 ? first : 0);
    const int second = ui->cmbParam_2->findText(params.value(1), Qt::MatchExactly | Qt::MatchCaseSensitive);
    ui->cmbParam_2->setCurrentIndex(second >= 0 ? second : 0);
    paramsReady = true;
}

void MainWindow::storeEncoderParam(int position, const QString &text) {
    if (!paramsReady)
        return;
    QStringList &params = encoderParams[ui->cmbEncs->currentData().toString()];
    while (params.size() < 2)
        params.append(QString());
    params[position] = text;
    qDebug() << position << text;
}

void MainWindow::on_cmbParam_1_currentTextChanged(const QString &arg1) {
    storeEncoderParam(0, arg1);
}

void MainWindow::on_cmbParam_2_currentTextChanged(const QString &arg1) {
    storeEncoderParam(1, arg1);
}

void MainWindow::on_chkLL_stateChanged(int arg1) {
    const bool lossless = arg1 == Qt::Checked;
    ui->labelLatency->setVisible(!lossless);
    ui->spbLatency->setVisible(!lossless);
}

void MainWindow::on_chkVITC_clicked(bool checked) {
    // The strip goes on once the clock has been asked (successfully or not); see setupNetworkClock.
    if (checked)
        clockSync->request();
    else
        capture->setVITC(false);
}

void MainWindow::on_cmdRefresh_clicked() {
    fillVideoSources();
}

void MainWindow::on_cmbVideoSources_currentIndexChanged(int) {
    applySources();
}

void MainWindow::on_cmbAudioSources_currentIndexChanged(int) {
    applySources();
}

void MainWindow::applySources() {
    if (!isStreaming)
        return;
    const streamrules::VideoChoice video =
        streamrules::videoChoice(ui->cmbVideoSources->currentText(), ui->cmbVideoSources->currentData());
    const QString audio =
        streamrules::audioChoice(ui->cmbAudioSources->currentText(), ui->cmbAudioSources->currentData());
    capture->chooseDevices(video.deviceName, audio, video.displayIndex);
}
