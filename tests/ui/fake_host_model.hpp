#pragma once

#include <string>
#include <vector>

#include "ui/host_model.hpp"

namespace nimbrel::test {

// A model fed scripted snapshots; records the actions the views ask for.
class FakeHostModel : public ui::HostModel {
 public:
  std::vector<std::string> calls;

  void rename(const std::string& name) override { calls.push_back("rename " + name); }
  void leaveAccount() override { calls.push_back("leaveAccount"); }
  void setKeepAwake(bool on) override { calls.push_back(on ? "keepAwake on" : "keepAwake off"); }
  void setOpenAtLogin(bool on) override {
    calls.push_back(on ? "openAtLogin on" : "openAtLogin off");
  }
  void markPairedOnce() override { calls.push_back("markPairedOnce"); }
  void refreshPermissions() override { calls.push_back("refreshPermissions"); }
};

inline HostSnapshot scriptedHost() {
  HostSnapshot snapshot;
  snapshot.name = "Studio";
  snapshot.listenerState = "listening";
  snapshot.cloudStatus = CloudLink::Status::waitingForClaim;
  snapshot.claimCode = "K7Q2-MX9P";
  snapshot.pairingLink =
      "nimbrel://pair?v=1&id=0123456789abcdef&n=Studio&k=00112233445566778899aabbccddeeff"
      "00112233445566778899aabbccddeeff&p=7300&a=192.168.1.20&os=linux&c=K7Q2-MX9P";
  return snapshot;
}

}  // namespace nimbrel::test
