#include "version/policy.h"

#include "os/os.h"
#include "version/choices.h"

namespace {

void Ignore(Policy& p, const std::string& why) {
  p.ignored += (p.ignored.empty() ? "" : "; ") + why + ", ignored";
}

}  // namespace

Policy ReadPolicy(const std::string& product) {
  Policy p;
  const os::PolicyValue updates = os::ReadPolicyValue(product, "Updates");
  const os::PolicyValue prefix = os::ReadPolicyValue(product, "TargetVersionPrefix");
  const os::PolicyValue hours = os::ReadPolicyValue(product, "CheckHours");
  p.any = updates.type != os::PolicyType::kAbsent || prefix.type != os::PolicyType::kAbsent ||
          hours.type != os::PolicyType::kAbsent;
  if (updates.type == os::PolicyType::kNumber && updates.number <= Policy::kManualOnly)
    p.updates = static_cast<Policy::Updates>(updates.number);
  else if (updates.type != os::PolicyType::kAbsent)
    Ignore(p, "the policy's Updates is not a DWORD of 0, 1 or 2");
  // The POSIX file writes every value as text; digits there are a version
  // prefix too.
  if (prefix.type == os::PolicyType::kText ||
      (prefix.type == os::PolicyType::kNumber && !prefix.text.empty()))
    p.targetVersionPrefix = prefix.text;
  else if (prefix.type != os::PolicyType::kAbsent)
    Ignore(p, "the policy's TargetVersionPrefix is not a string");
  if (hours.type == os::PolicyType::kNumber && hours.number <= kMaxHours) {
    p.hasCheckHours = true;
    p.checkHours = hours.number;
  } else if (hours.type != os::PolicyType::kAbsent) {
    Ignore(p, "the policy's CheckHours is not a DWORD from 0 to 8760");
  }
  return p;
}

bool PolicyTakes(const Policy& policy, const std::string& version) {
  return version.compare(0, policy.targetVersionPrefix.size(), policy.targetVersionPrefix) == 0;
}

std::string DescribePolicy(const Policy& p) {
  if (!p.any) return "none";
  std::string s = p.updates == Policy::kOff          ? "Updates=0 (no check at all)"
                  : p.updates == Policy::kManualOnly ? "Updates=2 (only checks the user starts)"
                                                     : "Updates=1 (as pelmatic.ini says)";
  if (!p.targetVersionPrefix.empty())
    s += ", TargetVersionPrefix=" + p.targetVersionPrefix + " (no other version is taken)";
  if (p.hasCheckHours)
    s += ", CheckHours=" + std::to_string(p.checkHours) +
         (p.checkHours ? " (in place of check_hours)" : " (every run)");
  if (!p.ignored.empty()) s += "; " + p.ignored;
  return s;
}
