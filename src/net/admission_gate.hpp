#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace nimbrel {

// How many connections may wait to authenticate at once: in all, and from one address.
struct AdmissionLimits {
  std::size_t total = 32;
  std::size_t perAddress = 8;
};

// Which waiting connection gives way to a new one from `address`: an index into `waiting` (the
// addresses of the waiting connections, oldest first), or nothing when there is room. A full
// address gives up its own oldest; a full gate, the oldest of the address with the most
// waiting (of two as busy, the one whose oldest came first). So a flood from one address
// never keeps another address out, and idle sockets cannot hold a place for ever.
std::optional<std::size_t> connectionToDrop(const std::vector<std::string>& waiting,
                                            const std::string& address, AdmissionLimits limits);

// The connections that have not proved who they are yet. Each holds a ticket from accept until
// it authenticates or ends; a new connection that finds no room pushes out the one that
// connectionToDrop names, through that ticket's eviction.
//
// Thread-safety: every member may be called from any thread; an eviction runs on the thread
// of the `admit` that caused it, outside the gate's lock.
class AdmissionGate : public std::enable_shared_from_this<AdmissionGate> {
  struct Private {};

 public:
  class Ticket;

  static std::shared_ptr<AdmissionGate> create(AdmissionLimits limits = {});
  AdmissionGate(Private, AdmissionLimits limits);

  // A place for a connection from `address`, making room as described above.
  std::shared_ptr<Ticket> admit(const std::string& address);

  // How many connections wait now.
  std::size_t waiting() const;

 private:
  struct Entry {
    std::uint64_t id;
    std::string address;
    std::weak_ptr<Ticket> ticket;
  };

  void leave(std::uint64_t id);

  const AdmissionLimits limits_;
  mutable std::mutex lock_;  // guards the fields below
  std::vector<Entry> entries_;  // oldest first
  std::uint64_t nextID_ = 1;
};

// One waiting connection's place; given up when the ticket is destroyed.
class AdmissionGate::Ticket {
 public:
  Ticket(std::weak_ptr<AdmissionGate> gate, std::uint64_t id) : gate_(std::move(gate)), id_(id) {}
  ~Ticket();
  Ticket(const Ticket&) = delete;
  Ticket& operator=(const Ticket&) = delete;

  // What ends the connection when it is pushed out (replaces the previous one). Called at once
  // when the ticket was pushed out already.
  void onEvict(std::function<void()> evict);

 private:
  friend class AdmissionGate;
  void evict();

  std::weak_ptr<AdmissionGate> gate_;
  const std::uint64_t id_;
  std::mutex lock_;  // guards the two fields below
  std::function<void()> evict_;
  bool evicted_ = false;
};

}  // namespace nimbrel
