#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <string>

#include "ui/host_snapshot.hpp"

namespace nimbrel {

class HostController;

namespace ui {

// What the views see of the host: the latest snapshot, a signal when it changed, and the
// user's actions. Lives on the UI thread; nothing here waits on the controller.
class HostModel : public QObject {
  Q_OBJECT

 public:
  using QObject::QObject;

  const HostSnapshot& snapshot() const { return snapshot_; }
  // Replaces the snapshot; emits changed() when it differs.
  void publish(HostSnapshot snapshot);

  virtual void rename(const std::string& name) = 0;
  virtual void leaveAccount() = 0;
  virtual void setKeepAwake(bool on) = 0;
  virtual void setOpenAtLogin(bool on) = 0;
  virtual void markPairedOnce() = 0;
  virtual void refreshPermissions() = 0;

 signals:
  void changed();

 private:
  HostSnapshot snapshot_;
};

// The model of a real controller. The controller's change hook takes a snapshot on its strand
// and posts it here; actions are posted to the strand.
class ControllerModel : public HostModel {
  Q_OBJECT

 public:
  explicit ControllerModel(QObject* parent = nullptr);
  ~ControllerModel() override;

  // Install as HostController::Services::onChange before creating the controller.
  std::function<void()> changeHook();
  // The controller the hook reports on; takes a first snapshot.
  void attach(std::shared_ptr<HostController> controller);
  const std::shared_ptr<HostController>& controller() const { return controller_; }

  void rename(const std::string& name) override;
  void leaveAccount() override;
  void setKeepAwake(bool on) override;
  void setOpenAtLogin(bool on) override;
  void markPairedOnce() override;
  void refreshPermissions() override;

 private:
  struct Link;
  void onStrand(std::function<void(HostController&)> action);

  std::shared_ptr<Link> link_;
  std::shared_ptr<HostController> controller_;
};

}  // namespace ui
}  // namespace nimbrel
