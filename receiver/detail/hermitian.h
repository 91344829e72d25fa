// Linear algebra the decoders share (not installed): a Hermitian positive definite solve.
#ifndef RECEIVER_DETAIL_HERMITIAN_H
#define RECEIVER_DETAIL_HERMITIAN_H

#include <cmath>
#include <complex>
#include <cstddef>
#include <utility>
#include <vector>

namespace receiver {
namespace detail {

// Solves M g = p for a Hermitian positive definite M (row-major, n x n) by Cholesky; false when
// M is not positive definite.
inline bool solve_hermitian(std::vector<std::complex<double>> m,
                            std::vector<std::complex<double>> p, size_t n,
                            std::vector<std::complex<double>>* g) {
  using Complex = std::complex<double>;
  for (size_t j = 0; j < n; ++j) {
    double d = m[j * n + j].real();
    for (size_t k = 0; k < j; ++k) d -= std::norm(m[j * n + k]);
    if (!(d > 0.0)) return false;
    d = std::sqrt(d);
    m[j * n + j] = d;
    for (size_t i = j + 1; i < n; ++i) {
      Complex v = m[i * n + j];
      for (size_t k = 0; k < j; ++k) v -= m[i * n + k] * std::conj(m[j * n + k]);
      m[i * n + j] = v / d;
    }
  }
  for (size_t i = 0; i < n; ++i) {  // L y = p
    Complex v = p[i];
    for (size_t k = 0; k < i; ++k) v -= m[i * n + k] * p[k];
    p[i] = v / m[i * n + i].real();
  }
  for (size_t i = n; i-- > 0;) {  // L^H g = y
    Complex v = p[i];
    for (size_t k = i + 1; k < n; ++k) v -= std::conj(m[k * n + i]) * p[k];
    p[i] = v / m[i * n + i].real();
  }
  *g = std::move(p);
  return true;
}

}  // namespace detail
}  // namespace receiver

#endif  // RECEIVER_DETAIL_HERMITIAN_H
