#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

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
  // Starts `program` with `arguments` as the new first instance: the name goes first, or the
  // new instance would hand over to this one and leave. When the program does not start, the
  // name is taken back and false returned; this instance then carries on.
  bool relaunch(const QString& program, const QStringList& arguments);

 public slots:
  Q_SCRIPTABLE void Show();

 private:
  std::function<void()> comeForward_;
  bool owned_ = false;
};

// The arguments a relaunched instance gets: this one's, less the request to show the pairing
// window, which was for this launch only.
QStringList relaunchArguments(const QStringList& arguments);

}  // namespace nimbrel::ui
