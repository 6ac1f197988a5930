#include "version/rollout.h"

#include "os/os.h"
#include "platform/hex.h"
#include "version/keys.h"
#include "version/signing.h"
#include "version/versiontext.h"

bool ParseRolloutShare(const std::string& text, uint32_t& share) {
  const size_t dot = text.find('.');
  uint64_t whole = 0, hundredths = 0;
  if (!ParseDecimal(text.substr(0, dot), 3, whole)) return false;
  if (dot != std::string::npos) {
    const std::string decimals = text.substr(dot + 1);
    if (!ParseDecimal(decimals, 2, hundredths)) return false;
    if (decimals.size() == 1) hundredths *= 10;
  }
  share = static_cast<uint32_t>(whole * 100 + hundredths);
  return share <= kWholeShare;
}

bool ParseRolloutHours(const std::string& text, uint32_t& hours) {
  uint64_t value = 0;
  if (!ParseDecimal(text, 4, value)) return false;
  hours = static_cast<uint32_t>(value);
  return hours >= 1 && hours <= 8760;
}

RolloutPlan ReadRolloutPlan(const std::string& text) {
  RolloutPlan plan;
  const bool share = HasKey(text, "rollout"), start = HasKey(text, "rollout_start"),
             hours = HasKey(text, "rollout_hours");
  plan.staged = share || start || hours;
  if (!plan.staged) return plan;
  // A ramp needs its share to start from, its start and its length.
  plan.malformed =
      !share || start != hours || !ParseRolloutShare(KeyValue(text, "rollout"), plan.share);
  if (start && hours && !plan.malformed) {
    plan.ramp = true;
    plan.malformed = !ParseExpires(KeyValue(text, "rollout_start"), plan.start) ||
                     !ParseRolloutHours(KeyValue(text, "rollout_hours"), plan.hours);
  }
  if (plan.malformed) {
    plan.share = 0;
    plan.ramp = false;
  }
  return plan;
}

uint32_t RolloutShareAt(const RolloutPlan& plan, int64_t now) {
  if (!plan.ramp || now <= plan.start) return plan.share;
  const int64_t length = static_cast<int64_t>(plan.hours) * 3600;
  const int64_t elapsed = now - plan.start;
  if (elapsed >= length) return kWholeShare;
  // Exact in integers: the share floors to a hundredth of a percent.
  return plan.share +
         static_cast<uint32_t>(static_cast<int64_t>(kWholeShare - plan.share) * elapsed / length);
}

uint32_t RolloutBucket(const std::string& machineId, const std::string& product,
                       const std::string& version) {
  const std::string input = machineId + "\n" + product + "\n" + version;
  os::Sha256Digest digest{};
  if (!Sha256Of(input, digest)) return 0;
  const uint32_t first = static_cast<uint32_t>(digest[0]) << 24 |
                         static_cast<uint32_t>(digest[1]) << 16 |
                         static_cast<uint32_t>(digest[2]) << 8 | digest[3];
  return first % kWholeShare;
}

bool RolloutOffers(const std::string& machineId, uint32_t share, const std::string& product,
                   const std::string& version) {
  if (share >= kWholeShare || machineId.empty()) return true;
  return RolloutBucket(machineId, product, version) < share;
}

std::string ShareText(uint32_t share) {
  std::string text = std::to_string(share / 100);
  const uint32_t hundredths = share % 100;
  if (hundredths != 0) {
    text += '.';
    text += static_cast<char>('0' + hundredths / 10);
    if (hundredths % 10 != 0) text += static_cast<char>('0' + hundredths % 10);
  }
  return text;
}
