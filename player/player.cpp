#include "player.h"
#include "ui_player.h"

#include "imfdevice.h"
#include "logsdlg.h"
#include "mfglasstoglass.h"
#include "mfndiruntime.h"
#include "mfpreview.h"
#include "mfrenderer.h"
#include "mfresult.h"
#include "mfscreenoutput.h"
#include "mfvideoformattable.h"

#include <QCollator>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <vector>

namespace {
constexpr int kChannels = 16;
const QString kMuted = QStringLiteral("-100.0");
const QString kAudible = QStringLiteral("0.0");
const QString kLineSeparator = QStringLiteral(" ### ");
const QString kNdiStreamName = QStringLiteral("Tidewell studio player");
const char *const kChannelStyle = "QCheckBox::indicator:checked{background:#FF3d3d;color:#FFFFFF;}";
QStringRef withoutLeadingZeros(const QStringRef &digits) {
    int first = 0;
    while (first < digits.size() - 1 && digits.at(first) == QLatin1Char('0'))
        ++first;
    return digits.mid(first);
}

// Digit runs compare by value. The collator's numeric mode does that only where Qt was built with ICU; the
// POSIX fallback ignores it, so the runs are compared here and only the text between them by the collator.
bool naturalLess(const QCollator &collator, const QString &a, const QString &b) {
    int i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool digitA = a.at(i).isDigit(), digitB = b.at(j).isDigit();
        int endA = i, endB = j;
        while (endA < a.size() && a.at(endA).isDigit() == digitA)
            ++endA;
        while (endB < b.size() && b.at(endB).isDigit() == digitB)
            ++endB;
        const QStringRef runA = a.midRef(i, endA - i), runB = b.midRef(j, endB - j);
        int order = 0;
        if (digitA && digitB) {
            const QStringRef valueA = withoutLeadingZeros(runA), valueB = withoutLeadingZeros(runB);
            order = valueA.size() != valueB.size() ? valueA.size() - valueB.size() : valueA.compare(valueB);
        } else {
            order = collator.compare(runA, runB);
        }
        if (order)
            return order < 0;
        i = endA;
        j = endB;
    }
    return a.size() - i < b.size() - j;
}

} // namespace

Player::Player(QWidget *parent, const QString &instanceName)
    : QWidget(parent), worker(*new PlayerWorker), output(*new SdiThread), ui(new Ui::Player),
      statusTimer(new QTimer(this)) {
    // The screens become the renderer's outputs before the renderers below list them.
    MFScreenOutputProvider::registerProvider();
    ui->setupUi(this);
    connect(ui->deviceCheck, &QCheckBox::toggled, this, &Player::deviceToggled);
    connect(ui->folderBtn, &QPushButton::clicked, this, &Player::openFolder);
    connect(ui->deviceCombo, &QComboBox::currentTextChanged, this, [this](const QString &text) {
        ui->folderBtn->setVisible(text == tr("File"));
        ui->deviceCombo->setToolTip(ui->deviceCombo->currentData(Qt::ToolTipRole).toString());
    });
    ui->folderBtn->hide();
    // Without a runtime the box keeps the saved choice, but cannot be changed and says why.
    const MFNdiRuntime &ndi = MFNdiRuntime::instance();
    ui->ckbNDI->setEnabled(ndi.available());
    ui->ckbNDI->setToolTip(ndi.available()
                               ? tr("Sends the return feed as the NDI source \"%1\"").arg(kNdiStreamName)
                               : tr("No NDI runtime is installed. Tidewell looked at %1.").arg(ndi.searchedText()));

    setWindowTitle(tr("Studio Player"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowMaximizeButtonHint |
                   Qt::WindowStaysOnTopHint);

    worker.initNDI(kNdiStreamName);
    worker.initSink(instanceName);
    output.sinkName = instanceName;

    for (int i = 1; i <= kChannels; ++i) {
        auto *box = findChild<QCheckBox *>(QStringLiteral("chk%1").arg(i));
        if (!box)
            continue;
        box->setProperty("number", i);
        connect(box, &QCheckBox::clicked, this, &Player::onChkNumClicked);
        box->setStyleSheet(QLatin1String(kChannelStyle));
    }

    // News from the worker (is the feed there yet?) is polled, never pushed into the widgets.
    statusTimer->setInterval(kStatusPollMs);
    connect(statusTimer, &QTimer::timeout, this, &Player::showStatus);
}

Player::~Player() {
    stopPlay();
    // No events are served from a destructor: the threads need none to end.
    const QDeadlineTimer deadline(kCloseWaitMs);
    const bool workerEnded = worker.wait(deadline);
    const bool outputEnded = output.wait(deadline);
    retireThread(&worker, workerEnded, "the return feed's thread");
    retireThread(&output, outputEnded, "the output thread");
    delete ui;
}

void Player::retireThread(QThread *thread, bool ended, const char *name) {
    if (ended) {
        delete thread;
        return;
    }
    // Kept where the leak checker still sees it; the thread frees nothing of the window's when it ends.
    static std::vector<QThread *> leftBehind;
    leftBehind.push_back(thread);
    qCritical() << "Player:" << name << "is still inside a request at close and is left behind";
}

void Player::startPlay(const QString &url) {
    fillDevices();
    fillFormats();
    showNormal();
    if (url == worker.url() && worker.isRunning())
        return;

    worker.stop();
    worker.setUrl(QString());
    // An output thread told to stop must be gone too, or the start below would find it still running and
    // the new playback would be left without output once it ends. One that was not told goes on.
    const QDeadlineTimer deadline(kThreadEndWaitMs);
    while ((worker.isRunning() || (output.isRunning() && output.stopping())) && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    if (worker.isRunning() || (output.isRunning() && output.stopping())) {
        qWarning() << "Player: previous playback did not end; not starting" << PlayerWorker::loggableUrl(url);
        return;
    }
    // The previous run completed its recording when it ended; a ticked output records into a new file.
    if (!output.isRunning() && ui->deviceCheck->isChecked()) {
        output.outputEnabled = false;
        output.configure(ui->deviceCombo->currentText(), ui->formatCombo->currentData().toInt());
        output.outputEnabled = true;
    }
    const uint64_t window = uint64_t(ui->lblPreview->winId());
    qDebug() << "-- startPlay" << PlayerWorker::loggableUrl(url) << window;
    worker.setUrl(url);
    worker.previewWindow = window;
    worker.gainChanged = !worker.volumes().isEmpty();
    ui->lblPreview->setText(tr("please wait ..."));
    worker.prepareStart();
    worker.start();
    if (!output.isRunning()) {
        output.prepareStart();
        output.start(QThread::HighPriority);
    }
    statusTimer->start();
}

void Player::stopPlay() {
    output.stop();
    worker.stop();
    worker.setUrl(QString());
    statusTimer->stop();
    ui->lblLatency->clear();
}

bool Player::isPlaying() const {
    return worker.isRunning() || output.isRunning();
}

void Player::setNDI(bool on) {
    worker.ndiEnabled = on;
    ui->ckbNDI->setChecked(on);
}

bool Player::isNDI() const {
    return worker.ndiEnabled;
}

void Player::setLogWindow(LogsDlg *window) {
    logWindow = window;
}

void Player::log(const QString &line) {
    qDebug().noquote() << line;
    if (logWindow)
        logWindow->addMessage(line);
}

void Player::showStatus() {
    QString text = ui->lblPreview->text();
    switch (worker.phase()) {
    case PlayerWorker::Opening:
        text = tr("please wait ...");
        break;
    case PlayerWorker::OpenFailed:
        text = tr("No return feed yet, trying again ...");
        break;
    case PlayerWorker::Playing:
        text.clear();
        break;
    case PlayerWorker::Idle:
        break;
    }
    if (text != ui->lblPreview->text())
        ui->lblPreview->setText(text);
    // Only a feed whose frames carry a timecode strip has a figure; one without shows nothing.
    qint64 latency = 0;
    const QString latencyText = worker.latencyMs(&latency) ? MFGlassToGlass::text(latency) : QString();
    if (latencyText != ui->lblLatency->text())
        ui->lblLatency->setText(latencyText);
    // An output that went by itself (its screen was unplugged) ends as if unticked; the list loses it.
    if (ui->deviceCheck->isChecked() && output.deviceLost()) {
        log(QStringLiteral("EXTERNAL OUTPUT ENDED: %1 is gone").arg(ui->deviceCombo->currentText()));
        ui->deviceCheck->setChecked(false);
        fillDevices();
    }
    // A worker that gave up (its reader could not be created) must not keep the same address from
    // starting again.
    if (!worker.isRunning() && !worker.url().isEmpty())
        worker.setUrl(QString());
}

QStringList Player::getDevices() {
    std::shared_ptr<MFRenderer> renderer = MFRenderer::create();
    if (!renderer) {
        qCritical() << "class QStringList __cdecl Player::getDevices(void)"
                    << "ERROR: Can't create MFRenderer instance";
        return {};
    }
    return getDevices(renderer);
}

QStringList Player::getDevices(const std::shared_ptr<MFRenderer> &renderer) {
    QStringList names;
    int count = 0;
    if (!renderer || MF_FAILED(renderer->DeviceGetCount(eMFDT_Video, &count))) {
        qCritical() << "class QStringList __cdecl Player::getDevices(void)"
                    << "DeviceGetCount FAILED";
        return names;
    }
    for (int index = 0; index < count; ++index) {
        QString name;
        renderer->DeviceGetByIndex(eMFDT_Video, index, &name);
        qDebug() << "RENDER LINE buttonName:" << name;
        if (name.isEmpty() || name == QLatin1String("<None>") || name == QLatin1String("NDI Receiver"))
            continue;
        int lines = 0;
        if (MF_FAILED(renderer->PropsOptionGetCount(QStringLiteral("line-out"), &lines)) || lines <= 0) {
            names.append(name);
            continue;
        }
        for (int line = 0; line < lines; ++line)
            names.append(name + kLineSeparator + QString::number(line));
    }
    QCollator collator;
    collator.setNumericMode(true);
    std::sort(names.begin(), names.end(),
              [&collator](const QString &a, const QString &b) { return naturalLess(collator, a, b); });
    return names;
}

void Player::fillDevices() {
    const QString remembered = ui->deviceCombo->currentText();
    ui->deviceCombo->clear();
    for (const QString &name : getDevices())
        if (!name.contains(QLatin1String("NDI Renderer")))
            ui->deviceCombo->addItem(name);
    // An entry names its sound output by number only; its tip says which one it is.
    const std::shared_ptr<MFRenderer> lines = MFRenderer::create();
    for (int i = 0; i < ui->deviceCombo->count(); ++i) {
        QString device;
        int line = -1;
        SdiThread::splitOutputName(ui->deviceCombo->itemText(i), &device, &line);
        QString sound;
        if (line >= 0 && MF_SUCCEEDED(lines->PropsOptionGetByIndex(QStringLiteral("line-out"), line, &sound, nullptr)))
            ui->deviceCombo->setItemData(i, tr("Sound on \"%1\"").arg(sound), Qt::ToolTipRole);
    }
    // Recording stays on offer beside the screens and cards, or a machine with a monitor could no longer record.
    ui->deviceCombo->addItem(tr("File"));
    const int found = ui->deviceCombo->findText(remembered, Qt::MatchExactly | Qt::MatchCaseSensitive);
    ui->deviceCombo->setCurrentIndex(found >= 0 ? found : 0);
    ui->folderBtn->setVisible(ui->deviceCombo->currentText() == tr("File"));
    ui->deviceCombo->setToolTip(ui->deviceCombo->currentData(Qt::ToolTipRole).toString());
}

void Player::fillFormats() {
    if (ui->formatCombo->count())
        return;
    for (const MFVideoFormatTable::Entry &entry : MFVideoFormatTable::entries())
        ui->formatCombo->addItem(QString::fromLatin1(entry.name), entry.code);
}

void Player::resizeEvent(QResizeEvent *event) {
    QWidget::resizeEvent(event);
    if (std::shared_ptr<MFPreview> preview = worker.previewObject())
        preview->PreviewWindowSet(QString(), uint64_t(ui->lblPreview->winId()));
}

void Player::on_ckbNDI_clicked(bool checked) {
    worker.ndiEnabled = checked;
}

void Player::deviceToggled(bool checked) {
    ui->deviceCombo->setEnabled(!checked);
    ui->formatCombo->setEnabled(!checked);
    worker.deviceEnabled = checked;
    if (checked)
        output.configure(ui->deviceCombo->currentText(), ui->formatCombo->currentData().toInt());
    output.outputEnabled = checked;
}

QString Player::gainText(const QList<int> &muted) {
    QStringList gains;
    for (int i = 1; i <= kChannels; ++i)
        gains.append(muted.contains(i) ? kMuted : kAudible);
    return gains.join(QLatin1Char(','));
}

void Player::onChkNumClicked(bool checked) {
    const int n = sender() ? sender()->property("number").toInt() : 0;
    qDebug() << sender();
    qDebug() << " chk clicked:" << n << checked;
    if (checked) {
        if (!mutedChannels.contains(n))
            mutedChannels.append(n);
    } else {
        mutedChannels.removeAll(n);
    }
    const QString text = gainText(mutedChannels);
    qDebug() << " volumes:" << text;
    worker.setVolumes(text);
}

void Player::openFolder() {
    const QString folder = SdiThread::recordingsFolder();
    // The file manager shows nothing for a folder that is not there yet.
    QDir().mkpath(folder);
    QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}
