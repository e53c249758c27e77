#include "QrCode.h"

#include <QPainter>
#include <qrencode.h>

namespace {
constexpr int quietZone = 4;
}

QrCode::QrCode(QQuickItem* parent) : QQuickPaintedItem(parent) {}

void QrCode::setText(const QString& text) {
    if (text == text_) {
        return;
    }
    text_ = text;
    width_ = 0;
    dark_.clear();
    if (!text.isEmpty()) {
        const QByteArray utf8 = text.toUtf8();
        if (QRcode* code = QRcode_encodeString(utf8.constData(), 0, QR_ECLEVEL_M, QR_MODE_8, 1)) {
            width_ = code->width;
            dark_.resize(static_cast<std::size_t>(width_ * width_));
            for (std::size_t i = 0; i < dark_.size(); ++i) {
                dark_[i] = (code->data[i] & 1) != 0;
            }
            QRcode_free(code);
        }
    }
    emit textChanged();
    update();
}

void QrCode::setColor(const QColor& color) {
    if (color != color_) {
        color_ = color;
        emit colorChanged();
        update();
    }
}

void QrCode::setBackground(const QColor& color) {
    if (color != background_) {
        background_ = color;
        emit backgroundChanged();
        update();
    }
}

void QrCode::paint(QPainter* painter) {
    if (width_ == 0) {
        return;
    }
    const int total = width_ + 2 * quietZone;
    // Whole device pixels per module keep the edges sharp for a camera.
    const qreal side = std::min(width(), height());
    const qreal module = std::max<qreal>(1, std::floor(side / total));
    const qreal drawn = module * total;
    const QPointF origin((width() - drawn) / 2, (height() - drawn) / 2);
    painter->fillRect(QRectF(origin, QSizeF(drawn, drawn)), background_);
    for (int y = 0; y < width_; ++y) {
        for (int x = 0; x < width_; ++x) {
            if (dark_[static_cast<std::size_t>(y * width_ + x)]) {
                painter->fillRect(QRectF(origin.x() + (x + quietZone) * module,
                                         origin.y() + (y + quietZone) * module, module, module),
                                  color_);
            }
        }
    }
}
