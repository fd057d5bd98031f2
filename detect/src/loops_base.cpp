#define VLX_LOOP_LANES 8
#include "loops_impl.h"

namespace vlx::detect::loops {
Table BaselineTable(int32_t format) { return TableFor(format); }
}  // namespace vlx::detect::loops
