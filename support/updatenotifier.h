#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

class QMessageBox;
class QNetworkAccessManager;
class QNetworkReply;
class QWidget;

// Asks an update feed once whether a build newer than ours is published and reports it. There is no feed of
// its own: a distributor names one in the settings, and without one nothing is asked.
class UpdateNotifier : public QObject {
    Q_OBJECT

public:
    explicit UpdateNotifier(QObject *parent = nullptr);

    // The feed named by a setting's text: an https address with a host, or an empty URL. Empty text (the default)
    // names none; any other text is refused, with the reason in *refusal: the feed decides what the operator is
    // told to download, so it is only read over a connection that proves who sent it.
    static QUrl configuredFeed(const QString &text, QString *refusal);

    // Starts one check and returns at once. newVersionAvailable follows only when the feed names a higher build.
    void checkForUpdate(int currentBuild, const QString &feedAddress);

    // The feed is remote text: the message is shown as plain text inside the rich-text notice, and only http(s)
    // addresses become a link.
    static bool isDownloadUrl(const QString &url);
    // Reads the feed's JSON text: true when it names a build above currentBuild, with its message and its
    // address (empty unless it is an http(s) address).
    static bool readFeed(const QByteArray &body, int currentBuild, QString *msg, QString *url);
    static QString noticeText(const QString &msg, const QString &url);
    // Opens the "Update Info" box without blocking (it deletes itself when closed) and returns it.
    static QMessageBox *showNotice(QWidget *parent, const QString &msg, const QString &url);

signals:
    // url is empty when the feed's address is not an http(s) address.
    void newVersionAvailable(const QString &msg, const QString &url);
    // End of a check, whatever its outcome.
    void checkFinished();

private:
    void onReplyFinished(QNetworkReply *reply, int currentBuild);

    QNetworkAccessManager *manager = nullptr;
};
