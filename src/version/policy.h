// The administrator's policy for a product: whether it updates at all,
// which version line it may take, and how often it checks. Read from where
// no update package can write (the OS layer's ReadPolicyValue), never
// written.
#pragma once

#include <cstdint>
#include <string>

struct Policy {
  enum Updates : uint32_t { kOff = 0, kAsConfigured = 1, kManualOnly = 2 };
  Updates updates = kAsConfigured;
  // Only versions that begin with it are taken; empty: any.
  std::string targetVersionPrefix;
  // Replaces check_hours when set; 0 means every run.
  bool hasCheckHours = false;
  uint32_t checkHours = 0;
  // The values of the wrong type or out of range, which count as absent,
  // in words ("CheckHours is not a DWORD from 0 to 8760").
  std::string ignored;
  bool any = false;  // some value was set
};
Policy ReadPolicy(const std::string& product);
// The policy in words, for the vendor's tool.
std::string DescribePolicy(const Policy& policy);
// True when the policy lets version be taken.
bool PolicyTakes(const Policy& policy, const std::string& version);
