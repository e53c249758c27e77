#pragma once

#include <QQmlNetworkAccessManagerFactory>

namespace jolto {

// The views' network access: the engine may read its own resources (qrc:, file:, data:) and
// nothing else. Texts from outside are shown as plain text, but should markup ever slip
// through (an <img> in a phone's name), no request leaves the machine and no server learns
// this host's address.
class LocalOnlyNetworkAccess final : public QQmlNetworkAccessManagerFactory {
public:
    // Called on the engine's loader threads as well as the main thread.
    QNetworkAccessManager* create(QObject* parent) override;
};

} // namespace jolto
