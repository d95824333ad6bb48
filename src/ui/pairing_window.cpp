#include "ui/pairing_window.hpp"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

#include "ui/mascot.hpp"
#include "ui/qr_code.hpp"
#include "ui/theme.hpp"

namespace nimbrel::ui {

PairingWindow::PairingWindow(HostModel& model, AppActions actions, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::CustomizeWindowHint),
      model_(model), actions_(std::move(actions)) {
  setWindowTitle(QStringLiteral("Add Your Phone"));
  applyTheme(this);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(28, 22, 28, 20);
  layout->setSpacing(10);
  layout->addWidget(new Mascot(Pose::wave, 96), 0, Qt::AlignHCenter);

  title_ = new QLabel;
  QFont titleFont = title_->font();
  titleFont.setPointSizeF(titleFont.pointSizeF() * 1.35);
  titleFont.setWeight(QFont::DemiBold);
  title_->setFont(titleFont);
  layout->addWidget(title_, 0, Qt::AlignHCenter);

  how_ = new QLabel;
  how_->setWordWrap(true);
  how_->setAlignment(Qt::AlignHCenter);
  layout->addWidget(how_);

  qr_ = new QrView;
  layout->addWidget(qr_, 0, Qt::AlignHCenter);

  // The other code, as a quiet link-like button under the QR code.
  switch_ = new QPushButton;
  switch_->setFlat(true);
  switch_->setCursor(Qt::PointingHandCursor);
  switch_->setStyleSheet(
      QStringLiteral("QPushButton { color: %1; background: transparent; border: none; }")
          .arg(kAccent.name()));
  layout->addWidget(switch_, 0, Qt::AlignHCenter);

  // One wrapping line; in the account it starts with a green seal.
  account_ = secondaryLabel(QString());
  account_->setAlignment(Qt::AlignHCenter);
  account_->setTextFormat(Qt::RichText);
  layout->addWidget(account_);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  copy_ = new QPushButton(QStringLiteral("Copy Browser Link"));  // the longer of its labels
  copy_->setMinimumWidth(copy_->sizeHint().width());  // keeps its width when it reads "Copied"
  done_ = new QPushButton(QStringLiteral("Done"));
  // A default button answers Return only in a dialog: this window says so itself.
  for (const QKeySequence& key : {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)}) {
    connect(new QShortcut(key, this), &QShortcut::activated, done_, &QPushButton::click);
  }
  buttons->addWidget(copy_);
  buttons->addWidget(done_);
  buttons->addStretch();
  layout->addLayout(buttons);

  layout->addWidget(secondaryLabel(
      QStringLiteral(
          "The link contains this computer's pairing key. Only share it with your own devices."),
      true));

  connect(copy_, &QPushButton::clicked, this, [this] {
    const std::string link = pairingView(model_.snapshot(), wanted_).qrText;
    QGuiApplication::clipboard()->setText(QString::fromStdString(link), QClipboard::Clipboard);
    copy_->setText(QStringLiteral("Copied"));
    markPairedOnce();
  });
  connect(switch_, &QPushButton::clicked, this, [this] {
    wanted_ = pairingView(model_.snapshot(), wanted_).code == PairingCode::app
                  ? PairingCode::browser
                  : PairingCode::app;
    copy_->setText(QString());  // "Copied" was about the other link
    refresh();
  });
  connect(done_, &QPushButton::clicked, this, [this] {
    markPairedOnce();
    close();
  });
  connect(&model_, &HostModel::changed, this, &PairingWindow::refresh);
  refresh();
  setFixedWidth(400);
}

void PairingWindow::refresh() {
  const HostSnapshot& host = model_.snapshot();
  const PairingView view = pairingView(host, wanted_);
  title_->setText(QString::fromStdString(view.title));
  how_->setText(QString::fromStdString(view.how));
  // Always in the layout (a white square until there is a link), so that the window is sized
  // for it from the start.
  qr_->setText(view.qrText);
  switch_->setText(QString::fromStdString(view.switchLabel));
  switch_->setVisible(!view.switchLabel.empty());
  account_->setVisible(view.accountLine);
  if (copy_->text() != QStringLiteral("Copied")) {
    copy_->setText(QString::fromStdString(view.copyLabel));
  }
  const AccountLine line = accountLine(host);
  const QString text = QString::fromStdString(line.text).toHtmlEscaped();
  account_->setText(line.inAccount
                        ? QStringLiteral("<span style=\"color:#1f9d55\">&#10004;</span>&nbsp;") + text
                        : text);
  QPalette palette = account_->palette();
  palette.setColor(QPalette::WindowText, line.inAccount ? QColor(0x1b, 0x22, 0x30) : kSecondary);
  account_->setPalette(palette);
  // A window's layout counts a wrapping label as one line: make room for every line of each.
  const QMargins margins = layout()->contentsMargins();
  const int width = 400 - margins.left() - margins.right();
  for (QLabel* label : findChildren<QLabel*>()) {
    if (label->wordWrap()) label->setMinimumHeight(label->heightForWidth(width));
  }
  layout()->activate();
  adjustSize();
}

void PairingWindow::markPairedOnce() {
  if (!model_.snapshot().pairedOnce) model_.markPairedOnce();
}

}  // namespace nimbrel::ui
