#include "ui/menu_panel.hpp"

#include <QCheckBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QToolButton>
#include <QVBoxLayout>

#include "ui/labels.hpp"
#include "ui/mascot.hpp"
#include "ui/theme.hpp"

namespace nimbrel::ui {

namespace {

QFrame* divider() {
  auto* line = new QFrame;
  line->setFrameShape(QFrame::HLine);
  line->setStyleSheet(QStringLiteral("color: #d5dbe5;"));
  return line;
}

}  // namespace

MenuPanel::MenuPanel(HostModel& model, AppActions actions, QWidget* parent)
    // A frameless tool window that closes when it loses the focus, rather than a grabbing
    // popup: the tray's own handling of the click that opens it would close a popup again.
    : QFrame(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint), model_(model),
      actions_(std::move(actions)) {
  setObjectName(QStringLiteral("panel"));
  setWindowTitle(QStringLiteral("Nimbrel"));
  setAccessibleName(QStringLiteral("Nimbrel"));
  applyTheme(this);
  setFrameShape(QFrame::StyledPanel);
  setFixedWidth(340);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(14, 12, 14, 10);
  layout->setSpacing(8);

  // Header: the mascot beside the title and the computer's name.
  auto* header = new QHBoxLayout;
  header->setSpacing(10);
  auto* mascot = new Mascot(Pose::wave, 52);
  mascot->setAccessibleName(QString());  // decoration here: the title says who this is
  header->addWidget(mascot);
  auto* titles = new QVBoxLayout;
  titles->setSpacing(2);
  auto* title = new QLabel(QStringLiteral("Nimbrel"));
  QFont titleFont = title->font();
  titleFont.setBold(true);
  titleFont.setPointSizeF(titleFont.pointSizeF() * 1.15);
  title->setFont(titleFont);
  name_ = secondaryLabel(QString());
  titles->addStretch();
  titles->addWidget(title);
  titles->addWidget(name_);
  titles->addStretch();
  header->addLayout(titles, 1);
  layout->addLayout(header);

  finishSetup_ = new QPushButton(QStringLiteral("⚠  ") + QString::fromUtf8(labels::finishSetup));
  finishSetup_->setObjectName(QStringLiteral("warning"));
  connect(finishSetup_, &QPushButton::clicked, this, [this] {
    hide();
    actions_.openWindow(WindowKind::setup);
  });
  layout->addWidget(finishSetup_);

  rows_ = new QWidget;
  rowsLayout_ = new QVBoxLayout(rows_);
  rowsLayout_->setContentsMargins(0, 0, 0, 0);
  rowsLayout_->setSpacing(4);
  layout->addWidget(rows_);

  layout->addWidget(divider());

  auto* add = new QPushButton(QString::fromUtf8(labels::addDevice));
  add->setObjectName(QStringLiteral("flat"));
  connect(add, &QPushButton::clicked, this, [this] {
    hide();
    actions_.openWindow(WindowKind::pairing);
  });
  layout->addWidget(add);

  // The boxes show what was saved: a click asks for the change and the box follows the
  // snapshot, which changes only once the change has been made.
  openAtLogin_ = new QCheckBox(QString::fromUtf8(labels::openAtLogin));
  connect(openAtLogin_, &QCheckBox::clicked, this, [this](bool on) {
    model_.setOpenAtLogin(on);
    openAtLogin_->setChecked(model_.snapshot().launchAtLogin);
  });
  layout->addWidget(openAtLogin_);

  keepAwake_ = new QCheckBox(QString::fromUtf8(labels::keepAwake));
  keepAwake_->setToolTip(QStringLiteral(
      "Stops idle sleep so this computer stays reachable from anywhere. The display can still "
      "sleep."));
  connect(keepAwake_, &QCheckBox::clicked, this, [this](bool on) {
    model_.setKeepAwake(on);
    keepAwake_->setChecked(model_.snapshot().keepAwake);
  });
  layout->addWidget(keepAwake_);

  settingsProblem_ = secondaryLabel(QString(), true);
  QPalette warning = settingsProblem_->palette();
  warning.setColor(QPalette::WindowText, kOrange);
  settingsProblem_->setPalette(warning);
  settingsProblem_->hide();
  layout->addWidget(settingsProblem_);

  renameRow_ = new QWidget;
  auto* renameLayout = new QHBoxLayout(renameRow_);
  renameLayout->setContentsMargins(0, 0, 0, 0);
  renameField_ = new QLineEdit;
  renameField_->setPlaceholderText(QStringLiteral("Computer name"));
  save_ = new QPushButton(QStringLiteral("Save"));
  renameLayout->addWidget(renameField_, 1);
  renameLayout->addWidget(save_);
  connect(renameField_, &QLineEdit::returnPressed, this, &MenuPanel::submitRename);
  connect(save_, &QPushButton::clicked, this, &MenuPanel::submitRename);
  renameRow_->hide();
  layout->addWidget(renameRow_);

  layout->addWidget(divider());

  auto* footer = new QHBoxLayout;
  auto* moreButton = new QToolButton;
  moreButton->setText(QStringLiteral("More"));
  moreButton->setPopupMode(QToolButton::InstantPopup);
  more_ = new QMenu(moreButton);
  more_->addAction(QString::fromUtf8(labels::rename), this, &MenuPanel::startRenaming);
  more_->addAction(QString::fromUtf8(labels::setUpPermissions), this, [this] {
    hide();
    actions_.openWindow(WindowKind::setup);
  });
  leave_ = more_->addAction(QString::fromUtf8(labels::leaveAccount), this,
                            &MenuPanel::confirmLeave);
  moreButton->setMenu(more_);
  footer->addWidget(moreButton);
  footer->addStretch();
  auto* quit = new QPushButton(QString::fromUtf8(labels::quit));
  connect(quit, &QPushButton::clicked, this, [this] { actions_.quit(); });
  footer->addWidget(quit);
  layout->addLayout(footer);

  connect(&model_, &HostModel::changed, this, &MenuPanel::refresh);
  refresh();
}

void MenuPanel::refresh() {
  const HostSnapshot& host = model_.snapshot();
  name_->setText(QString::fromStdString(host.name));
  const MenuItems items = menuItems(host);
  finishSetup_->setVisible(items.finishSetup);
  keepAwake_->setVisible(items.keepAwake);
  leave_->setVisible(items.leaveAccount);
  openAtLogin_->setChecked(host.launchAtLogin);
  keepAwake_->setChecked(host.keepAwake);
  settingsProblem_->setText(QString::fromStdString(host.settingsProblem));
  settingsProblem_->setVisible(!host.settingsProblem.empty());

  while (QLayoutItem* item = rowsLayout_->takeAt(0)) {
    delete item->widget();
    delete item;
  }
  for (const StatusRow& row : ui::statusRows(host)) rowsLayout_->addWidget(new StatusRowView(row));
  if (isVisible()) adjustSize();
}

void MenuPanel::startRenaming() {
  renameField_->setText(QString::fromStdString(model_.snapshot().name));
  renameRow_->show();
  renameField_->setFocus();
  renameField_->selectAll();
  adjustSize();
}

void MenuPanel::submitRename() {
  model_.rename(renameField_->text().toStdString());
  renameRow_->hide();
  adjustSize();
}

void MenuPanel::confirmLeave() {
  if (confirmation_) {
    confirmation_->raise();
    return;
  }
  // Not a child of the popup, which closes when the dialog takes the focus.
  auto* box = new QMessageBox(QMessageBox::Warning,
                              QStringLiteral("Remove this computer from your account?"),
                              QStringLiteral("Remove this computer from your account?"));
  box->setInformativeText(QStringLiteral(
      "It won't be reachable from anywhere until you scan its QR code again. It still works on "
      "your home network."));
  QPushButton* remove = box->addButton(QStringLiteral("Remove"), QMessageBox::DestructiveRole);
  box->addButton(QMessageBox::Cancel);
  box->setDefaultButton(QMessageBox::Cancel);
  box->setAttribute(Qt::WA_DeleteOnClose);
  connect(box, &QMessageBox::buttonClicked, this, [this, remove](QAbstractButton* button) {
    if (button == remove) model_.leaveAccount();
  });
  confirmation_ = box;
  box->show();
}

bool MenuPanel::event(QEvent* event) {
  if (event->type() == QEvent::WindowDeactivate && !renameRow_->isVisible()) hide();
  return QFrame::event(event);
}

void MenuPanel::popUpNear(const QRect& anchor) {
  adjustSize();
  QScreen* screen = QGuiApplication::screenAt(anchor.center());
  if (!screen) screen = QGuiApplication::primaryScreen();
  const QRect area = screen->availableGeometry();
  // Below the icon when it sits in a top panel, above it when in a bottom one.
  QPoint at(anchor.center().x() - width() / 2, anchor.bottom() + 4);
  if (anchor.isEmpty()) at = QPoint(anchor.x() - width() / 2, anchor.y() + 4);
  if (at.y() + height() > area.bottom()) at.setY(anchor.top() - height() - 4);
  at.setX(std::clamp(at.x(), area.left() + 4, area.right() - width() - 4));
  at.setY(std::clamp(at.y(), area.top() + 4, std::max(area.top() + 4, area.bottom() - height() - 4)));
  move(at);
  show();
  raise();
  activateWindow();
}

}  // namespace nimbrel::ui
