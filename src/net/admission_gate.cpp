#include "net/admission_gate.hpp"

#include <algorithm>
#include <map>

namespace nimbrel {

std::optional<std::size_t> connectionToDrop(const std::vector<std::string>& waiting,
                                            const std::string& address, AdmissionLimits limits) {
  struct Load {
    std::size_t count = 0;
    std::size_t oldest = 0;
  };
  std::map<std::string, Load> loads;
  for (std::size_t i = 0; i < waiting.size(); ++i) {
    Load& load = loads[waiting[i]];
    if (load.count++ == 0) load.oldest = i;
  }
  if (const auto own = loads.find(address);
      own != loads.end() && own->second.count >= limits.perAddress) {
    return own->second.oldest;
  }
  if (waiting.size() < limits.total || waiting.empty()) return std::nullopt;
  const auto busiest = std::max_element(loads.begin(), loads.end(), [](const auto& a, const auto& b) {
    if (a.second.count != b.second.count) return a.second.count < b.second.count;
    return a.second.oldest > b.second.oldest;
  });
  return busiest->second.oldest;
}

std::shared_ptr<AdmissionGate> AdmissionGate::create(AdmissionLimits limits) {
  return std::make_shared<AdmissionGate>(Private{}, limits);
}

AdmissionGate::AdmissionGate(Private, AdmissionLimits limits) : limits_(limits) {}

std::shared_ptr<AdmissionGate::Ticket> AdmissionGate::admit(const std::string& address) {
  std::shared_ptr<Ticket> ticket;
  std::vector<std::shared_ptr<Ticket>> pushedOut;
  {
    const std::lock_guard guard(lock_);
    for (;;) {
      std::vector<std::string> addresses;
      addresses.reserve(entries_.size());
      for (const Entry& entry : entries_) addresses.push_back(entry.address);
      const auto drop = connectionToDrop(addresses, address, limits_);
      if (!drop) break;
      if (auto victim = entries_[*drop].ticket.lock()) pushedOut.push_back(std::move(victim));
      entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(*drop));
    }
    ticket = std::make_shared<Ticket>(weak_from_this(), nextID_);
    entries_.push_back({nextID_++, address, ticket});
  }
  for (const auto& victim : pushedOut) victim->evict();
  return ticket;
}

std::size_t AdmissionGate::waiting() const {
  const std::lock_guard guard(lock_);
  return entries_.size();
}

void AdmissionGate::leave(std::uint64_t id) {
  const std::lock_guard guard(lock_);
  std::erase_if(entries_, [id](const Entry& entry) { return entry.id == id; });
}

AdmissionGate::Ticket::~Ticket() {
  if (auto gate = gate_.lock()) gate->leave(id_);
}

void AdmissionGate::Ticket::onEvict(std::function<void()> evict) {
  {
    const std::lock_guard guard(lock_);
    if (!evicted_) {
      evict_ = std::move(evict);
      return;
    }
  }
  if (evict) evict();
}

void AdmissionGate::Ticket::evict() {
  std::function<void()> evict;
  {
    const std::lock_guard guard(lock_);
    evicted_ = true;
    evict.swap(evict_);
  }
  if (evict) evict();
}

}  // namespace nimbrel
