// Moving the operator's choices between the controls and a settings store (the application's own or a
// configuration file).
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "streamrules.h"

#include <QComboBox>
#include <QDebug>
#include <QFileDialog>
#include <QSettings>
#include <QStandardPaths>

namespace {
// Makes the entry with exactly this visible text current; without one the list keeps its entry.
void selectText(QComboBox *list, const QString &text) {
    const int index = list->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index >= 0)
        list->setCurrentIndex(index);
}

QString paramsKey(const QString &codec) {
    return codec + QStringLiteral("_params");
}
} // namespace

void MainWindow::loadSettings(QSettings *store) {
    if (store->contains(QStringLiteral("ABR")))
        selectText(ui->cmbABR, store->value(QStringLiteral("ABR")).toString());
    if (store->contains(QStringLiteral("VBR")))
        ui->spbVBR->setValue(store->value(QStringLiteral("VBR")).toInt());
    if (store->contains(QStringLiteral("URL")))
        ui->txtURL->setText(store->value(QStringLiteral("URL")).toString());
    if (store->contains(QStringLiteral("STREAMID")))
        ui->txtStreamID->setText(store->value(QStringLiteral("STREAMID")).toString());
    if (store->contains(QStringLiteral("SPR")))
        selectText(ui->cmbSPR, store->value(QStringLiteral("SPR")).toString());

    for (auto it = encoderParams.begin(); it != encoderParams.end(); ++it) {
        const QString stored = store->value(paramsKey(it.key())).toString();
        if (!stored.isEmpty())
            it.value() = streamrules::splitEncoderParams(stored);
    }

    selectText(ui->cmbEncs, store->value(QStringLiteral("ENCSV"), QString()).toString());
    // Selecting the entry that is already current sends no change, yet its parameter lists must show the
    // values just loaded.
    if (ui->cmbEncs->currentIndex() == 0)
        on_cmbEncs_currentIndexChanged(0);

    selectText(ui->cmbFrames, store->value(QStringLiteral("FRAME"), QStringLiteral("1280x720")).toString());
    selectText(ui->cmbVideoSources, store->value(QStringLiteral("VSOURCE"), QString()).toString());
    selectText(ui->cmbAudioSources, store->value(QStringLiteral("ASOURCE"), QString()).toString());
    selectText(ui->cmbFPS, store->value(QStringLiteral("FPS"), QStringLiteral("25 fps")).toString());
    ui->spbLatency->setValue(store->value(QStringLiteral("LATENCY"), 120).toInt());
    // "IS_NDI" belongs to the player window's output switch, which is built with the player.
    ui->spbReconnect->setValue(store->value(QStringLiteral("RECONNECT"), 10).toInt());
    ui->chkVITC->setChecked(store->value(QStringLiteral("VITC"), false).toBool());
    ui->chkAlpha->setChecked(store->value(QStringLiteral("ALPHA"), false).toBool());
    ui->chkLL->setChecked(store->value(QStringLiteral("LOSSLESS"), false).toBool());

    if (store->contains(QStringLiteral("PASSPHRASE")))
        ui->txtPassphrase->setText(store->value(QStringLiteral("PASSPHRASE")).toString());
    if (store->contains(QStringLiteral("PBKEYLEN")))
        selectText(ui->cmbPBKeyLen, store->value(QStringLiteral("PBKEYLEN")).toString());
    if (store->contains(QStringLiteral("AUDIOCHS")))
        ui->txtAudio->setText(store->value(QStringLiteral("AUDIOCHS")).toString());

    if (ui->networkInterfaceComboBox->count() > 2) {
        const QString iface = store->value(QStringLiteral("NETWORK_IFACE")).toString();
        if (!iface.isEmpty())
            selectText(ui->networkInterfaceComboBox, iface);
    } else {
        ui->networkInterfaceComboBox->hide();
    }

    if (store->value(QStringLiteral("RIST_DEST"), false).toBool())
        ui->rbRist->setChecked(true);
    else
        ui->rbSrt->setChecked(true);
    ui->txtURL_rist->setText(store->value(QStringLiteral("URL_RIST"), QString()).toString());
    ui->txtStreamID_rist->setText(store->value(QStringLiteral("STREAMID_RIST"), QString()).toString());
    ui->txtPassphrase_rist->setText(store->value(QStringLiteral("PASSPHRASE_RIST"), QString()).toString());
    ui->txtBonding_rist->setText(store->value(QStringLiteral("BONDING_RIST"), QString()).toString());
}

void MainWindow::saveSettings(QSettings *store) {
    store->setValue(QStringLiteral("VSOURCE"), ui->cmbVideoSources->currentText());
    store->setValue(QStringLiteral("ASOURCE"), ui->cmbAudioSources->currentText());
    store->setValue(QStringLiteral("ENCSV"), ui->cmbEncs->currentText());
    for (auto it = encoderParams.cbegin(); it != encoderParams.cend(); ++it)
        store->setValue(paramsKey(it.key()), streamrules::joinEncoderParams(it.value()));
    store->setValue(QStringLiteral("FRAME"), ui->cmbFrames->currentText());
    store->setValue(QStringLiteral("FPS"), ui->cmbFPS->currentText());
    store->setValue(QStringLiteral("VBR"), ui->spbVBR->value());
    store->setValue(QStringLiteral("ABR"), ui->cmbABR->currentText());
    store->setValue(QStringLiteral("SPR"), ui->cmbSPR->currentText());
    store->setValue(QStringLiteral("URL"), ui->txtURL->text());
    store->setValue(QStringLiteral("STREAMID"), ui->txtStreamID->text());
    store->setValue(QStringLiteral("LATENCY"), ui->spbLatency->value());
    // Until the player window exists its NDI output switch is off.
    store->setValue(QStringLiteral("IS_NDI"), false);
    store->setValue(QStringLiteral("RECONNECT"), ui->spbReconnect->value());
    store->setValue(QStringLiteral("PASSPHRASE"), ui->txtPassphrase->text());
    store->setValue(QStringLiteral("PBKEYLEN"), ui->cmbPBKeyLen->currentText());
    store->setValue(QStringLiteral("VITC"), ui->chkVITC->isChecked());
    store->setValue(QStringLiteral("ALPHA"), ui->chkAlpha->isChecked());
    store->setValue(QStringLiteral("AUDIOCHS"), ui->txtAudio->text());
    store->setValue(QStringLiteral("LOSSLESS"), ui->chkLL->isChecked());
    if (ui->networkInterfaceComboBox->count() > 2)
        store->setValue(QStringLiteral("NETWORK_IFACE"), ui->networkInterfaceComboBox->currentText());
    store->setValue(QStringLiteral("RIST_DEST"), ui->rbRist->isChecked());
    store->setValue(QStringLiteral("URL_RIST"), ui->txtURL_rist->text());
    store->setValue(QStringLiteral("STREAMID_RIST"), ui->txtStreamID_rist->text());
    store->setValue(QStringLiteral("PASSPHRASE_RIST"), ui->txtPassphrase_rist->text());
    store->setValue(QStringLiteral("BONDING_RIST"), ui->txtBonding_rist->text());
}

void MainWindow::on_actionSave_config_triggered() {
    const QString proposed =
        QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) + QStringLiteral("/Tidewell_Config.ini");
    const QString path = QFileDialog::getSaveFileName(this, tr("Save File"), proposed);
    qDebug() << "save config" << path;
    if (path.isEmpty())
        return;
    QSettings file(path, QSettings::IniFormat);
    saveSettings(&file);
    file.sync();
}

void MainWindow::on_actionLoad_config_triggered() {
    const QString path = QFileDialog::getOpenFileName(
        this, tr("Open File"), QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation),
        QStringLiteral("*.*"));
    qDebug() << "load config" << path;
    if (path.isEmpty())
        return;
    QSettings file(path, QSettings::IniFormat);
    loadSettings(&file);
}

void MainWindow::onAboutToQuit() {
    // A configuration file used for an auto-start never alters the operator's own settings, and a stop by
    // signal leaves them as they were.
    if (autoStarted || saveSuppressed)
        return;
    saveSettings(settings);
    settings->sync();
}
