#include "ui/theme.hpp"

#include <QHBoxLayout>
#include <QPainter>

namespace nimbrel::ui {

void applyTheme(QWidget* root) {
  root->setAutoFillBackground(true);
  QPalette palette = root->palette();
  palette.setColor(QPalette::Window, kCanvas);
  palette.setColor(QPalette::WindowText, QColor(0x1b, 0x22, 0x30));
  palette.setColor(QPalette::Highlight, kAccent);
  palette.setColor(QPalette::Link, kAccent);
  root->setPalette(palette);
  root->setStyleSheet(QStringLiteral(
      "QPushButton { border: 1px solid #b9c3d3; border-radius: 13px; padding: 5px 14px;"
      " background: #ffffff; color: #1b2230; min-height: 16px; }"
      "QPushButton:hover { background: #eaf1fd; }"
      "QPushButton:default { background: #2f6fe4; color: #ffffff; border-color: #2f6fe4; }"
      "QPushButton#warning { background: #e07b00; color: #ffffff; border-color: #e07b00;"
      " font-weight: 600; }"
      "QPushButton#flat { border: none; background: transparent; text-align: left;"
      " padding: 4px 2px; color: #1b2230; }"
      "QPushButton#flat:hover { color: #2f6fe4; }"
      "QToolButton { border: none; padding: 4px 6px; color: #1b2230; }"
      "QLineEdit { border: 1px solid #b9c3d3; border-radius: 6px; padding: 3px 6px;"
      " background: #ffffff; }"
      "QCheckBox { spacing: 8px; }"));
}

QLabel* secondaryLabel(const QString& text, bool small) {
  auto* label = new QLabel(text);
  label->setWordWrap(true);
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, kSecondary);
  label->setPalette(palette);
  if (small) {
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    label->setFont(font);
  }
  return label;
}

QColor markColour(StatusRow::Mark mark) {
  switch (mark) {
    case StatusRow::Mark::greenDot:
    case StatusRow::Mark::device:
      return kGreen;
    case StatusRow::Mark::orangeDot:
      return kOrange;
    case StatusRow::Mark::greyDot:
      break;
  }
  return QColor(0x9a, 0xa3, 0xb2);
}

namespace {

class Mark : public QWidget {
 public:
  explicit Mark(StatusRow::Mark mark) : mark_(mark) { setFixedSize(14, 14); }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(markColour(mark_));
    if (mark_ == StatusRow::Mark::device) {
      // A small phone: a rounded body with a light screen.
      painter.drawRoundedRect(QRectF(3, 0.5, 8, 13), 2, 2);
      painter.setBrush(Qt::white);
      painter.drawRect(QRectF(4.5, 2.5, 5, 8));
    } else {
      painter.drawEllipse(QRectF(3, 3, 8, 8));
    }
  }

 private:
  StatusRow::Mark mark_;
};

}  // namespace

StatusRowView::StatusRowView(const StatusRow& row, QWidget* parent)
    : QWidget(parent), row_(row), text_(new QLabel(QString::fromStdString(row.text))) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 1, 0, 1);
  layout->setSpacing(8);
  layout->addWidget(new Mark(row.mark), 0, Qt::AlignTop | Qt::AlignLeft);
  text_->setWordWrap(true);
  layout->addWidget(text_, 1);
}

QString StatusRowView::text() const { return text_->text(); }

}  // namespace nimbrel::ui
