#pragma once

#include <boost/asio/any_io_executor.hpp>

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/user_settings.hpp"

namespace nimbrel {

namespace asio = boost::asio;

// The one owner of settings.json. Every change goes through `change`, which edits the settings
// as last saved and writes them, one change at a time and in order, on the `saves` strand (a
// worker: writing waits on the disk). No two writers race on the file, no change is lost, and
// nobody reads the file but this store, once, when it opens.
//
// Thread-safety: every member may be called from any thread.
class SettingsStore : public std::enable_shared_from_this<SettingsStore> {
  struct Private {};

 public:
  // What a change left on disk: the settings saved, and why the change was not (empty: saved).
  using Done = std::function<void(const UserSettings& saved, const std::string& error)>;

  // Reads `path` now (missing or damaged: the defaults).
  static std::shared_ptr<SettingsStore> open(std::filesystem::path path,
                                             asio::any_io_executor saves);
  SettingsStore(Private, std::filesystem::path path, asio::any_io_executor saves);

  // The settings as saved by the last change that worked.
  UserSettings saved() const;

  // Applies `edit` to the saved settings and writes them. `done` runs on the saves strand with
  // the outcome; when the write failed, the saved settings stay as they were (and the failure
  // is also logged).
  void change(std::function<void(UserSettings&)> edit, Done done = {});

  const std::filesystem::path& path() const { return path_; }

 private:
  const std::filesystem::path path_;
  const asio::any_io_executor saves_;
  mutable std::mutex lock_;  // guards saved_
  UserSettings saved_;
};

}  // namespace nimbrel
