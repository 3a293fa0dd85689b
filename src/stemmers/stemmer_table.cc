#include "stemmers/stemmer_table.h"

namespace vrim {

// Filled with the generated Snowball stemmers, in the registry's order.
static const SnowballRow kRows[] = {
    {"", nullptr},  // placeholder so the array is never empty; not a code
};

const SnowballRow* SnowballTable(size_t* count) {
  *count = 0;
  return kRows;
}

}  // namespace vrim
