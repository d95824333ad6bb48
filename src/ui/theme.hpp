#pragma once

#include <QColor>
#include <QLabel>
#include <QWidget>

#include "ui/ui_rules.hpp"

namespace nimbrel::ui {

// The look shared by the panel and the windows: a soft canvas, a blue accent, capsule buttons.
inline const QColor kCanvas{0xf3, 0xf6, 0xfb};
inline const QColor kAccent{0x2f, 0x6f, 0xe4};
inline const QColor kGreen{0x1f, 0x9d, 0x55};
inline const QColor kOrange{0xe0, 0x7b, 0x00};
inline const QColor kSecondary{0x5c, 0x66, 0x78};

void applyTheme(QWidget* root);

// A label in the secondary colour (and smaller, when `small`), wrapping.
QLabel* secondaryLabel(const QString& text, bool small = false);

// One status line: a coloured dot (or the device mark) and its text.
class StatusRowView : public QWidget {
 public:
  explicit StatusRowView(const StatusRow& row, QWidget* parent = nullptr);
  const StatusRow& row() const { return row_; }
  QString text() const;

 private:
  StatusRow row_;
  QLabel* text_;
};

QColor markColour(StatusRow::Mark mark);

}  // namespace nimbrel::ui
