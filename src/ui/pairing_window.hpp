#pragma once

#include <QWidget>

#include "ui/app_actions.hpp"
#include "ui/host_model.hpp"
#include "ui/ui_rules.hpp"

class QLabel;
class QPushButton;

namespace nimbrel::ui {

class QrView;

// "Add Your Phone": the pairing link as a QR code, whether scanning it also adds this computer
// to the account, and the link to copy; or, for a device without the app, the browser link.
// Copy and Done record that the user has paired once.
class PairingWindow : public QWidget {
  Q_OBJECT

 public:
  PairingWindow(HostModel& model, AppActions actions, QWidget* parent = nullptr);

  QrView* qr() const { return qr_; }
  QLabel* accountLabel() const { return account_; }
  QPushButton* copyButton() const { return copy_; }
  QPushButton* doneButton() const { return done_; }
  QPushButton* switchButton() const { return switch_; }

 private:
  void refresh();
  void markPairedOnce();

  HostModel& model_;
  AppActions actions_;
  PairingCode wanted_ = PairingCode::app;
  QLabel* title_;
  QLabel* how_;
  QrView* qr_;
  QPushButton* switch_;
  QLabel* account_;
  QPushButton* copy_;
  QPushButton* done_;
};

}  // namespace nimbrel::ui
