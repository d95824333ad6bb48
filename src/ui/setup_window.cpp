#include "ui/setup_window.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/mascot.hpp"
#include "ui/theme.hpp"

namespace nimbrel::ui {

class PermissionStepView::Badge : public QWidget {
 public:
  explicit Badge(int number) : number_(number) { setFixedSize(28, 28); }
  void setGranted(bool granted) {
    granted_ = granted;
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(granted_ ? kGreen : kAccent);
    painter.drawEllipse(rect().adjusted(1, 1, -1, -1));
    if (granted_) {
      QPen pen(Qt::white, 2.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
      painter.setPen(pen);
      painter.drawPolyline(QPolygonF({QPointF(8.5, 14.5), QPointF(12.5, 18.5), QPointF(19.5, 10)}));
    } else {
      QFont font = painter.font();
      font.setBold(true);
      painter.setFont(font);
      painter.setPen(Qt::white);
      painter.drawText(rect(), Qt::AlignCenter, QString::number(number_));
    }
  }

 private:
  int number_;
  bool granted_ = false;
};

PermissionStepView::PermissionStepView(int number, const QString& title, const QString& detail,
                                       std::function<void()> allow, QWidget* parent)
    : QWidget(parent), badge_(new Badge(number)) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 4, 0, 4);
  layout->setSpacing(12);
  layout->addWidget(badge_, 0, Qt::AlignVCenter);
  auto* texts = new QVBoxLayout;
  texts->setSpacing(1);
  auto* titleLabel = new QLabel(title);
  QFont bold = titleLabel->font();
  bold.setWeight(QFont::DemiBold);
  titleLabel->setFont(bold);
  texts->addWidget(titleLabel);
  texts->addWidget(secondaryLabel(detail));
  layout->addLayout(texts, 1);
  allow_ = new QPushButton(QStringLiteral("Allow…"));
  QObject::connect(allow_, &QPushButton::clicked, this, [allow = std::move(allow)] { allow(); });
  allowed_ = new QLabel(QStringLiteral("Allowed"));
  allowed_->setStyleSheet(QStringLiteral("color: #1f9d55; font-weight: 600;"));
  layout->addWidget(allow_, 0, Qt::AlignVCenter);
  layout->addWidget(allowed_, 0, Qt::AlignVCenter);
  setGranted(false);
}

void PermissionStepView::setGranted(bool granted) {
  granted_ = granted;
  badge_->setGranted(granted);
  allow_->setVisible(!granted);
  allowed_->setVisible(granted);
}

SetupWindow::SetupWindow(HostModel& model, AppActions actions, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::CustomizeWindowHint),
      model_(model), actions_(std::move(actions)) {
  setWindowTitle(QStringLiteral("Set Up Nimbrel"));
  applyTheme(this);
  setFixedWidth(480);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(26, 22, 26, 20);
  layout->setSpacing(10);

  auto* welcome = new QHBoxLayout;
  welcome->setSpacing(16);
  welcome->addWidget(new Mascot(Pose::wave, 80));
  auto* welcomeTexts = new QVBoxLayout;
  auto* hi = new QLabel(QStringLiteral("Hi, I’m Nimbrel!"));
  QFont hiFont = hi->font();
  hiFont.setPointSizeF(hiFont.pointSizeF() * 1.5);
  hiFont.setBold(true);
  hi->setFont(hiFont);
  welcomeTexts->addStretch();
  welcomeTexts->addWidget(hi);
  welcomeTexts->addWidget(new QLabel(
      QStringLiteral("A little setup, then your computer is a tap away.")));
  welcomeTexts->addStretch();
  welcome->addLayout(welcomeTexts, 1);
  layout->addLayout(welcome);

  auto* heading = new QLabel(QStringLiteral("Let your phone see and control this computer"));
  QFont headingFont = heading->font();
  headingFont.setPointSizeF(headingFont.pointSizeF() * 1.25);
  headingFont.setWeight(QFont::DemiBold);
  heading->setFont(headingFont);
  heading->setWordWrap(true);
  layout->addSpacing(4);
  layout->addWidget(heading);
  const DesktopKind desktop = model_.snapshot().desktop;
  layout->addWidget(secondaryLabel(QString::fromStdString(setupIntro(desktop))));

  screen_ = new PermissionStepView(1, QStringLiteral("Screen capture"),
                                   QStringLiteral("So your phone can see the screen."), [this, desktop] {
                                     explain(QStringLiteral("Screen capture"), screenAccessHelp(desktop));
                                   });
  input_ = new PermissionStepView(
      2, QStringLiteral("Input"),
      QStringLiteral("So taps and typing on your phone move the mouse and press keys."),
      [this, desktop] { explain(QStringLiteral("Input"), inputAccessHelp(desktop)); });
  layout->addWidget(screen_);
  layout->addWidget(input_);

  layout->addWidget(secondaryLabel(QStringLiteral(
      "Nimbrel checks the display every few seconds: each step turns to <b>Allowed</b> by "
      "itself once it works.")));

  auto* buttons = new QHBoxLayout;
  relaunch_ = new QPushButton(QStringLiteral("Relaunch Nimbrel"));
  relaunch_->setToolTip(QStringLiteral("Starts Nimbrel again, on the display it was started on"));
  next_ = new QPushButton(QStringLiteral("Next: Add Your Phone"));
  next_->setDefault(true);
  buttons->addStretch();
  buttons->addWidget(relaunch_);
  buttons->addWidget(next_);
  layout->addLayout(buttons);

  connect(relaunch_, &QPushButton::clicked, this, [this] { actions_.relaunch(); });
  connect(next_, &QPushButton::clicked, this, [this] {
    close();
    actions_.openWindow(WindowKind::pairing);
  });
  connect(&model_, &HostModel::changed, this, &SetupWindow::refresh);
  refresh();
}

void SetupWindow::refresh() {
  const HostSnapshot& host = model_.snapshot();
  screen_->setGranted(host.screenOK);
  input_->setGranted(host.inputOK);
}

void SetupWindow::explain(const QString& title, const std::string& help) {
  // X11 has nothing to grant: say what is missing and how to get it, then look again.
  auto* box = new QMessageBox(QMessageBox::Information, title, QString::fromStdString(help),
                              QMessageBox::Ok, this);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
  model_.refreshPermissions();
}

}  // namespace nimbrel::ui
