// The residuals of best superpositions, compiled for any machine.
#include "tarvex/search/prefix_kernel.hpp"

namespace tarvex::search::detail {

void residuals_portable(const Mat3* h, const double* ga, const double* gb, std::size_t count, double* out) {
  residuals_by<simd::Portable>(h, ga, gb, count, out);
}

}  // namespace tarvex::search::detail
