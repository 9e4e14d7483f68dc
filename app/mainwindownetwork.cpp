// Which local interface a stream leaves from, and the switch between the SRT and RIST panels.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "ckblblwidget.h"
#include "resenderrist.h"
#include "ristrules.h"
#include "streamrules.h"

#include <QDebug>
#include <QGridLayout>
#include <QNetworkInterface>

namespace {
const char kNoHardwareAddress[] = "00:00:00:00:00:00";
constexpr int kRowsPerGridRow = 3;
// The index of the interface a bonding row was made for (a dynamic property of the row); 0 when not known.
const char kInterfaceIndex[] = "interfaceIndex";

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

QList<MainWindow::UsableInterface> MainWindow::currentInterfaces() {
    QList<UsableInterface> found;
    forUsableInterfaces([&found](const QNetworkInterface &iface, const QString &address) {
        found.append({iface.humanReadableName(), address, iface.index()});
    });
    return found;
}

QString MainWindow::senderInterface() {
    return streamrules::senderInterface(ui->networkInterfaceComboBox->count(),
                                        ui->networkInterfaceComboBox->currentText());
}

QString MainWindow::backupSenderInterface() {
    return streamrules::senderInterface(ui->networkInterfaceComboBox_backup->count(),
                                        ui->networkInterfaceComboBox_backup->currentText());
}

void MainWindow::on_rbRist_toggled(bool checked) {
    ui->wdgRist->setVisible(checked);
    ui->wdgSrt->setVisible(!checked);
    ui->lblNameDistination->setText(checked ? tr("RIST Destination") : tr("SRT Destination"));
}

QList<CkbLblWidget *> MainWindow::bondingRows() const {
    QList<CkbLblWidget *> rows;
    for (int i = 0; i < ui->gridBonding->count(); ++i) {
        if (auto *row = qobject_cast<CkbLblWidget *>(ui->gridBonding->itemAt(i)->widget()))
            rows.append(row);
    }
    return rows;
}

CkbLblWidget *MainWindow::addBondingRow(const QString &name, const QString &address, int interfaceIndex) {
    auto *row = new CkbLblWidget(address);
    row->setProperty(kInterfaceIndex, interfaceIndex);
    connect(row, &CkbLblWidget::checkedCkb, this, &MainWindow::checkedBondingIp);
    row->setCheckBoxToolTip(name);
    const int position = bondingRows().size();
    ui->gridBonding->addWidget(row, position / kRowsPerGridRow, position % kRowsPerGridRow);
    return row;
}

void MainWindow::createBondingRows(const QStringList &interfaceTexts) {
    const QList<UsableInterface> present = currentInterfaces();
    for (const QString &text : interfaceTexts) {
        const QStringList parts = text.split(QLatin1Char(':'));
        const QString address = parts.value(1).trimmed();
        auto iface = std::find_if(present.cbegin(), present.cend(), [&address](const UsableInterface &candidate) {
            return candidate.address == address;
        });
        addBondingRow(parts.value(0), address, iface != present.cend() ? iface->index : 0);
    }
}

void MainWindow::relayoutBondingGrid() {
    QList<QWidget *> widgets;
    while (QLayoutItem *item = ui->gridBonding->takeAt(0)) {
        if (item->widget())
            widgets.append(item->widget());
        delete item;
    }
    for (int k = 0; k < widgets.size(); ++k)
        ui->gridBonding->addWidget(widgets.at(k), k / kRowsPerGridRow, k % kRowsPerGridRow);
}

void MainWindow::applyBondingSelection(const QString &tokens) {
    // Also reads the older plain address list ("192.168.1.1,172.168.1.1"): weight 1 for each.
    const QList<ristrules::BondingPath> paths = ristrules::parseBondings(tokens);
    applyingBondings = true;
    for (CkbLblWidget *row : bondingRows()) {
        auto listed = std::find_if(paths.cbegin(), paths.cend(),
                                   [row](const ristrules::BondingPath &path) { return path.address == row->text(); });
        const bool wanted = listed != paths.cend();
        if (wanted && row->isChecked() && row->weight() != listed->weight)
            row->click();
        if (wanted && !row->isChecked())
            row->setWeight(listed->weight);
        if (wanted != row->isChecked())
            row->click();
    }
    applyingBondings = false;
    storeBondingSelection();
}

void MainWindow::storeBondingSelection() {
    if (applyingBondings)
        return;
    QStringList tokens;
    QStringList present;
    for (const CkbLblWidget *row : bondingRows()) {
        present.append(row->text());
        if (row->isChecked())
            tokens.append(row->pathText());
    }
    // A stored path whose interface is absent right now (unplugged at launch) is kept for the next launch.
    const QStringList stored = ui->txtBonding_rist->text().split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &token : stored) {
        const QList<ristrules::BondingPath> path = ristrules::parseBondings(token);
        if (!path.isEmpty() && !present.contains(path.first().address))
            tokens.append(token.trimmed());
    }
    ui->txtBonding_rist->setText(tokens.join(QLatin1Char(',')));
}

void MainWindow::checkedBondingIp(bool checked, const QString &ip, int weight) {
    storeBondingSelection();
    if (!isStreaming || !runningRist)
        return;
    if (checked) {
        const bool added = ristSender->createPeer(QString(), ip, weight);
        qDebug() << "add peer " << added << "mainwindow" << __LINE__;
    } else {
        ristSender->destroyPeers(ip);
    }
}

// The path refresh: rows follow the interfaces that come and go; a row keeps its tick and weight while its
// address stays. A ticked path whose interface goes stays in the stored selection ("BONDING_RIST"), so that an
// interface with that address that comes back is ticked again with its weight: one modem dropping out for a
// moment must not end the operator's choice. An interface that went and came back between two refreshes is a new
// one (another index): its path's sockets were bound to the one that went and carry nothing any more, so its row
// goes and comes back too, which makes the path's peers afresh.
void MainWindow::on_pbUpdateNet_clicked() {
    QList<UsableInterface> current = currentInterfaces();
    QList<CkbLblWidget *> gone;
    for (CkbLblWidget *row : bondingRows()) {
        auto match = std::find_if(current.begin(), current.end(),
                                  [row](const UsableInterface &iface) { return iface.address == row->text(); });
        const int known = row->property(kInterfaceIndex).toInt();
        if (match != current.end() && (known == 0 || known == match->index))
            current.erase(match);
        else
            gone.append(row);
    }
    for (CkbLblWidget *row : gone) {
        // Out of the grid before it is unticked: the stored selection keeps the paths of absent rows.
        ui->gridBonding->removeWidget(row);
        row->hide();
        if (row->isChecked())
            row->click();
        row->deleteLater();
    }
    const QList<ristrules::BondingPath> stored = ristrules::parseBondings(ui->txtBonding_rist->text());
    for (const UsableInterface &iface : qAsConst(current)) {
        CkbLblWidget *row = addBondingRow(iface.name, iface.address, iface.index);
        auto chosen = std::find_if(stored.cbegin(), stored.cend(),
                                   [row](const ristrules::BondingPath &path) { return path.address == row->text(); });
        // Ticking runs checkedBondingIp, which adds the path's peers to a running RIST stream.
        if (chosen != stored.cend()) {
            row->setWeight(chosen->weight);
            row->click();
        }
    }
    relayoutBondingGrid();
}
