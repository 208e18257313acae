#include "app/QrCode.h"

#include "crypto/SecureBuffer.h"

#include <QPainter>

#include <qrcodegen.hpp>

#include <optional>

QPixmap renderQrCode(const QString& text, int scale)
{
    constexpr int kQuietZone = 4;
    int size = 0;
    QPixmap pixmap;
    {
        std::optional<qrcodegen::QrCode> qr;
        {
            // The text is a two-factor secret's URI: this copy is wiped once encoded.
            QByteArray utf8 = text.toUtf8();
            qr.emplace(qrcodegen::QrCode::encodeText(utf8.constData(), qrcodegen::QrCode::Ecc::MEDIUM));
            dorvex::crypto::secureZero(utf8);
        }
        size = qr->getSize();
        pixmap = QPixmap((size + 2 * kQuietZone) * scale, (size + 2 * kQuietZone) * scale);
        pixmap.fill(Qt::white);
        QPainter painter(&pixmap);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Qt::black);
        for (int y = 0; y < size; ++y) {
            for (int x = 0; x < size; ++x) {
                if (qr->getModule(x, y))
                    painter.drawRect((x + kQuietZone) * scale, (y + kQuietZone) * scale, scale, scale);
            }
        }
    }
    return pixmap;
}
