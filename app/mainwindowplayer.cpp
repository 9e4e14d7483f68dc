// The main window's "Studio Player" toggle: the return-feed address and the player window's geometry.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "appmessages.h"
#include "player.h"
#include "privatefile.h"

#include <QSettings>

namespace {
const char kGeometryKey[] = "PLAYER_GEOMETRY";
const QString kScheme = QStringLiteral("srt://");

// What would end or split a query value ('&'), start an escape ('%'), read as a blank ('+'), or is no URL
// character at all is percent-encoded; the reader decodes the two values before they reach libsrt.
QString encodedValue(const QString &value) {
    QString encoded;
    for (const char byte : value.toUtf8()) {
        const auto code = static_cast<unsigned char>(byte);
        if (code <= 0x20 || code >= 0x7f || byte == '%' || byte == '&' || byte == '+')
            encoded += QStringLiteral("%%1").arg(code, 2, 16, QLatin1Char('0')).toUpper();
        else
            encoded += QLatin1Char(byte);
    }
    return encoded;
}
} // namespace

QString MainWindow::returnFeedAddress(const QString &server, const QString &streamId, const QString &passphrase,
                                      int keyLength) {
    // Taken as typed: the server may name the stream id's case and the host exactly as it expects them.
    QString address =
        server + QStringLiteral("?mode=caller&streamid=") + encodedValue(streamId + QStringLiteral("#feedbackplay"));
    if (!address.startsWith(kScheme))
        address.prepend(kScheme);
    if (!passphrase.isEmpty())
        address += QStringLiteral("&passphrase=") + encodedValue(passphrase) + QStringLiteral("&pbkeylen=") +
                   QString::number(keyLength);
    return address;
}

// The argument-less twin of the click, connected by name as well; the work is done with the state.
void MainWindow::on_cmbPlayer_clicked() {}

void MainWindow::on_cmbPlayer_clicked(bool checked) {
    if (checked) {
        if (ui->txtStreamID->text().isEmpty()) {
            AppMessages::warning(this, tr("Warning"), tr("Please enter streamid."));
            return;
        }
        if (refuseOverlongStreamId(ui->txtStreamID->text() + QStringLiteral("#feedbackplay")) ||
            refusePortOutOfRange(ui->txtURL->text()))
            return;
        const QString address = returnFeedAddress(ui->txtURL->text(), ui->txtStreamID->text(),
                                                  ui->txtPassphrase->text(), ui->cmbPBKeyLen->currentData().toInt());
        if (settings->contains(QLatin1String(kGeometryKey)))
            player->restoreGeometry(settings->value(QLatin1String(kGeometryKey)).toByteArray());
        player->startPlay(address);
    } else {
        // QSettings writes this in its own time; the first write must not create a store others can read.
        privatefile::prepare(settings->fileName());
        settings->setValue(QLatin1String(kGeometryKey), player->saveGeometry());
        player->stopPlay();
        player->hide();
    }
}
