#pragma once

#include <QObject>
#include <QString>

class QMessageBox;
class QNetworkAccessManager;
class QNetworkReply;
class QWidget;

// Asks the download site once whether a build newer than ours is published and reports it.
class UpdateNotifier : public QObject {
    Q_OBJECT

public:
    explicit UpdateNotifier(QObject *parent = nullptr);

    // The download site; tests point the feed address at their own server instead.
    static QString defaultFeedBase();
    // base followed by "/tidewell_win.json"
    static QString feedAddress(const QString &base = defaultFeedBase());

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
