#include "updatenotifier.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace {
// The feed is a few hundred bytes; anything far larger is not our feed.
constexpr qint64 maxFeedBytes = 64 * 1024;
constexpr int transferTimeoutMs = 15000;
} // namespace

UpdateNotifier::UpdateNotifier(QObject *parent) : QObject(parent) {}

QUrl UpdateNotifier::configuredFeed(const QString &text, QString *refusal) {
    refusal->clear();
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return QUrl();
    const QUrl url(trimmed, QUrl::StrictMode);
    if (url.isValid() && url.scheme() == QLatin1String("https") && !url.host().isEmpty())
        return url;
    *refusal = tr("%1 is not an https address").arg(QUrl(trimmed).toString(QUrl::RemovePassword));
    return QUrl();
}

void UpdateNotifier::checkForUpdate(int currentBuild, const QString &feedAddress) {
    if (!manager)
        manager = new QNetworkAccessManager(this);
    QNetworkRequest request{QUrl(feedAddress)};
    request.setTransferTimeout(transferTimeoutMs);
    QNetworkReply *reply = manager->get(request);
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > maxFeedBytes)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, currentBuild] { onReplyFinished(reply, currentBuild); });
}

void UpdateNotifier::onReplyFinished(QNetworkReply *reply, int currentBuild) {
    reply->deleteLater();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() == QNetworkReply::NoError && status == 200) {
        QString msg;
        QString url;
        if (readFeed(reply->readAll(), currentBuild, &msg, &url))
            emit newVersionAvailable(msg, url);
    }
    emit checkFinished();
}

bool UpdateNotifier::readFeed(const QByteArray &body, int currentBuild, QString *msg, QString *url) {
    const QJsonObject feed = QJsonDocument::fromJson(body).object();
    const int build = feed.value(QStringLiteral("build")).toInt(0);
    if (currentBuild >= build)
        return false;
    *msg = feed.value(QStringLiteral("msg")).toString();
    const QString address = feed.value(QStringLiteral("url")).toString();
    *url = isDownloadUrl(address) ? address : QString();
    return true;
}

bool UpdateNotifier::isDownloadUrl(const QString &url) {
    const QUrl parsed(url, QUrl::StrictMode);
    const QString scheme = parsed.scheme();
    return parsed.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https")) &&
           !parsed.host().isEmpty();
}

QString UpdateNotifier::noticeText(const QString &msg, const QString &url) {
    QString text = msg.toHtmlEscaped();
    text.replace(QLatin1Char('\n'), QLatin1String("<br>"));
    if (isDownloadUrl(url)) {
        // The link's attribute is single-quoted, so a quote in the address must not end it.
        QString href = QUrl(url).toString(QUrl::FullyEncoded);
        href.replace(QLatin1Char('\''), QLatin1String("%27"));
        text += QStringLiteral("    <a href='%1' style='color:white;'>Download</a>").arg(href.toHtmlEscaped());
    }
    return text;
}

QMessageBox *UpdateNotifier::showNotice(QWidget *parent, const QString &msg, const QString &url) {
    auto *box =
        new QMessageBox(QMessageBox::Information, tr("Update Info"), noticeText(msg, url), QMessageBox::Ok, parent);
    box->setTextFormat(Qt::RichText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
    return box;
}
