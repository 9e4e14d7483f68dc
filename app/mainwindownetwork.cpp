// Which local interface a stream leaves from, and the switch between the SRT and RIST panels.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "streamrules.h"

#include <QDebug>
#include <QNetworkInterface>

namespace {
const char kNoHardwareAddress[] = "00:00:00:00:00:00";

// Calls back with every usable interface: up, not loopback, with a hardware address, and with an IPv4
// address (only its first one).
template <typename Visit> void forUsableInterfaces(Visit visit) {
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &iface : interfaces) {
        const QNetworkInterface::InterfaceFlags flags = iface.flags();
        if (!(flags & QNetworkInterface::IsUp) || (flags & QNetworkInterface::IsLoopBack))
            continue;
        if (iface.hardwareAddress() == QLatin1String(kNoHardwareAddress))
            continue;
        for (const QNetworkAddressEntry &entry : iface.addressEntries()) {
            const QString address = entry.ip().toString();
            if (address.contains(QLatin1Char('.'))) {
                visit(iface, address);
                break;
            }
        }
    }
}
} // namespace

QStringList MainWindow::listInterfaces() {
    QStringList texts;
    forUsableInterfaces([&texts](const QNetworkInterface &iface, const QString &address) {
        qDebug().noquote() << "Z 10: " + iface.name() + " " + address + " " + iface.hardwareAddress()
                           << iface.humanReadableName();
        texts.append(streamrules::interfaceText(iface.humanReadableName(), address));
    });
    return texts;
}

QList<QPair<QString, QString>> MainWindow::currentInterfaces() {
    QList<QPair<QString, QString>> pairs;
    forUsableInterfaces([&pairs](const QNetworkInterface &iface, const QString &address) {
        pairs.append({iface.humanReadableName(), address});
    });
    return pairs;
}

QString MainWindow::senderInterface() {
    return streamrules::senderInterface(ui->networkInterfaceComboBox->count(),
                                        ui->networkInterfaceComboBox->currentText());
}

void MainWindow::on_rbRist_toggled(bool checked) {
    ui->wdgRist->setVisible(checked);
    ui->wdgSrt->setVisible(!checked);
    ui->lblNameDistination->setText(checked ? tr("RIST Destination") : tr("SRT Destination"));
}

// The bonding path rows are built with the RIST relay; until then there are no rows to refresh.
void MainWindow::on_pbUpdateNet_clicked() {}
