#include "index/postings.h"

namespace vrim {

bool Postings::Make(uint32_t field, uint32_t doc, uint32_t tf,
                    uint32_t position_count, Posting* out) {
  out->doc = doc;
  if (field <= Posting::kMaxPackedField && tf <= Posting::kTfMask &&
      (position_count == 0 || position_count == tf)) {
    out->bits = field << Posting::kFieldShift |
                (position_count != 0 ? Posting::kPositionsBit : 0) | tf;
    return true;
  }
  if (wide_.size() >= kMaxWide) return false;
  out->bits = Posting::kWide | static_cast<uint32_t>(wide_.size());
  wide_.push_back(WidePosting{field, tf, position_count});
  return true;
}

void Postings::clear() {
  postings_.clear();
  wide_.clear();
}

}  // namespace vrim
