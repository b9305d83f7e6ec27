// Winograd F(m, r) in one dimension: the transforms of 3-, 7- and 11-tap convolutions derived (at
// compile time) from their points 0, 1, -1, 2, -2, ... and infinity, and the tile transforms over
// any lane type (a scalar or a SIMD wrapper), so that every tier runs the same operations.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace trevalon {

// F(m, r) for r taps: m outputs per tile from m + r - 1 input rows, through `points` products at
// the points. G turns the r taps into one value per point, BT the input rows into one value per
// point, AT the point products back into m outputs: y = AT [(G g) . (BT d)] is the correlation
// y[j] = sum_k d[j + k] g[k]. BT and AT keep their non-zero entries in increasing column order.
struct Winograd1d {
  static constexpr int kMaxPoints = 12;
  int m = 0, taps = 0, points = 0;
  double G[kMaxPoints][kMaxPoints] = {};  // points x taps
  struct SparseRow {
    int count = 0;
    int column[kMaxPoints] = {};
    float value[kMaxPoints] = {};
  };
  SparseRow BT[kMaxPoints];  // points rows over the m + r - 1 input rows
  SparseRow AT[kMaxPoints];  // m rows over the points
};

namespace winograd1d_detail {

// Coefficients (lowest power first) of the product of (x - r) over `roots`: `count` + 1 values.
constexpr void poly_from_roots(const double* roots, int count, double* coeff) {
  coeff[0] = 1.0;
  for (int i = 1; i <= count; ++i) coeff[i] = 0.0;
  for (int i = 0; i < count; ++i) {
    // Multiply by (x - r): the new coefficient of x^j is c[j - 1] - r c[j].
    for (int j = i + 1; j > 0; --j) coeff[j] = coeff[j - 1] - roots[i] * coeff[j];
    coeff[0] = -roots[i] * coeff[0];
  }
}

constexpr Winograd1d::SparseRow sparse_row(const double* row, int n) {
  Winograd1d::SparseRow out;
  for (int i = 0; i < n; ++i)
    if (row[i] != 0.0) {
      out.column[out.count] = i;
      out.value[out.count] = float(row[i]);
      ++out.count;
    }
  return out;
}

}  // namespace winograd1d_detail

// F(4,3) for 3 taps, F(2,7) for 7, F(2,11) for 11; m = 0 for any other count. The finite points are
// 0 and then +i, -i for i = 1, 2, ...; point p_i's row of G is (1, p_i, p_i^2, ...) over
// prod_{j != i} (p_i - p_j), its row of BT the coefficients of prod_{j != i} (x - p_j) and its
// column of AT the powers of p_i; infinity pairs the last tap, the last output and the monic
// polynomial of all finite points.
constexpr Winograd1d make_winograd1d(int taps) {
  Winograd1d out;
  const int m = taps == 3 ? 4 : (taps == 7 || taps == 11) ? 2 : 0;
  if (m == 0) return out;
  out.m = m;
  out.taps = taps;
  out.points = m + taps - 1;
  const int n = out.points, finite = n - 1;
  double p[Winograd1d::kMaxPoints] = {};
  for (int i = 1; i < finite; ++i) p[i] = (i % 2 ? 1.0 : -1.0) * double((i + 1) / 2);

  double BT[Winograd1d::kMaxPoints][Winograd1d::kMaxPoints] = {};
  double AT[Winograd1d::kMaxPoints][Winograd1d::kMaxPoints] = {};
  for (int i = 0; i < finite; ++i) {
    double others[Winograd1d::kMaxPoints] = {};
    int count = 0;
    double scale = 1.0;
    for (int j = 0; j < finite; ++j)
      if (j != i) {
        scale *= p[i] - p[j];
        others[count++] = p[j];
      }
    double power = 1.0;
    for (int k = 0; k < taps; ++k, power *= p[i]) out.G[i][k] = power / scale;
    winograd1d_detail::poly_from_roots(others, count, BT[i]);
    power = 1.0;
    for (int j = 0; j < m; ++j, power *= p[i]) AT[j][i] = power;
  }
  out.G[finite][taps - 1] = 1.0;
  winograd1d_detail::poly_from_roots(p, finite, BT[finite]);
  AT[m - 1][finite] = 1.0;
  for (int i = 0; i < n; ++i) out.BT[i] = winograd1d_detail::sparse_row(BT[i], n);
  for (int j = 0; j < m; ++j) out.AT[j] = winograd1d_detail::sparse_row(AT[j], n);
  return out;
}

template <int Taps>
inline constexpr Winograd1d kWinograd1d = make_winograd1d(Taps);

// One float lane with std::fma: the portable tier's lane type.
struct ScalarLane {
  using F = float;
  static constexpr int kWidth = 1;
  static F load(const float* p) { return *p; }
  static void store(float* p, F v) { *p = v; }
  static F load_first(const float* p, int) { return *p; }
  static void store_first(float* p, F v, int) { *p = v; }
  static F set1(float v) { return v; }
  static F zero() { return 0.0f; }
  static F add(F a, F b) { return a + b; }
  static F sub(F a, F b) { return a - b; }
  static F fmadd(F a, F b, F c) { return std::fma(a, b, c); }
  static F max(F a, F b) { return a > b ? a : b; }  // b when either is NaN, as the vector max
};

namespace winograd1d_detail {

template <class V>
typename V::F load_lanes(const float* p, int lanes) {
  return lanes == V::kWidth ? V::load(p) : V::load_first(p, lanes);
}

template <class V>
void store_lanes(float* p, typename V::F v, int lanes) {
  if (lanes == V::kWidth)
    V::store(p, v);
  else
    V::store_first(p, v, lanes);
}

// sum over the row's entries of the given column parity (-1: all) of value x d[column], as one
// fused chain in column order.
template <class V, int Parity>
inline typename V::F chain(const Winograd1d::SparseRow& row, const typename V::F* d) {
  typename V::F acc = V::zero();
#pragma GCC unroll 12
  for (int e = 0; e < row.count; ++e)
    if (Parity < 0 || row.column[e] % 2 == Parity) acc = V::fmadd(V::set1(row.value[e]), d[row.column[e]], acc);
  return acc;
}

constexpr float int_power(int base, int exponent) {
  float v = 1.0f;
  for (int i = 0; i < exponent; ++i) v *= float(base);
  return v;
}

}  // namespace winograd1d_detail

// Input transform of tiles [tile_begin, tile_begin + count): tile t reads rows m t - padding ..
// of the L x C signal x (rows outside it read `zeros`) and writes point p's values to
// out + p * stride + (t - tile_begin) * C. The points +i and -i share their halves: with E and O the
// sums over the even and the odd input rows of +i's row of BT, +i gets E + O and -i gets E - O
// (the finite points number an even count minus one, so -i's row is +i's with the odd entries
// negated).
template <class V, int Taps>
void winograd1d_input_tiles(const float* x, int L, int C, int padding, const float* zeros, int tile_begin,
                            int count, float* out, size_t stride) {
  using namespace winograd1d_detail;
  using F = typename V::F;
  constexpr const Winograd1d& W = kWinograd1d<Taps>;
  constexpr int n = W.points, pairs = (n - 2) / 2;
  for (int t = 0; t < count; ++t) {
    const int64_t base = int64_t(tile_begin + t) * W.m - padding;
    const float* rows[n];
    for (int i = 0; i < n; ++i) rows[i] = base + i >= 0 && base + i < L ? x + size_t(base + i) * size_t(C) : zeros;
    float* dst = out + size_t(t) * size_t(C);
    for (int c = 0; c < C; c += V::kWidth) {
      const int lanes = C - c < V::kWidth ? C - c : V::kWidth;
      F d[n];
#pragma GCC unroll 12
      for (int i = 0; i < n; ++i) d[i] = load_lanes<V>(rows[i] + c, lanes);
      store_lanes<V>(dst + c, chain<V, -1>(W.BT[0], d), lanes);
#pragma GCC unroll 6
      for (int i = 1; i <= pairs; ++i) {
        const F even = chain<V, 0>(W.BT[2 * i - 1], d), odd = chain<V, 1>(W.BT[2 * i - 1], d);
        store_lanes<V>(dst + size_t(2 * i - 1) * stride + c, V::add(even, odd), lanes);
        store_lanes<V>(dst + size_t(2 * i) * stride + c, V::sub(even, odd), lanes);
      }
      store_lanes<V>(dst + size_t(n - 1) * stride + c, chain<V, -1>(W.BT[n - 1], d), lanes);
    }
  }
}

// Output transform of `count` tiles from their products (point p of tile t at P + p * stride + t *
// C_out): output row m t + j of y (only rows below `rows`) is the AT combination, plus the bias
// when given, then max(., 0) when relu. With S = M(+i) + M(-i) and D = M(+i) - M(-i), an even
// output j is [j = 0] M(0) + sum_i i^j S, an odd one sum_i i^j D, and the last output adds M(inf).
template <class V, int Taps>
void winograd1d_output_tiles(const float* P, size_t stride, int count, int C_out, const float* bias, bool relu,
                             float* y, int rows) {
  using namespace winograd1d_detail;
  using F = typename V::F;
  constexpr const Winograd1d& W = kWinograd1d<Taps>;
  constexpr int n = W.points, m = W.m, pairs = (n - 2) / 2;
  for (int t = 0; t < count; ++t) {
    const int first = t * m;
    if (first >= rows) return;
    const int valid = rows - first < m ? rows - first : m;
    const float* src = P + size_t(t) * size_t(C_out);
    float* dst = y + size_t(first) * size_t(C_out);
    for (int o = 0; o < C_out; o += V::kWidth) {
      const int lanes = C_out - o < V::kWidth ? C_out - o : V::kWidth;
      F M[n], S[pairs], D[pairs];
#pragma GCC unroll 12
      for (int p = 0; p < n; ++p) M[p] = load_lanes<V>(src + size_t(p) * stride + o, lanes);
#pragma GCC unroll 6
      for (int i = 0; i < pairs; ++i) {
        S[i] = V::add(M[2 * i + 1], M[2 * i + 2]);
        D[i] = V::sub(M[2 * i + 1], M[2 * i + 2]);
      }
      const F b = bias ? load_lanes<V>(bias + o, lanes) : V::zero();
#pragma GCC unroll 4
      for (int j = 0; j < m; ++j) {
        if (j >= valid) break;
        F acc = j == 0 ? M[0] : V::zero();
#pragma GCC unroll 6
        for (int i = 0; i < pairs; ++i) acc = V::fmadd(V::set1(int_power(i + 1, j)), j % 2 ? D[i] : S[i], acc);
        if (j == m - 1) acc = V::add(acc, M[n - 1]);
        if (bias) acc = V::add(acc, b);
        if (relu) acc = V::max(acc, V::zero());  // NaN and -0 become +0
        store_lanes<V>(dst + size_t(j) * size_t(C_out) + o, acc, lanes);
      }
    }
  }
}

// The transforms for the plan's tap count (3, 7 or 11).
template <class V>
void winograd1d_input_for(int taps, const float* x, int L, int C, int padding, const float* zeros, int tile_begin,
                          int count, float* out, size_t stride) {
  switch (taps) {
    case 3: winograd1d_input_tiles<V, 3>(x, L, C, padding, zeros, tile_begin, count, out, stride); break;
    case 7: winograd1d_input_tiles<V, 7>(x, L, C, padding, zeros, tile_begin, count, out, stride); break;
    case 11: winograd1d_input_tiles<V, 11>(x, L, C, padding, zeros, tile_begin, count, out, stride); break;
    default: break;
  }
}

template <class V>
void winograd1d_output_for(int taps, const float* P, size_t stride, int count, int C_out, const float* bias,
                           bool relu, float* y, int rows) {
  switch (taps) {
    case 3: winograd1d_output_tiles<V, 3>(P, stride, count, C_out, bias, relu, y, rows); break;
    case 7: winograd1d_output_tiles<V, 7>(P, stride, count, C_out, bias, relu, y, rows); break;
    case 11: winograd1d_output_tiles<V, 11>(P, stride, count, C_out, bias, relu, y, rows); break;
    default: break;
  }
}

}  // namespace trevalon
