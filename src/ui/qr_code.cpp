#include "ui/qr_code.hpp"

#include <QPainter>

#include <qrencode.h>

#include <cmath>
#include <memory>

#include "ui/ui_rules.hpp"

namespace nimbrel::ui {

QrMatrix encodeQr(const std::string& text) {
  if (text.empty()) return {};
  const std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
      QRcode_encodeData(static_cast<int>(text.size()),
                        reinterpret_cast<const unsigned char*>(text.data()), 0, QR_ECLEVEL_M),
      &QRcode_free);
  if (!code) return {};
  QrMatrix matrix;
  matrix.width = code->width;
  matrix.dark.resize(static_cast<std::size_t>(code->width * code->width));
  for (std::size_t i = 0; i < matrix.dark.size(); ++i) matrix.dark[i] = (code->data[i] & 1) != 0;
  return matrix;
}

QImage renderQr(const QrMatrix& matrix, int target, int margin) {
  const int scale = qrModuleScale(matrix.width, target);
  const int side = matrix.width * scale;
  // Centred in the target square, so a code that does not fill it stays in the middle.
  const int offset = margin + (target > side ? (target - side) / 2 : 0);
  const int outer = std::max(target, side) + 2 * margin;
  QImage image(outer, outer, QImage::Format_Grayscale8);
  image.fill(255);
  for (int y = 0; y < matrix.width; ++y) {
    for (int x = 0; x < matrix.width; ++x) {
      if (!matrix.at(x, y)) continue;
      for (int dy = 0; dy < scale; ++dy) {
        uchar* row = image.scanLine(offset + y * scale + dy);
        std::fill(row + offset + x * scale, row + offset + (x + 1) * scale, uchar{0});
      }
    }
  }
  return image;
}

QrView::QrView(QWidget* parent) : QWidget(parent) {
  setFixedSize(kSide + 2 * kMargin, kSide + 2 * kMargin);
  setAccessibleName(QStringLiteral("QR code of the pairing link"));
}

void QrView::setText(const std::string& text) {
  if (text == text_) return;
  text_ = text;
  matrix_ = encodeQr(text);
  update();
}

void QrView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::white);
  if (matrix_.width == 0) return;
  const qreal ratio = devicePixelRatioF();
  QImage image = renderQr(matrix_, static_cast<int>(std::lround(kSide * ratio)),
                          static_cast<int>(std::lround(kMargin * ratio)));
  image.setDevicePixelRatio(ratio);
  painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
  painter.drawImage(QPointF(0, 0), image);
}

}  // namespace nimbrel::ui
