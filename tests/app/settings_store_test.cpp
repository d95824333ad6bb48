// settings.json has one owner: changes from any thread are applied in turn to what was saved,
// none lost; and the files that hold secrets are never readable by others, not even while
// they are being written or when writing fails half-way.

#include "app/settings_store.hpp"

#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "app/host_config.hpp"
#include "support/temp_dir.hpp"

namespace nimbrel {
namespace {

namespace fs = std::filesystem;

TEST(SettingsStore, ChangesFromManyThreadsAreAllKept) {
  test::TempDir dir;
  boost::asio::thread_pool workers(4);
  auto store = SettingsStore::open(dir / "nimbrel" / "settings.json",
                                   boost::asio::make_strand(workers));
  constexpr int kChanges = 200;
  std::promise<void> allDone;
  std::atomic<int> done = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kChanges / 4; ++i) {
        store->change(
            [t](UserSettings& settings) {
              settings.leaveToken += static_cast<char>('a' + t);
              if (t == 1) settings.pairedOnce = true;
              if (t == 2) settings.keepAwake = false;
            },
            [&](const UserSettings&, const std::string& error) {
              EXPECT_EQ(error, "");
              if (++done == kChanges) allDone.set_value();
            });
      }
    });
  }
  for (auto& thread : threads) thread.join();
  allDone.get_future().wait();
  const UserSettings onDisk = loadUserSettings(dir / "nimbrel" / "settings.json");
  EXPECT_EQ(onDisk.leaveToken.size(), static_cast<std::size_t>(kChanges));
  for (const char c : {'a', 'b', 'c', 'd'}) {
    EXPECT_EQ(std::count(onDisk.leaveToken.begin(), onDisk.leaveToken.end(), c), kChanges / 4);
  }
  EXPECT_TRUE(onDisk.pairedOnce);
  EXPECT_FALSE(onDisk.keepAwake);
  EXPECT_EQ(store->saved().leaveToken, onDisk.leaveToken);
  workers.join();
}

TEST(SettingsStore, AFailedWriteKeepsWhatWasSavedAndSaysWhy) {
  test::TempDir dir;
  { std::ofstream(dir / "file") << "x"; }
  boost::asio::thread_pool workers(1);
  auto store = SettingsStore::open(dir / "file" / "settings.json", workers.get_executor());
  std::promise<std::pair<UserSettings, std::string>> outcome;
  store->change([](UserSettings& settings) { settings.keepAwake = false; },
                [&](const UserSettings& saved, const std::string& error) {
                  outcome.set_value({saved, error});
                });
  const auto [saved, error] = outcome.get_future().get();
  EXPECT_TRUE(saved.keepAwake);
  EXPECT_EQ(error, "Not a directory");
  EXPECT_TRUE(store->saved().keepAwake);
  workers.join();
}

// Writes in a child process whose files may not grow past 16 bytes, as on a full disk, with
// the usual umask: whatever is left in the folder must be the owner's alone.
template <typename Write>
std::vector<std::pair<fs::path, fs::perms>> leftAfterAFailedWrite(const fs::path& folder,
                                                                  Write write) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    ::umask(022);
    const rlimit small{16, 16};
    ::setrlimit(RLIMIT_FSIZE, &small);
    write();
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  std::vector<std::pair<fs::path, fs::perms>> left;
  for (const auto& entry : fs::directory_iterator(folder)) {
    left.emplace_back(entry.path().filename(), entry.status().permissions());
  }
  return left;
}

TEST(PrivateFiles, AWriteThatFailsHalfWayLeavesNothingReadableByOthers) {
  test::TempDir dir;
  const fs::path settings = dir / "settings";
  const fs::path config = dir / "config";
  fs::create_directories(settings);
  fs::create_directories(config);
  UserSettings secret;
  secret.leaveToken = std::string(64, 't');
  for (const auto& [name, entry] : leftAfterAFailedWrite(settings, [&] {
         saveUserSettings(secret, settings / "settings.json");
       })) {
    ADD_FAILURE() << "settings: " << name << " was left behind, mode " << std::oct
                  << static_cast<int>(entry);
  }
  for (const auto& [name, entry] :
       leftAfterAFailedWrite(config, [&] { saveConfig(newIdentity(), config); })) {
    ADD_FAILURE() << "config: " << name << " was left behind, mode " << std::oct
                  << static_cast<int>(entry);
  }
  // Written whole, both are the owner's alone.
  ::umask(022);
  ASSERT_TRUE(saveUserSettings(secret, settings / "settings.json"));
  saveConfig(newIdentity(), config);
  for (const fs::path& file : {settings / "settings.json", config / "config.json"}) {
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write)
        << file;
  }
}

}  // namespace
}  // namespace nimbrel
