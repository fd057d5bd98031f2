#pragma once

namespace vlx::schedule_detail {

extern const double kEquationOfTime[12][31];

}  // namespace vlx::schedule_detail
