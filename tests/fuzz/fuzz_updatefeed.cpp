// The update feed is remote text; whatever it holds ends up in a rich-text notice.
#include "fuzzkit.h"
#include "updatenotifier.h"

#include <QByteArray>

namespace {
constexpr int kOurBuild = 68;
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    fuzzkit::initialize(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray body(reinterpret_cast<const char *>(data), int(size));
    QString msg;
    QString url;
    if (UpdateNotifier::readFeed(body, kOurBuild, &msg, &url)) {
        fuzzkit::require(url.isEmpty() || UpdateNotifier::isDownloadUrl(url));
        const QString notice = UpdateNotifier::noticeText(msg, url);
        // The feed's message is shown as plain text: only our own link may open a tag.
        fuzzkit::require(notice.count(QLatin1Char('<')) ==
                         notice.count(QLatin1String("<br>")) + (url.isEmpty() ? 0 : 2));
    }
    UpdateNotifier::noticeText(QString::fromUtf8(body), QString::fromUtf8(body));
    return 0;
}
