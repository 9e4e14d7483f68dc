// Moving the operator's choices between the controls and a settings store (the application's own or a
// configuration file).
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "appmessages.h"
#include "logsdlg.h"
#include "player.h"
#include "privatefile.h"
#include "settingstext.h"
#include "streamrules.h"

#include <QComboBox>
#include <QDebug>
#include <QFile>
#include <QFileDialog>
#include <QSettings>
#include <QStandardPaths>

namespace {
// Makes the entry with exactly this visible text current; without one the list keeps its entry.
bool selectText(QComboBox *list, const QString &text) {
    const int index = list->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index >= 0)
        list->setCurrentIndex(index);
    return index >= 0;
}

QString paramsKey(const QString &codec) {
    return codec + QStringLiteral("_params");
}

// Reads the keys of one load and notes those whose value is present but unusable, so that a hand-edited file
// does not quietly turn into zeros (a reconnect limit of 0 would disable every restart) or "true" switches.
class StoreReader {
public:
    StoreReader(QSettings *store, QStringList *ignored) : store(store), ignored(ignored) {}

    bool has(const char *key) const { return store->contains(QLatin1String(key)); }
    QString text(const char *key, const QString &fallback = QString()) const {
        return settingsText(*store, QLatin1String(key), fallback);
    }
    // A whole number when present and readable, else the fallback.
    int number(const char *key, int fallback) {
        if (!has(key))
            return fallback;
        bool ok = false;
        const int value = text(key).trimmed().toInt(&ok, 10);
        if (ok)
            return value;
        note(key);
        return fallback;
    }
    // Only true/false (or 1/0) count; anything else is as if the key were missing.
    bool flag(const char *key, bool fallback) {
        if (!has(key))
            return fallback;
        const QString value = text(key).trimmed().toLower();
        if (value == QLatin1String("true") || value == QLatin1String("1"))
            return true;
        if (value == QLatin1String("false") || value == QLatin1String("0"))
            return false;
        note(key);
        return fallback;
    }
    // Selects the stored entry (or the fallback when the key is missing); a stored text that names no entry
    // leaves the list as it is.
    void select(QComboBox *list, const char *key, const QString &fallback = QString()) {
        if (!has(key)) {
            selectText(list, fallback);
            return;
        }
        if (!selectText(list, text(key)))
            note(key);
    }
    void note(const char *key) {
        if (ignored)
            ignored->append(QLatin1String(key));
    }

private:
    QSettings *store;
    QStringList *ignored;
};
} // namespace

void MainWindow::loadSettings(QSettings *store, QStringList *ignored) {
    StoreReader read(store, ignored);
    if (read.has("ABR"))
        read.select(ui->cmbABR, "ABR");
    if (read.has("VBR"))
        ui->spbVBR->setValue(read.number("VBR", ui->spbVBR->value()));
    if (read.has("URL"))
        ui->txtURL->setText(read.text("URL"));
    if (read.has("STREAMID"))
        ui->txtStreamID->setText(read.text("STREAMID"));
    if (read.has("SPR"))
        read.select(ui->cmbSPR, "SPR");

    for (auto it = encoderParams.begin(); it != encoderParams.end(); ++it) {
        const QString stored = settingsText(*store, paramsKey(it.key()));
        if (!stored.isEmpty())
            it.value() = streamrules::splitEncoderParams(stored);
    }

    read.select(ui->cmbEncs, "ENCSV");
    // Selecting the entry that is already current sends no change, yet its parameter lists must show the
    // values just loaded.
    if (ui->cmbEncs->currentIndex() == 0)
        on_cmbEncs_currentIndexChanged(0);

    read.select(ui->cmbFrames, "FRAME", QStringLiteral("1280x720"));
    read.select(ui->cmbVideoSources, "VSOURCE");
    read.select(ui->cmbAudioSources, "ASOURCE");
    read.select(ui->cmbFPS, "FPS", QStringLiteral("25 fps"));
    ui->spbLatency->setValue(read.number("LATENCY", 120));
    player->setNDI(read.flag("IS_NDI", false));
    ui->spbReconnect->setValue(read.number("RECONNECT", 10));
    ui->chkVITC->setChecked(read.flag("VITC", false));
    // A file loaded later acts like a click (setChecked emits none); at construction the clock is set up after.
    if (clockSync)
        on_chkVITC_clicked(ui->chkVITC->isChecked());
    ui->chkAlpha->setChecked(read.flag("ALPHA", false));
    ui->chkLL->setChecked(read.flag("LOSSLESS", false));
    ui->chkAdaptive->setChecked(read.flag("ADAPTIVE_BITRATE", false));

    if (read.has("PASSPHRASE"))
        ui->txtPassphrase->setText(read.text("PASSPHRASE"));
    if (read.has("PBKEYLEN"))
        read.select(ui->cmbPBKeyLen, "PBKEYLEN");
    if (read.has("AUDIOCHS"))
        ui->txtAudio->setText(read.text("AUDIOCHS"));

    if (ui->networkInterfaceComboBox->count() > 2) {
        const QString iface = read.text("NETWORK_IFACE");
        if (!iface.isEmpty())
            selectText(ui->networkInterfaceComboBox, iface);
    } else {
        ui->networkInterfaceComboBox->hide();
    }
    ui->txtURL_backup->setText(read.text("URL_BACKUP"));
    if (ui->networkInterfaceComboBox_backup->count() > 2) {
        const QString iface = read.text("NETWORK_IFACE_BACKUP");
        if (!iface.isEmpty())
            selectText(ui->networkInterfaceComboBox_backup, iface);
    } else {
        ui->networkInterfaceComboBox_backup->hide();
    }

    if (read.flag("RIST_DEST", false))
        ui->rbRist->setChecked(true);
    else
        ui->rbSrt->setChecked(true);
    ui->txtURL_rist->setText(read.text("URL_RIST"));
    ui->txtStreamID_rist->setText(read.text("STREAMID_RIST"));
    ui->txtPassphrase_rist->setText(read.text("PASSPHRASE_RIST"));
    ui->txtBonding_rist->setText(read.text("BONDING_RIST"));
    applyBondingSelection(ui->txtBonding_rist->text());
}

bool MainWindow::loadConfigFile(const QString &path) {
    // A file that cannot be read, or is no INI file at all, would otherwise reset every control to its default
    // (the operator's RIST destination, latency, reconnect limit...) and, at auto-start, stream those defaults.
    const auto refuse = [this, &path](bool readable) {
        const QString reason = !readable ? tr("the file cannot be read") : tr("it is not a configuration file");
        logs->addMessage(QStringLiteral("CONFIG NOT LOADED: ") + path + QStringLiteral(" (") + reason +
                         QStringLiteral(")"));
        AppMessages::warning(this, tr("Warning"),
                             tr("The configuration %1 was not loaded: %2. Nothing was changed.").arg(path, reason));
        return false;
    };
    QFile file(path);
    const bool readable = file.open(QIODevice::ReadOnly);
    const QByteArray content = readable ? file.readAll() : QByteArray();
    file.close();
    // Checked before QSettings sees the file: it parses every value as soon as it is asked for anything.
    if (!readable || streamrules::iniHoldsSerializedValue(content))
        return refuse(readable);
    QSettings store(path, QSettings::IniFormat);
    const QByteArray head = content.left(64 * 1024);
    const bool notIni = head.contains('\0') || (!head.trimmed().isEmpty() && store.allKeys().isEmpty());
    if (store.status() != QSettings::NoError || notIni)
        return refuse(true);
    QStringList ignored;
    loadSettings(&store, &ignored);
    if (!ignored.isEmpty()) {
        const QString keys = ignored.join(QStringLiteral(", "));
        logs->addMessage(QStringLiteral("CONFIG VALUES NOT USED: ") + keys);
        AppMessages::warning(this, tr("Warning"),
                             tr("These settings of %1 name nothing available here or are not valid, and were not "
                                "used: %2")
                                 .arg(path, keys));
    }
    return true;
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
    store->setValue(QStringLiteral("IS_NDI"), player->isNDI());
    store->setValue(QStringLiteral("RECONNECT"), ui->spbReconnect->value());
    store->setValue(QStringLiteral("PASSPHRASE"), ui->txtPassphrase->text());
    store->setValue(QStringLiteral("PBKEYLEN"), ui->cmbPBKeyLen->currentText());
    store->setValue(QStringLiteral("VITC"), ui->chkVITC->isChecked());
    store->setValue(QStringLiteral("ALPHA"), ui->chkAlpha->isChecked());
    store->setValue(QStringLiteral("AUDIOCHS"), ui->txtAudio->text());
    store->setValue(QStringLiteral("LOSSLESS"), ui->chkLL->isChecked());
    store->setValue(QStringLiteral("ADAPTIVE_BITRATE"), ui->chkAdaptive->isChecked());
    if (ui->networkInterfaceComboBox->count() > 2)
        store->setValue(QStringLiteral("NETWORK_IFACE"), ui->networkInterfaceComboBox->currentText());
    store->setValue(QStringLiteral("URL_BACKUP"), ui->txtURL_backup->text());
    if (ui->networkInterfaceComboBox_backup->count() > 2)
        store->setValue(QStringLiteral("NETWORK_IFACE_BACKUP"), ui->networkInterfaceComboBox_backup->currentText());
    store->setValue(QStringLiteral("RIST_DEST"), ui->rbRist->isChecked());
    store->setValue(QStringLiteral("URL_RIST"), ui->txtURL_rist->text());
    store->setValue(QStringLiteral("STREAMID_RIST"), ui->txtStreamID_rist->text());
    store->setValue(QStringLiteral("PASSPHRASE_RIST"), ui->txtPassphrase_rist->text());
    store->setValue(QStringLiteral("BONDING_RIST"), ui->txtBonding_rist->text());
}

bool MainWindow::writeSettingsFile(const QString &path, const char *logLine) {
    QSettings file(path, QSettings::IniFormat);
    saveSettings(&file);
    QString reason;
    if (privatefile::save(file, &reason))
        return true;
    // A read-only or full destination would otherwise look like a saved file.
    logs->addMessage(QLatin1String(logLine) + path + QStringLiteral(" (") + reason + QStringLiteral(")"));
    AppMessages::warning(this, tr("Warning"),
                         tr("The settings were not saved to %1: %2. The file there is unchanged.").arg(path, reason));
    return false;
}

bool MainWindow::saveConfigFile(const QString &path) {
    return writeSettingsFile(path, "CONFIG NOT SAVED: ");
}

void MainWindow::on_actionSave_config_triggered() {
    const QString proposed =
        QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) + QStringLiteral("/Tidewell_Config.ini");
    const QString path = QFileDialog::getSaveFileName(this, tr("Save File"), proposed);
    qDebug() << "save config" << path;
    if (path.isEmpty())
        return;
    saveConfigFile(path);
}

void MainWindow::on_actionLoad_config_triggered() {
    const QString path = QFileDialog::getOpenFileName(
        this, tr("Open File"), QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation),
        QStringLiteral("*.*"));
    qDebug() << "load config" << path;
    if (path.isEmpty())
        return;
    loadConfigFile(path);
}

void MainWindow::onAboutToQuit() {
    // A configuration file used for an auto-start never alters the operator's own settings, and a stop by
    // signal leaves them as they were.
    if (autoStarted || saveSuppressed)
        return;
    // A store object of its own, so that an earlier failed write of the window's store (QSettings keeps its first
    // error) does not count against this one; both share the file's cached contents.
    writeSettingsFile(settings->fileName(), "SETTINGS NOT SAVED: ");
}
