#pragma once

#include <QObject>
#include <QString>

#include <functional>

namespace nimbrel::ui {

// One tray application per session: the first to own a well-known name on the session bus
// runs; a later launch asks it to come forward and leaves.
class SingleInstance : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "io.nimbrel.Host")

 public:
  static constexpr const char* kService = "io.nimbrel.Host";
  static constexpr const char* kPath = "/io/nimbrel/Host";

  enum class Claim { first, another, noBus };

  explicit SingleInstance(std::function<void()> comeForward, QObject* parent = nullptr);
  // Takes the name, or asks its owner to come forward.
  Claim claim();
  // Lets the name go (before a relaunch starts the new instance).
  void release();

 public slots:
  Q_SCRIPTABLE void Show();

 private:
  std::function<void()> comeForward_;
  bool owned_ = false;
};

}  // namespace nimbrel::ui
