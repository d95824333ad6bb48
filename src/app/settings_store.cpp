#include "app/settings_store.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

namespace nimbrel {

std::shared_ptr<SettingsStore> SettingsStore::open(std::filesystem::path path,
                                                   asio::any_io_executor saves) {
  return std::make_shared<SettingsStore>(Private{}, std::move(path), std::move(saves));
}

SettingsStore::SettingsStore(Private, std::filesystem::path path, asio::any_io_executor saves)
    : path_(std::move(path)), saves_(std::move(saves)), saved_(loadUserSettings(path_)) {}

UserSettings SettingsStore::saved() const {
  const std::lock_guard guard(lock_);
  return saved_;
}

void SettingsStore::change(std::function<void(UserSettings&)> edit, Done done) {
  // One change at a time on the strand: each starts from what the one before it saved.
  asio::post(saves_, [self = shared_from_this(), edit = std::move(edit), done = std::move(done)] {
    UserSettings next = self->saved();
    edit(next);
    std::string error;
    if (saveUserSettings(next, self->path_, error)) {
      const std::lock_guard guard(self->lock_);
      self->saved_ = next;
    }
    if (done) done(self->saved(), error);
  });
}

}  // namespace nimbrel
