#include "index/postings.h"

namespace vrim {

bool Postings::Make(uint32_t field, uint32_t doc, uint32_t tf,
                    uint32_t position_count, Posting* out) {
  if (Packs(field, tf, position_count)) {
    *out = Packed(field, doc, tf, position_count);
    return true;
  }
  if (wide_.size() >= kMaxWide) return false;
  out->doc = doc;
  out->bits = Posting::kWide | static_cast<uint32_t>(wide_.size());
  wide_.push_back(WidePosting{field, tf, position_count});
  return true;
}

void Postings::clear() {
  postings_.clear();
  wide_.clear();
}

}  // namespace vrim
