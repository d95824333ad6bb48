#include "ui/mascot.hpp"

#include <QPainter>
#include <QSvgRenderer>

// The artwork is compiled into this static library; its resources register on first use.
static void registerArtwork() { Q_INIT_RESOURCE(art); }

namespace nimbrel::ui {

namespace {

void needArtwork() {
  static const bool registered = (registerArtwork(), true);
  (void)registered;
}

}  // namespace

QString poseResource(Pose pose) {
  needArtwork();
  static const char* const names[] = {"wave", "curious", "laptop", "sleepy",
                                      "scan", "celebrate", "travel"};
  return QStringLiteral(":/nimbrel/mascot_%1.svg").arg(names[static_cast<int>(pose)]);
}

Mascot::Mascot(Pose pose, int size, QWidget* parent) : QWidget(parent), pose_(pose) {
  setFixedSize(size, size);
  setAccessibleName(QString::fromUtf8(kMascotLabel));
}

void Mascot::paintEvent(QPaintEvent*) {
  QSvgRenderer renderer(poseResource(pose_));
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  renderer.render(&painter, QRectF(rect()));
}

QIcon trayIcon(TrayIconState state) {
  const char* name = state == TrayIconState::warning     ? "warning"
                     : state == TrayIconState::connected ? "connected"
                                                         : "idle";
  // Rendered at each panel size, so the icon is drawn for the size and not scaled down.
  needArtwork();
  QSvgRenderer renderer(QStringLiteral(":/nimbrel/tray_%1.svg").arg(name));
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter);
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

}  // namespace nimbrel::ui
