#pragma once

#include <QPixmap>
#include <QString>

// The QR code of `text` (error correction MEDIUM), black modules on white with a 4-module
// quiet zone, `scale` pixels per module. Throws the encoder's exception for oversized text.
QPixmap renderQrCode(const QString& text, int scale);
