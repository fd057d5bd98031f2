// The same loops for processors with AVX2 (compiled with -mavx2; chosen at
// run time only where the processor has it).
#define VLX_LOOP_LANES 16
#include "loops_impl.h"

namespace vlx::detect::loops {
Table Avx2Table(int32_t format) { return TableFor(format); }
}  // namespace vlx::detect::loops
