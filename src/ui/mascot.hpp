#pragma once

#include <QIcon>
#include <QWidget>

#include "ui/ui_rules.hpp"

namespace nimbrel::ui {

enum class Pose { wave, curious, laptop, sleepy, scan, celebrate, travel };

inline constexpr const char* kMascotLabel = "Nimbrel, your cuddly blue computer companion";

// The pose's artwork, drawn in a square of `size` logical pixels, sharp at any scale.
class Mascot : public QWidget {
 public:
  Mascot(Pose pose, int size, QWidget* parent = nullptr);
  Pose pose() const { return pose_; }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  Pose pose_;
};

QString poseResource(Pose pose);
QIcon trayIcon(TrayIconState state);

}  // namespace nimbrel::ui
