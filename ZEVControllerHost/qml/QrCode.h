#pragma once

#include <QColor>
#include <QQuickPaintedItem>
#include <QString>
#include <QtQml/qqmlregistration.h>
#include <vector>

// A QR code of `text`, drawn square in the item's smaller side with a quiet zone of four
// modules, dark modules in `color` on `background`. Encoded with libqrencode when the text
// changes; empty text draws nothing.
class QrCode : public QQuickPaintedItem {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QString text READ text WRITE setText NOTIFY textChanged)
    Q_PROPERTY(QColor color READ color WRITE setColor NOTIFY colorChanged)
    Q_PROPERTY(QColor background READ background WRITE setBackground NOTIFY backgroundChanged)
    // Modules per side without the quiet zone; 0 when nothing is encoded.
    Q_PROPERTY(int modules READ modules NOTIFY textChanged)

public:
    explicit QrCode(QQuickItem* parent = nullptr);

    QString text() const { return text_; }
    void setText(const QString& text);
    QColor color() const { return color_; }
    void setColor(const QColor& color);
    QColor background() const { return background_; }
    void setBackground(const QColor& color);
    int modules() const { return width_; }

    void paint(QPainter* painter) override;

signals:
    void textChanged();
    void colorChanged();
    void backgroundChanged();

private:
    QString text_;
    QColor color_ = Qt::black;
    QColor background_ = Qt::white;
    int width_ = 0;
    std::vector<bool> dark_;
};
