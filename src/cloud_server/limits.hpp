#pragma once

#include <cstddef>

#include "cloud_server/rate_limiter.hpp"

namespace nimbrel::cloud {

// Every number the service works by, in one place, with the reason beside it.
struct Limits {
  // A claim code lives long enough to walk to another room and type it, and no longer.
  double codeLifetime = 600;
  // The pace the host polls an open claim at ("interval").
  double pollInterval = 3;
  // Relay tokens last an hour (--relay-token-lifetime); the host renews them ten minutes before
  // they run out. A token opens control connections while it lasts; the control connection it
  // opened lasts as long as the host keeps it, and its session sockets are taken with the same
  // token for as long as it is open.
  double relayTokenLifetime = 3600;
  // A client opens the relay right after getting its ticket.
  double ticketLifetime = 60;
  // Removed hosts are kept this long after their removal so that their relay tokens are
  // answered "removed" (4410) rather than "unknown" (4401) until the last of them expires.
  double removedHostRetention = 2 * 3600;

  // Enrolment: a few hosts behind one address enrolling now and then, never a flood of codes.
  // "One address" is an IPv4 address or an IPv6 /64 (addressKey in request.hpp), here and in
  // every other limit per address.
  RateRule enrollPerAddress{20, 1.0 / 30};
  // Polling every 3 s by up to a dozen hosts behind one address.
  RateRule pollPerAddress{60, 4};
  // A host asks for a relay token about once an hour; more than a few a minute is a loop.
  RateRule relayTokensPerHost{10, 1.0 / 30};
  // A person opening sessions by hand, or a script doing it now and then.
  RateRule ticketsPerAccount{30, 0.5};
  // Claim codes have 40 bits; ten tries and then one every ten seconds makes guessing hopeless.
  RateRule claimsPerAccount{10, 0.1};

  // Open connections (API requests and relay WebSockets alike), from one address and in all.
  // A team's hosts (a control connection and up to eight sessions each) and its clients behind
  // one address stay well below; the total stays below the descriptors the service has.
  int maxConnectionsPerAddress = 256;
  int maxConnections = 4096;
  // Connections beyond those caps still get an answer ("busy", with Retry-After), but only this
  // many at a time; the rest are closed unanswered.
  int maxRefusals = 32;
  double refusalRetryAfter = 10;

  // Relay upgrades that fail (unknown, expired or revoked credentials, unknown sessions, ids of
  // the wrong shape): a host or client gets one or two wrong now and then; more is guessing, or
  // a loop. Beyond the bucket further upgrades are refused (429) before anything is looked up.
  RateRule failedUpgradesPerAddress{20, 0.2};
  // The same over all addresses together (503), against guessing from many addresses.
  RateRule failedUpgrades{400, 10};

  // API bodies are a few small JSON fields.
  std::size_t maxBodyBytes = 16 * 1024;
  std::size_t maxHeaderBytes = 8 * 1024;
  // A request must arrive whole within this time (slow senders hold no connection for long).
  double requestTimeout = 30;
  // Relayed messages are at most the size the host's transport accepts.
  std::size_t maxMessageBytes = 32u << 20;
  // Hosts send nothing but pings on their control connection.
  std::size_t maxControlMessageBytes = 4096;
  // A session's buffer grows to the largest message it passes; once that message is through,
  // a buffer larger than this is given back rather than kept for the rest of the session.
  std::size_t sessionBufferKeep = 64 * 1024;

  // Concurrent relayed sessions (open or waiting for their host) per host.
  int maxSessionsPerHost = 8;
  // How long a client waits for its host to open the session socket (4504 after).
  double hostArrivalTimeout = 15;
  // A control connection that shows no sign of life (not even a pong) for this long is
  // dropped; the relay pings it at half this time.
  double controlIdleTimeout = 40;
  // The same for relayed sessions, generous: an idle remote session is still a session.
  double sessionIdleTimeout = 120;
  // How long a closing handshake may take before the connection is simply cut.
  double closeTimeout = 5;
  // How often the service looks for changes made by the command line (removed hosts).
  double externalChangeInterval = 1;
  // How often expired records are purged.
  double purgeInterval = 600;
};

}  // namespace nimbrel::cloud
