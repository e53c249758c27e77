#include "app/LocalOnlyNetworkAccess.h"

#include <QNetworkAccessManager>
#include <QNetworkRequest>

namespace jolto {

namespace {

class LocalOnlyManager final : public QNetworkAccessManager {
public:
    using QNetworkAccessManager::QNetworkAccessManager;

protected:
    QNetworkReply* createRequest(Operation op, const QNetworkRequest& request,
                                 QIODevice* data) override {
        const QString scheme = request.url().scheme();
        if (scheme == QLatin1String("qrc") || scheme == QLatin1String("file") ||
            scheme == QLatin1String("data")) {
            return QNetworkAccessManager::createRequest(op, request, data);
        }
        // A request without a URL fails at once with "unknown protocol", before any lookup.
        return QNetworkAccessManager::createRequest(op, QNetworkRequest(), nullptr);
    }
};

} // namespace

QNetworkAccessManager* LocalOnlyNetworkAccess::create(QObject* parent) {
    return new LocalOnlyManager(parent);
}

} // namespace jolto
