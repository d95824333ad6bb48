#pragma once

#include <QImage>
#include <QWidget>

#include <string>
#include <vector>

namespace nimbrel::ui {

// A QR code's modules, row by row, true for dark.
struct QrMatrix {
  int width = 0;
  std::vector<bool> dark;
  bool at(int x, int y) const { return dark[static_cast<std::size_t>(y * width + x)]; }
};

// The text's UTF-8 bytes at error-correction level M; empty (width 0) when it cannot be encoded.
QrMatrix encodeQr(const std::string& text);

// The modules at a whole number of device pixels each (no smoothing), inside `margin` white
// pixels; `target` is the code's side before the margin.
QImage renderQr(const QrMatrix& matrix, int target, int margin);

// The pairing link's QR code: 260 logical pixels on a white margin of 12, drawn at the
// screen's device pixels so modules stay sharp on high-density screens.
class QrView : public QWidget {
 public:
  static constexpr int kSide = 260;
  static constexpr int kMargin = 12;

  explicit QrView(QWidget* parent = nullptr);
  void setText(const std::string& text);
  const std::string& text() const { return text_; }
  const QrMatrix& matrix() const { return matrix_; }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  std::string text_;
  QrMatrix matrix_;
};

}  // namespace nimbrel::ui
