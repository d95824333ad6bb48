#include "ui/single_instance.hpp"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QProcess>

namespace nimbrel::ui {

SingleInstance::SingleInstance(std::function<void()> comeForward, QObject* parent)
    : QObject(parent), comeForward_(std::move(comeForward)) {}

SingleInstance::Claim SingleInstance::claim() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return Claim::noBus;
  bus.registerObject(QString::fromLatin1(kPath), this, QDBusConnection::ExportScriptableSlots);
  // Not queued: a second instance must learn at once that it is one.
  const auto reply = bus.interface()->registerService(
      QString::fromLatin1(kService), QDBusConnectionInterface::DontQueueService,
      QDBusConnectionInterface::DontAllowReplacement);
  if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered) {
    owned_ = true;
    return Claim::first;
  }
  bus.unregisterObject(QString::fromLatin1(kPath));
  QDBusMessage show = QDBusMessage::createMethodCall(
      QString::fromLatin1(kService), QString::fromLatin1(kPath), QString::fromLatin1(kService),
      QStringLiteral("Show"));
  bus.call(show, QDBus::Block, 5000);
  return Claim::another;
}

void SingleInstance::release() {
  if (!owned_) return;
  QDBusConnection::sessionBus().unregisterService(QString::fromLatin1(kService));
  owned_ = false;
}

bool SingleInstance::relaunch(const QString& program, const QStringList& arguments) {
  const bool owned = owned_;
  release();
  if (QProcess::startDetached(program, arguments)) return true;
  if (owned) claim();
  return false;
}

QStringList relaunchArguments(const QStringList& arguments) {
  QStringList kept;
  for (const QString& argument : arguments) {
    if (argument != QLatin1String("--show-pairing")) kept << argument;
  }
  return kept;
}

void SingleInstance::Show() {
  if (comeForward_) comeForward_();
}

}  // namespace nimbrel::ui
