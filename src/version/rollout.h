// Staged releases: the manifest offers a new version to a share of the
// installations, decided on each machine from what it already has (its
// machine id), the same from run to run, with nothing written or sent.
#pragma once

#include <cstdint>
#include <string>

// Shares in hundredths of a percent: 10000 is everyone.
constexpr uint32_t kWholeShare = 10000;

// What the manifest's rollout keys say. Without rollout= (and without the
// ramp keys) a release goes to everyone; a key that is given but not well
// formed gives it to nobody: a staged release must never reach every
// machine by mistake.
struct RolloutPlan {
  bool staged = false;     // any rollout key was given
  bool malformed = false;  // one of them was not well formed
  uint32_t share = kWholeShare;
  bool ramp = false;  // grows from share at start to everyone after hours
  int64_t start = 0;  // seconds since 1970, UTC
  uint32_t hours = 0;
};

// The plan of a manifest text (values end at CR, as every key's).
RolloutPlan ReadRolloutPlan(const std::string& text);

// "10", "37.5", "0.25": 0 to 100 with at most two decimals, in hundredths
// of a percent; false for anything else.
bool ParseRolloutShare(const std::string& text, uint32_t& share);
// A whole number of hours from 1 to 8760 (a year).
bool ParseRolloutHours(const std::string& text, uint32_t& hours);

// The share that the plan gives at the moment now (seconds since 1970, UTC),
// floored to hundredths of a percent: the plan's share until the start, then
// growing linearly to everyone over the ramp's hours.
uint32_t RolloutShareAt(const RolloutPlan& plan, int64_t now);

// The machine's place in the order of a release, from 0 to 9999: the first
// four bytes, big-endian, of SHA-256(machineId LF product LF version),
// modulo 10000. A machine is offered the release while its bucket is below
// the share.
uint32_t RolloutBucket(const std::string& machineId, const std::string& product,
                       const std::string& version);

// True when the machine with machineId is offered the release of product at
// version while share holds. A machine without an id is always offered it:
// no machine is locked out of updates for want of one.
bool RolloutOffers(const std::string& machineId, uint32_t share, const std::string& product,
                   const std::string& version);

// The share in percent, as the manifest would write it ("37.5", "0.25").
std::string ShareText(uint32_t share);
