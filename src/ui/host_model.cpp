#include "ui/host_model.hpp"

#include <QCoreApplication>
#include <QPointer>

#include <boost/asio/post.hpp>

#include <mutex>

#include "app/host_controller.hpp"

namespace nimbrel::ui {

void HostModel::publish(HostSnapshot snapshot) {
  if (snapshot == snapshot_) return;
  snapshot_ = std::move(snapshot);
  emit changed();
}

// Shared by the hook (called on the strand) and the model (on the UI thread).
struct ControllerModel::Link {
  std::mutex lock;  // guards the two pointers below, for a few instructions at a time
  std::weak_ptr<HostController> controller;
  QPointer<ControllerModel> model;  // read only on the UI thread
};

ControllerModel::ControllerModel(QObject* parent)
    : HostModel(parent), link_(std::make_shared<Link>()) {
  link_->model = this;
}

ControllerModel::~ControllerModel() {
  const std::lock_guard guard(link_->lock);
  link_->controller.reset();
}

std::function<void()> ControllerModel::changeHook() {
  return [link = link_] {
    std::shared_ptr<HostController> controller;
    {
      const std::lock_guard guard(link->lock);
      controller = link->controller.lock();
    }
    if (!controller) return;  // still under construction, or the model is gone
    HostSnapshot snapshot = takeSnapshot(*controller);
    // The application object outlives every window; the model may not, hence the check there.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [link, snapshot = std::move(snapshot)]() mutable {
          if (link->model) link->model->publish(std::move(snapshot));
        },
        Qt::QueuedConnection);
  };
}

void ControllerModel::attach(std::shared_ptr<HostController> controller) {
  {
    const std::lock_guard guard(link_->lock);
    link_->controller = controller;
  }
  controller_ = std::move(controller);
  boost::asio::post(controller_->executor(), [hook = changeHook()] { hook(); });
}

void ControllerModel::onStrand(std::function<void(HostController&)> action) {
  if (!controller_) return;
  boost::asio::post(controller_->executor(),
                    [controller = controller_, action = std::move(action)] { action(*controller); });
}

void ControllerModel::rename(const std::string& name) {
  onStrand([name](HostController& c) { c.rename(name); });
}
void ControllerModel::leaveAccount() {
  onStrand([](HostController& c) { c.leaveAccount(); });
}
void ControllerModel::setKeepAwake(bool on) {
  onStrand([on](HostController& c) { c.setKeepAwake(on); });
}
void ControllerModel::setOpenAtLogin(bool on) {
  onStrand([on](HostController& c) { c.setOpenAtLogin(on); });
}
void ControllerModel::markPairedOnce() {
  onStrand([](HostController& c) { c.markPairedOnce(); });
}
void ControllerModel::refreshPermissions() {
  onStrand([](HostController& c) { c.refreshPermissions(); });
}

}  // namespace nimbrel::ui
