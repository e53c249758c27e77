#include "app/MainThreadHandoff.h"

#include <QMetaObject>
#include <QObject>

namespace jolto {

void MainThreadHandoff::post(std::function<void()> work) {
    std::lock_guard lock(mutex_);
    if (receiver_ == nullptr) {
        return;
    }
    QMetaObject::invokeMethod(receiver_, std::move(work), Qt::QueuedConnection);
}

void MainThreadHandoff::detach() {
    std::lock_guard lock(mutex_);
    receiver_ = nullptr;
}

} // namespace jolto
