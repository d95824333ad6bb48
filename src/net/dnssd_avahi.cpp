#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>

#include <mutex>

#include "base/log.hpp"
#include "net/dnssd.hpp"

namespace nimbrel {
namespace {

// All callbacks run on the threaded poll's own thread; the mutex guards `name_` for readers on
// other threads.
class AvahiAdvertisement final : public DnsSdAdvertisement {
 public:
  AvahiAdvertisement(std::string name, std::string type, std::uint16_t port, TxtRecord txt)
      : name_(std::move(name)), type_(std::move(type)), port_(port), txt_(std::move(txt)) {}

  bool start() {
    poll_ = avahi_threaded_poll_new();
    if (!poll_) {
      logLine("DNS-SD advertising is off: couldn't create the Avahi event loop.");
      return false;
    }
    avahi_threaded_poll_lock(poll_);
    connect();
    avahi_threaded_poll_unlock(poll_);
    if (avahi_threaded_poll_start(poll_) < 0) {
      logLine("DNS-SD advertising is off: couldn't start the Avahi event loop.");
      return false;
    }
    started_ = true;
    return true;
  }

  ~AvahiAdvertisement() override {
    if (started_) avahi_threaded_poll_stop(poll_);
    if (client_) avahi_client_free(client_);  // frees the entry group too
    if (poll_) avahi_threaded_poll_free(poll_);
  }

  std::string publishedName() const override {
    std::lock_guard lock(nameLock_);
    return name_;
  }

 private:
  // On the poll thread (or under its lock).
  void connect() {
    int error = 0;
    group_ = nullptr;
    client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AVAHI_CLIENT_NO_FAIL,
                               &AvahiAdvertisement::onClientState, this, &error);
    if (!client_) {
      logLine(std::string("DNS-SD advertising is off: ") + avahi_strerror(error));
    }
  }

  static void onClientState(AvahiClient* client, AvahiClientState state, void* self) {
    static_cast<AvahiAdvertisement*>(self)->clientState(client, state);
  }

  void clientState(AvahiClient* client, AvahiClientState state) {
    client_ = client;  // also reached before avahi_client_new returns
    switch (state) {
      case AVAHI_CLIENT_S_RUNNING:
        unavailableLogged_ = false;
        publishService();
        break;
      case AVAHI_CLIENT_S_COLLISION:
      case AVAHI_CLIENT_S_REGISTERING:
        // The host name is changing: publish again once the daemon is running.
        if (group_) avahi_entry_group_reset(group_);
        break;
      case AVAHI_CLIENT_CONNECTING:
        logUnavailable("avahi-daemon is not running");
        break;
      case AVAHI_CLIENT_FAILURE:
        if (avahi_client_errno(client) == AVAHI_ERR_DISCONNECTED) {
          // The daemon went away (or restarts): wait for it with a new client.
          logUnavailable("avahi-daemon stopped");
          avahi_client_free(client);
          client_ = nullptr;
          connect();
        } else {
          logLine(std::string("DNS-SD advertising failed: ") +
                  avahi_strerror(avahi_client_errno(client)));
        }
        break;
    }
  }

  void logUnavailable(const char* why) {
    if (unavailableLogged_) return;
    unavailableLogged_ = true;
    logLine(std::string("DNS-SD advertising is waiting (") + why +
            "); the host can still be reached at its address.");
  }

  static void onGroupState(AvahiEntryGroup* group, AvahiEntryGroupState state, void* self) {
    static_cast<AvahiAdvertisement*>(self)->groupState(group, state);
  }

  void groupState(AvahiEntryGroup* group, AvahiEntryGroupState state) {
    group_ = group;
    if (state == AVAHI_ENTRY_GROUP_COLLISION) {
      // Another service on the network has this name: take the daemon's alternative.
      {
        std::lock_guard lock(nameLock_);
        char* alternative = avahi_alternative_service_name(name_.c_str());
        name_ = alternative;
        avahi_free(alternative);
      }
      publishService();
    } else if (state == AVAHI_ENTRY_GROUP_FAILURE) {
      logLine(std::string("DNS-SD advertising failed: ") +
              avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))));
    }
  }

  void publishService() {
    if (!group_) {
      group_ = avahi_entry_group_new(client_, &AvahiAdvertisement::onGroupState, this);
      if (!group_) {
        logLine(std::string("DNS-SD advertising failed: ") +
                avahi_strerror(avahi_client_errno(client_)));
        return;
      }
    }
    avahi_entry_group_reset(group_);
    AvahiStringList* txt = nullptr;
    for (const auto& [key, value] : txt_) {
      txt = avahi_string_list_add_pair(txt, key.c_str(), value.c_str());
    }
    const std::string name = publishedName();
    int result = avahi_entry_group_add_service_strlst(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                     AvahiPublishFlags(0), name.c_str(),
                                                     type_.c_str(), nullptr, nullptr, port_, txt);
    avahi_string_list_free(txt);
    if (result == AVAHI_ERR_COLLISION) {
      groupState(group_, AVAHI_ENTRY_GROUP_COLLISION);
      return;
    }
    if (result >= 0) result = avahi_entry_group_commit(group_);
    if (result < 0) logLine(std::string("DNS-SD advertising failed: ") + avahi_strerror(result));
  }

  mutable std::mutex nameLock_;
  std::string name_;
  const std::string type_;
  const std::uint16_t port_;
  const TxtRecord txt_;
  AvahiThreadedPoll* poll_ = nullptr;
  AvahiClient* client_ = nullptr;
  AvahiEntryGroup* group_ = nullptr;
  bool started_ = false;
  bool unavailableLogged_ = false;
};

}  // namespace

std::unique_ptr<DnsSdAdvertisement> DnsSdAdvertisement::publish(std::string instanceName,
                                                                 std::string type,
                                                                 std::uint16_t port,
                                                                 TxtRecord txt) {
  auto advertisement = std::make_unique<AvahiAdvertisement>(std::move(instanceName),
                                                            std::move(type), port, std::move(txt));
  advertisement->start();
  return advertisement;
}

}  // namespace nimbrel
