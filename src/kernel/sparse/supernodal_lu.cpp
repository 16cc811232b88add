// Symmetric-pattern supernodal LU: the analysis follows the elimination tree of A + A^T, the
// numeric phase is multifrontal (each supernode's frontal matrix gathers its entries of A and the
// update matrices of its children, is partially factorised with dense kernels and passes its own
// update matrix up the tree on a stack).
#include "kernel/sparse/supernodal_lu.hpp"

#include <algorithm>
#include <cassert>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>

#include "kernel/dense/fortran_blas_lapack.hpp"
#include "orvo/memory.hpp"

namespace sparse_lu {

namespace {
constexpr int kHeaderIntegers = 2;  // n, supernodes

// Relaxed amalgamation: a child supernode is merged into its parent when the merged supernode
// has at most kAlwaysColumns columns, or at most kRelaxColumns[t] columns with less than
// kRelaxZeros[t] of its stored entries explicit zeros, or any number with less than kAnyZeros.
// Fewer, wider fronts store some zeros but let the dense kernels run at speed.
constexpr int kAlwaysColumns = 4;
constexpr int kRelaxColumns[] = {16, 48};
constexpr double kRelaxZeros[] = {0.8, 0.1};
constexpr double kAnyZeros = 0.05;

// Fronts up to this order are factorised by plain loops: for them the dense kernels' call costs
// more than the arithmetic.
constexpr int kSmallFront = 32;

// Off-diagonal pattern of A + A^T under the positions `where` (where[i]: position of row and
// column i): for each position, the positions on one side of it (`above`: the smaller ones,
// else the larger ones). Entries present on both sides of the diagonal appear twice.
void symmetricPattern(const ColumnForm& a, const int* where, bool above, ScratchVector<int>& start,
                      ScratchVector<int>& list) {
  const int n = a.n;
  start.assign(static_cast<std::size_t>(n) + 1, 0);
  for (int j = 0; j < n; ++j)
    for (int p = a.start[j]; p < a.start[j + 1]; ++p) {
      const int ki = where[a.row[p]], kj = where[j];
      if (ki == kj) continue;
      ++start[(above ? std::max(ki, kj) : std::min(ki, kj)) + 1];
    }
  for (int k = 0; k < n; ++k) start[k + 1] += start[k];
  list.resize(static_cast<std::size_t>(start[n]));
  ScratchVector<int> next(start.begin(), start.end() - 1);
  for (int j = 0; j < n; ++j)
    for (int p = a.start[j]; p < a.start[j + 1]; ++p) {
      const int ki = where[a.row[p]], kj = where[j];
      if (ki == kj) continue;
      const int lo = std::min(ki, kj), hi = std::max(ki, kj);
      list[next[above ? hi : lo]++] = above ? lo : hi;
    }
}

// Elimination tree from the pattern above each position (parent -1 at roots).
void eliminationTree(int n, const ScratchVector<int>& start, const ScratchVector<int>& above,
                     std::vector<int>& parent) {
  parent.assign(n, -1);
  std::vector<int> ancestor(n, -1);
  for (int k = 0; k < n; ++k)
    for (int p = start[k]; p < start[k + 1]; ++p)
      // Climb from the entry's row to its current root, pointing the path at k.
      for (int i = above[p]; i != -1 && i < k;) {
        const int next = ancestor[i];
        ancestor[i] = k;
        if (next == -1) parent[i] = k;
        i = next;
      }
}

// Positions in postorder of the tree: every subtree is a run of consecutive positions.
std::vector<int> postorder(const std::vector<int>& parent) {
  const int n = static_cast<int>(parent.size());
  std::vector<int> head(n, -1), next(n, -1), post, stack;
  post.reserve(n);
  for (int j = n - 1; j >= 0; --j)
    if (parent[j] != -1) {
      next[j] = head[parent[j]];
      head[parent[j]] = j;
    }
  for (int root = 0; root < n; ++root) {
    if (parent[root] != -1) continue;
    stack.push_back(root);
    while (!stack.empty()) {
      const int p = stack.back();
      const int child = head[p];
      if (child == -1) {
        stack.pop_back();
        post.push_back(p);
      } else {
        head[p] = next[child];
        stack.push_back(child);
      }
    }
  }
  return post;
}

struct Supernode {
  int first = 0, last = 0;
  std::int64_t below = 0;     // rows below the diagonal block
  std::int64_t nonzeros = 0;  // entries of L's columns that are not zero by structure
  int columns() const { return last - first + 1; }
  std::int64_t stored() const {
    const std::int64_t k = columns();
    return k * (k + 1) / 2 + k * below;
  }
};

bool worthMerging(const Supernode& merged) {
  const double zeros =
      static_cast<double>(merged.stored() - merged.nonzeros) / static_cast<double>(merged.stored());
  const int k = merged.columns();
  return k <= kAlwaysColumns || (k <= kRelaxColumns[0] && zeros < kRelaxZeros[0]) ||
         (k <= kRelaxColumns[1] && zeros < kRelaxZeros[1]) || zeros < kAnyZeros;
}

std::int64_t panelReals(std::int64_t k, std::int64_t r) {
  return k * k + 2 * k * r;
}
}  // namespace

bool AnalyseSupernodal(const ColumnForm& a, const std::vector<int>& order,
                       SupernodalStructure& out) {
  const int n = a.n;
  if (a.m != n || static_cast<int>(order.size()) != n || n < 1) return false;
  std::vector<int> where(n, -1);
  for (int k = 0; k < n; ++k) {
    if (order[k] < 0 || order[k] >= n || where[order[k]] != -1) return false;
    where[order[k]] = k;
  }
  try {
    ScratchVector<int> start, above;
    symmetricPattern(a, where.data(), true, start, above);
    std::vector<int> parent;
    eliminationTree(n, start, above, parent);

    // Renumber in postorder, then work in the new positions throughout.
    const std::vector<int> post = postorder(parent);
    out.n = n;
    out.order.resize(n);
    for (int k = 0; k < n; ++k) out.order[k] = order[post[k]];
    for (int k = 0; k < n; ++k) where[out.order[k]] = k;
    symmetricPattern(a, where.data(), true, start, above);
    eliminationTree(n, start, above, parent);

    // Column counts of L (diagonal included): row i of L reaches, from each entry left of the
    // diagonal, up the tree until a column already counted for row i.
    std::vector<int> count(n, 1), mark(n, -1);
    for (int i = 0; i < n; ++i) {
      mark[i] = i;
      for (int p = start[i]; p < start[i + 1]; ++p)
        for (int j = above[p]; mark[j] != i; j = parent[j]) {
          mark[j] = i;
          ++count[j];
        }
    }

    // Fundamental supernodes: a column joins its predecessor when it is that column's parent,
    // its only child, and one entry shorter. Then relaxed amalgamation of children into parents.
    std::vector<int> children(n, 0);
    for (int j = 0; j < n; ++j)
      if (parent[j] != -1) ++children[parent[j]];
    std::vector<Supernode> supernodes;
    supernodes.reserve(n);
    for (int j = 0; j < n;) {
      Supernode s;
      s.first = j;
      s.nonzeros = count[j];
      int last = j;
      while (last + 1 < n && parent[last] == last + 1 && children[last + 1] == 1 &&
             count[last] == count[last + 1] + 1) {
        ++last;
        s.nonzeros += count[last];
      }
      s.last = last;
      s.below = count[j] - s.columns();
      j = last + 1;
      // The supernode just before, when it is a child, is merged while it pays.
      while (!supernodes.empty() && parent[supernodes.back().last] == s.first) {
        Supernode merged = s;
        merged.first = supernodes.back().first;
        merged.nonzeros += supernodes.back().nonzeros;
        if (!worthMerging(merged)) break;
        s = merged;
        supernodes.pop_back();
      }
      supernodes.push_back(s);
    }

    // Rows below each supernode: those of its columns of A + A^T below it and those its children
    // pass up; children come first in postorder.
    const int countSupernodes = static_cast<int>(supernodes.size());
    ScratchVector<int> belowStart, below;
    symmetricPattern(a, where.data(), false, belowStart, below);
    std::vector<int> supernodeOf(n);
    for (int s = 0; s < countSupernodes; ++s)
      for (int j = supernodes[s].first; j <= supernodes[s].last; ++j) supernodeOf[j] = s;
    std::vector<int> childHead(countSupernodes, -1), childNext(countSupernodes, -1);
    for (int s = countSupernodes - 1; s >= 0; --s) {
      const int up = parent[supernodes[s].last];
      if (up == -1) continue;
      childNext[s] = childHead[supernodeOf[up]];
      childHead[supernodeOf[up]] = s;
    }
    out.first.resize(countSupernodes + 1);
    out.rowStart.assign(countSupernodes + 1, 0);
    std::int64_t totalRows = 0;
    for (const Supernode& s : supernodes) totalRows += s.below;
    if (totalRows > INT_MAX) return false;
    out.rows.resize(static_cast<std::size_t>(totalRows));
    std::fill(mark.begin(), mark.end(), -1);
    out.lnz = out.unz = 0;
    int filled = 0;
    for (int s = 0; s < countSupernodes; ++s) {
      const Supernode& node = supernodes[s];
      out.first[s] = node.first;
      out.rowStart[s] = filled;
      auto take = [&](int i) {
        if (i > node.last && mark[i] != s) {
          mark[i] = s;
          if (filled < totalRows) out.rows[filled] = i;
          ++filled;
        }
      };
      for (int j = node.first; j <= node.last; ++j)
        for (int p = belowStart[j]; p < belowStart[j + 1]; ++p) take(below[p]);
      for (int c = childHead[s]; c != -1; c = childNext[c])
        for (int p = out.rowStart[c]; p < out.rowStart[c + 1]; ++p) take(out.rows[p]);
      // The counts predicted every row; anything else means the two disagree.
      if (filled - out.rowStart[s] != node.below) return false;
      std::sort(out.rows.begin() + out.rowStart[s], out.rows.begin() + filled);
      out.lnz += node.stored();
      out.unz += node.stored();
    }
    out.first[countSupernodes] = n;
    out.rowStart[countSupernodes] = filled;
  } catch (const std::bad_alloc&) {
    throw Orvo::mvlException("sparse LU: not enough memory to analyse the pattern");
  }
  return true;
}

std::int64_t SupernodalIntegers(const SupernodalStructure& s) {
  return kHeaderIntegers + std::int64_t{s.n} + 2 * static_cast<std::int64_t>(s.first.size()) +
         static_cast<std::int64_t>(s.rows.size());
}

std::int64_t SupernodalReals(const SupernodalStructure& s) {
  std::int64_t reals = s.n;
  for (std::size_t t = 0; t + 1 < s.first.size(); ++t)
    reals += panelReals(s.first[t + 1] - s.first[t], s.rowStart[t + 1] - s.rowStart[t]);
  return reals;
}

void EstimateSupernodal(int n, std::int64_t count, std::int64_t& integers, std::int64_t& reals) {
  // Entries stored in L (diagonal included), zeros of the relaxed supernodes allowed for: a
  // share of the count, and for the small supernodes merged whatever their zeros, a few per
  // column. The panels hold L's and U's of them with the diagonal once, the structure at most
  // one row index for each.
  constexpr double kZerosAllowed = 0.4;
  constexpr std::int64_t kSmallSupernodeZeros = 8;
  const auto stored =
      static_cast<std::int64_t>((1.0 + kZerosAllowed) * 0.5 * static_cast<double>(count + n)) +
      kSmallSupernodeZeros * n;
  integers = kHeaderIntegers + 3 * std::int64_t{n} + 2 + stored;
  reals = std::int64_t{n} + 2 * stored;
}

void LeastSupernodal(int n, std::int64_t count, std::int64_t& integers, std::int64_t& reals) {
  integers = kHeaderIntegers + std::int64_t{n} + 4;  // one supernode, nothing below it
  reals = std::int64_t{n} + count / 2;
}

SupernodalView StoreSupernodal(const SupernodalStructure& s, int* integers, double* reals) {
  const int count = static_cast<int>(s.first.size()) - 1;
  integers[0] = s.n;
  integers[1] = count;
  int* at = integers + kHeaderIntegers;
  at = std::copy(s.order.begin(), s.order.end(), at);
  at = std::copy(s.first.begin(), s.first.end(), at);
  at = std::copy(s.rowStart.begin(), s.rowStart.end(), at);
  std::copy(s.rows.begin(), s.rows.end(), at);
  SupernodalView view;
  ViewSupernodal(integers, SupernodalIntegers(s), reals, SupernodalReals(s), view);
  return view;
}

std::int64_t SupernodalIntegers(const SupernodalView& v) {
  return kHeaderIntegers + std::int64_t{v.n} + 2 * (std::int64_t{v.supernodes} + 1) +
         v.rowStart[v.supernodes];
}

std::int64_t SupernodalReals(const SupernodalView& v) {
  std::int64_t reals = v.n;
  for (int s = 0; s < v.supernodes; ++s)
    reals += panelReals(v.first[s + 1] - v.first[s], v.rowStart[s + 1] - v.rowStart[s]);
  return reals;
}

bool ViewSupernodal(int* integers, std::int64_t integerLength, double* reals,
                    std::int64_t realLength, SupernodalView& view) {
  if (integerLength < kHeaderIntegers) return false;
  const int n = integers[0], count = integers[1];
  if (n < 1 || count < 1 || count > n) return false;
  const std::int64_t fixed = kHeaderIntegers + std::int64_t{n} + 2 * (std::int64_t{count} + 1);
  if (integerLength < fixed) return false;
  SupernodalView v;
  v.n = n;
  v.supernodes = count;
  v.order = integers + kHeaderIntegers;
  v.first = v.order + n;
  v.rowStart = v.first + count + 1;
  v.rows = v.rowStart + count + 1;
  if (v.first[0] != 0 || v.first[count] != n || v.rowStart[0] != 0 || v.rowStart[count] < 0 ||
      fixed + v.rowStart[count] > integerLength)
    return false;
  for (int s = 0; s < count; ++s)
    if (v.first[s + 1] <= v.first[s] || v.rowStart[s + 1] < v.rowStart[s]) return false;
  if (SupernodalReals(v) > realLength) return false;
  // Every index the factorisation and the solves follow stays inside the matrix: the order is a
  // permutation, the rows below each supernode ascend beyond its last column.
  std::vector<bool> seen(static_cast<std::size_t>(n), false);
  for (int k = 0; k < n; ++k) {
    const int i = v.order[k];
    if (i < 0 || i >= n || seen[i]) return false;
    seen[i] = true;
  }
  for (int s = 0; s < count; ++s) {
    int previous = v.first[s + 1] - 1;
    for (int p = v.rowStart[s]; p < v.rowStart[s + 1]; ++p) {
      if (v.rows[p] <= previous || v.rows[p] >= n) return false;
      previous = v.rows[p];
    }
  }
  v.scale = reals;
  v.panels = reals + n;
  view = v;
  return true;
}

namespace {
// The entries of R A at their positions: those on or below the diagonal by columns, those above
// it by rows, so that each front gathers its own with one pass over its columns and rows.
struct PlacedMatrix {
  ScratchVector<int> lowerStart, lowerRow, upperStart, upperColumn;
  ScratchVector<double> lowerValue, upperValue;
};

void placeMatrix(const ColumnForm& a, const int* where, const double* scale, PlacedMatrix& out) {
  const int n = a.n;
  out.lowerStart.assign(static_cast<std::size_t>(n) + 1, 0);
  out.upperStart.assign(static_cast<std::size_t>(n) + 1, 0);
  for (int j = 0; j < n; ++j)
    for (int p = a.start[j]; p < a.start[j + 1]; ++p) {
      const int ki = where[a.row[p]], kj = where[j];
      if (ki >= kj) {
        ++out.lowerStart[kj + 1];
      } else {
        ++out.upperStart[ki + 1];
      }
    }
  for (int k = 0; k < n; ++k) {
    out.lowerStart[k + 1] += out.lowerStart[k];
    out.upperStart[k + 1] += out.upperStart[k];
  }
  out.lowerRow.resize(static_cast<std::size_t>(out.lowerStart[n]));
  out.lowerValue.resize(out.lowerRow.size());
  out.upperColumn.resize(static_cast<std::size_t>(out.upperStart[n]));
  out.upperValue.resize(out.upperColumn.size());
  ScratchVector<int> lowerNext(out.lowerStart.begin(), out.lowerStart.end() - 1);
  ScratchVector<int> upperNext(out.upperStart.begin(), out.upperStart.end() - 1);
  for (int j = 0; j < n; ++j)
    for (int p = a.start[j]; p < a.start[j + 1]; ++p) {
      const int i = a.row[p];
      const int ki = where[i], kj = where[j];
      const double v = scale[i] * a.value[p];
      if (ki >= kj) {
        const int q = lowerNext[kj]++;
        out.lowerRow[q] = ki;
        out.lowerValue[q] = v;
      } else {
        const int q = upperNext[ki]++;
        out.upperColumn[q] = kj;
        out.upperValue[q] = v;
      }
    }
}

// Partial factorisation of the m x m front F (by columns, leading dimension m): its first k
// columns and rows become L's panel and U's rows, the trailing m - k square its update matrix.
// Returns false at the first pivot that fails the threshold test.
bool factorFront(double* F, int m, int k, double threshold, int blockSize,
                 SupernodalOutcome& outcome) {
  auto pivotStep = [&](int p, int lastColumn) {
    double* column = F + static_cast<std::size_t>(p) * m;
    const double pivot = column[p];
    double largest = 0.0;
    for (int i = p + 1; i < m; ++i) largest = std::max(largest, std::fabs(column[i]));
    if (pivot == 0.0 || !(std::fabs(pivot) >= threshold * largest)) return false;
    const double magnitude = std::fabs(pivot);
    outcome.smallestPivot = std::min(outcome.smallestPivot, magnitude);
    outcome.largestPivot = std::max(outcome.largestPivot, magnitude);
    const double inverse = 1.0 / pivot;
    for (int i = p + 1; i < m; ++i) column[i] *= inverse;
    for (int j = p + 1; j < lastColumn; ++j) {
      double* target = F + static_cast<std::size_t>(j) * m;
      const double u = target[p];
      if (u == 0.0) continue;
      for (int i = p + 1; i < m; ++i) target[i] -= column[i] * u;
    }
    const double rest = m - p - 1;
    outcome.flops += rest + 2.0 * rest * rest;
    return true;
  };
  if (m <= kSmallFront) {
    for (int p = 0; p < k; ++p)
      if (!pivotStep(p, m)) return false;
    return true;
  }
  const double one = 1.0, minusOne = -1.0;
  for (int p0 = 0; p0 < k; p0 += blockSize) {
    const int width = std::min(blockSize, k - p0);
    for (int p = p0; p < p0 + width; ++p)
      if (!pivotStep(p, p0 + width)) return false;
    const int rest = m - p0 - width;
    if (rest == 0) continue;
    double* diagonal = F + p0 + static_cast<std::size_t>(p0) * m;
    double* right = F + p0 + static_cast<std::size_t>(p0 + width) * m;
    double* left = F + p0 + width + static_cast<std::size_t>(p0) * m;
    double* trailing = F + p0 + width + static_cast<std::size_t>(p0 + width) * m;
    dtrsm_("L", "L", "N", "U", &width, &rest, &one, diagonal, &m, right, &m, 1, 1, 1, 1);
    dgemm_("N", "N", &rest, &rest, &width, &minusOne, left, &m, right, &m, &one, trailing, &m, 1,
           1);
  }
  return true;
}

// Row scale factors: the reciprocal sums of magnitudes of A's rows (1 for an empty row).
void rowScale(const ColumnForm& a, int n, double* scale) {
  std::fill(scale, scale + n, 0.0);
  for (int j = 0; j < n; ++j)
    for (int p = a.start[j]; p < a.start[j + 1]; ++p) scale[a.row[p]] += std::fabs(a.value[p]);
  for (int i = 0; i < n; ++i) scale[i] = scale[i] > 0.0 ? 1.0 / scale[i] : 1.0;
}

// Each update matrix waits on a stack until its parent's front takes it; a front is built on top
// of its children's. The plan: every supernode's parent, the widest front and the stack's
// high-water mark, found by a dry run of the pushes and pops the factorisation makes.
struct StackPlan {
  std::vector<int> parent;
  std::int64_t largestFront = 0, highWater = 0;
};

StackPlan planStack(const SupernodalView& view) {
  const int n = view.n, count = view.supernodes;
  StackPlan plan;
  plan.parent.assign(count, -1);
  std::vector<int> supernodeOf(n);
  for (int s = 0; s < count; ++s)
    for (int j = view.first[s]; j < view.first[s + 1]; ++j) supernodeOf[j] = s;
  for (int s = 0; s < count; ++s) {
    if (view.rowStart[s + 1] > view.rowStart[s])
      plan.parent[s] = supernodeOf[view.rows[view.rowStart[s]]];
    plan.largestFront =
        std::max<std::int64_t>(plan.largestFront, view.first[s + 1] - view.first[s] +
                                                      view.rowStart[s + 1] - view.rowStart[s]);
  }
  std::vector<int> waiting;
  std::vector<std::int64_t> waitingAt;
  std::int64_t top = 0;
  for (int s = 0; s < count; ++s) {
    const std::int64_t k = view.first[s + 1] - view.first[s];
    const std::int64_t r = view.rowStart[s + 1] - view.rowStart[s];
    plan.highWater = std::max(plan.highWater, top + (k + r) * (k + r));
    while (!waiting.empty() && plan.parent[waiting.back()] == s) {
      top = waitingAt.back();
      waiting.pop_back();
      waitingAt.pop_back();
    }
    if (r > 0) {
      waiting.push_back(s);
      waitingAt.push_back(top);
      top += r * r;
    }
  }
  return plan;
}

// The multifrontal numeric phase over the supernodes in order: each front is assembled from A's
// entries and its children's update matrices, factorised, and split into its panels (kept in
// the caller's arrays) and its own update matrix (left on the stack for its parent).
class FrontSequence {
 public:
  FrontSequence(const SupernodalView& view, const PlacedMatrix& placed, const StackPlan& plan)
      : view_(view),
        placed_(placed),
        plan_(plan),
        stack_(static_cast<std::size_t>(plan.highWater)),
        local_(view.n),
        stamp_(view.n, -1),
        relative_(static_cast<std::size_t>(plan.largestFront)),
        panel_(view.panels) {}

  // Builds front s at the top of the stack; false when an entry of A falls outside the
  // structure (the matrix is not the one analysed).
  bool assemble(int s) {
    const int f = view_.first[s], k = view_.first[s + 1] - f;
    const int r = view_.rowStart[s + 1] - view_.rowStart[s], m = k + r;
    const int* rows = view_.rows + view_.rowStart[s];
    assert(top_ + static_cast<std::int64_t>(m) * m <= plan_.highWater);
    double* F = front();
    std::fill(F, F + static_cast<std::size_t>(m) * m, 0.0);
    for (int t = 0; t < k; ++t) {
      local_[f + t] = t;
      stamp_[f + t] = s;
    }
    for (int t = 0; t < r; ++t) {
      local_[rows[t]] = k + t;
      stamp_[rows[t]] = s;
    }
    for (int t = 0; t < k; ++t) {
      const int j = f + t;
      for (int p = placed_.lowerStart[j]; p < placed_.lowerStart[j + 1]; ++p) {
        const int i = placed_.lowerRow[p];
        if (stamp_[i] != s) return false;
        F[local_[i] + static_cast<std::size_t>(t) * m] += placed_.lowerValue[p];
      }
      for (int p = placed_.upperStart[j]; p < placed_.upperStart[j + 1]; ++p) {
        const int c = placed_.upperColumn[p];
        if (stamp_[c] != s) return false;
        F[t + static_cast<std::size_t>(local_[c]) * m] += placed_.upperValue[p];
      }
    }
    // Children's update matrices: they lie at the top of the stack, just below this front.
    base_ = top_;
    while (!waiting_.empty() && plan_.parent[waiting_.back()] == s) {
      const int c = waiting_.back();
      base_ = waitingAt_.back();
      const int rc = view_.rowStart[c + 1] - view_.rowStart[c];
      const int* childRows = view_.rows + view_.rowStart[c];
      for (int t = 0; t < rc; ++t) {
        // A child's rows all lie in its parent's front.
        assert(stamp_[childRows[t]] == s);
        relative_[t] = local_[childRows[t]];
      }
      const double* update = stack_.data() + base_;
      for (int jj = 0; jj < rc; ++jj) {
        double* target = F + static_cast<std::size_t>(relative_[jj]) * m;
        const double* source = update + static_cast<std::size_t>(jj) * rc;
        for (int ii = 0; ii < rc; ++ii) target[relative_[ii]] += source[ii];
      }
      waiting_.pop_back();
      waitingAt_.pop_back();
    }
    return true;
  }

  double* front() { return stack_.data() + top_; }

  // Moves the factorised front s into its panels, and its update matrix down to where its
  // children's lay.
  void store(int s) {
    const int k = view_.first[s + 1] - view_.first[s];
    const int r = view_.rowStart[s + 1] - view_.rowStart[s], m = k + r;
    const double* F = front();
    // L's panel (with U's diagonal block) is the front's first k columns; U's block to its
    // right is the top k rows of the rest.
    std::memcpy(panel_, F, sizeof(double) * static_cast<std::size_t>(m) * k);
    double* uBlock = panel_ + static_cast<std::size_t>(m) * k;
    for (int jj = 0; jj < r; ++jj)
      std::memcpy(uBlock + static_cast<std::size_t>(jj) * k,
                  F + static_cast<std::size_t>(k + jj) * m, sizeof(double) * k);
    panel_ = uBlock + static_cast<std::size_t>(k) * r;
    if (r > 0) {
      double* update = stack_.data() + base_;
      for (int jj = 0; jj < r; ++jj)
        std::memmove(update + static_cast<std::size_t>(jj) * r,
                     F + k + static_cast<std::size_t>(k + jj) * m, sizeof(double) * r);
      waiting_.push_back(s);
      waitingAt_.push_back(base_);
      top_ = base_ + static_cast<std::int64_t>(r) * r;
    } else {
      top_ = base_;
    }
    assert(top_ <= plan_.highWater);
  }

  // After the last front only the roots' update matrices (none: roots have no rows below them)
  // remain, and the panels fill exactly the storage the structure set aside.
  [[maybe_unused]] bool complete() const {
    for (const int s : waiting_)
      if (plan_.parent[s] != -1) return false;
    std::int64_t reals = 0;
    for (int s = 0; s < view_.supernodes; ++s)
      reals += panelReals(view_.first[s + 1] - view_.first[s],
                          view_.rowStart[s + 1] - view_.rowStart[s]);
    return panel_ - view_.panels == reals;
  }

 private:
  const SupernodalView& view_;
  const PlacedMatrix& placed_;
  const StackPlan& plan_;
  ScratchVector<double> stack_;
  std::vector<int> local_, stamp_, relative_;
  std::vector<int> waiting_;
  std::vector<std::int64_t> waitingAt_;
  std::int64_t top_ = 0, base_ = 0;
  double* panel_;
};
}  // namespace

SupernodalOutcome FactoriseSupernodal(const ColumnForm& a, const SupernodalView& view,
                                      double threshold, int blockSize) {
  SupernodalOutcome outcome;
  outcome.smallestPivot = HUGE_VAL;
  const int n = view.n, count = view.supernodes;
  blockSize = std::max(blockSize, 1);
  try {
    std::vector<int> where(n);
    for (int k = 0; k < n; ++k) where[view.order[k]] = k;
    rowScale(a, n, view.scale);
    PlacedMatrix placed;
    placeMatrix(a, where.data(), view.scale, placed);
    const StackPlan plan = planStack(view);
    FrontSequence fronts(view, placed, plan);
    for (int s = 0; s < count; ++s) {
      if (!fronts.assemble(s)) {
        outcome.kind = SupernodalOutcome::kPatternMismatch;
        return outcome;
      }
      const int k = view.first[s + 1] - view.first[s];
      const int m = k + view.rowStart[s + 1] - view.rowStart[s];
      if (!factorFront(fronts.front(), m, k, threshold, blockSize, outcome)) {
        outcome.kind = SupernodalOutcome::kPivotRejected;
        return outcome;
      }
      fronts.store(s);
    }
    assert(fronts.complete());
  } catch (const std::bad_alloc&) {
    throw Orvo::mvlException("sparse LU: not enough memory for the factorisation");
  }
  if (outcome.smallestPivot == HUGE_VAL) outcome.smallestPivot = 0.0;
  return outcome;
}

namespace {
// Supernode s of the factors: its first position, k columns, r rows below (m = k + r) and their
// positions.
struct Block {
  int first, k, r, m;
  const int* rows;
  std::int64_t reals() const { return panelReals(k, r); }
};
Block blockOf(const SupernodalView& f, int s) {
  const int first = f.first[s], k = f.first[s + 1] - first;
  const int r = f.rowStart[s + 1] - f.rowStart[s];
  return Block{first, k, r, k + r, f.rows + f.rowStart[s]};
}
}  // namespace

void SolveSupernodal(const SupernodalView& f, const double* b, double* x, double* work) {
  const int n = f.n;
  double* y = work;
  for (int k = 0; k < n; ++k) y[k] = f.scale[f.order[k]] * b[f.order[k]];
  // L y = R P b, supernode by supernode.
  const double* panel = f.panels;
  for (int s = 0; s < f.supernodes; ++s) {
    const auto [first, k, r, m, rows] = blockOf(f, s);
    double* ys = y + first;
    for (int t = 0; t < k; ++t) {
      const double yt = ys[t];
      if (yt == 0.0) continue;
      const double* column = panel + static_cast<std::size_t>(t) * m;
      for (int i = t + 1; i < k; ++i) ys[i] -= column[i] * yt;
      for (int i = 0; i < r; ++i) y[rows[i]] -= column[k + i] * yt;
    }
    panel += blockOf(f, s).reals();
  }
  // U z = y, backwards.
  for (int s = f.supernodes - 1; s >= 0; --s) {
    panel -= blockOf(f, s).reals();
    const auto [first, k, r, m, rows] = blockOf(f, s);
    const double* uBlock = panel + static_cast<std::size_t>(m) * k;
    double* ys = y + first;
    for (int jj = 0; jj < r; ++jj) {
      const double yj = y[rows[jj]];
      if (yj == 0.0) continue;
      const double* column = uBlock + static_cast<std::size_t>(jj) * k;
      for (int t = 0; t < k; ++t) ys[t] -= column[t] * yj;
    }
    for (int t = k - 1; t >= 0; --t) {
      const double* column = panel + static_cast<std::size_t>(t) * m;
      const double yt = ys[t] / column[t];
      ys[t] = yt;
      for (int i = 0; i < t; ++i) ys[i] -= column[i] * yt;
    }
  }
  for (int k = 0; k < n; ++k) x[f.order[k]] = y[k];
}

void SolveSupernodalTransposed(const SupernodalView& f, const double* b, double* x, double* work) {
  // A^T x = b is (R A)^T w = b with x = R w, and (R A)^T = P^T U^T L^T P.
  const int n = f.n;
  double* v = work;
  for (int k = 0; k < n; ++k) v[k] = b[f.order[k]];
  // U^T v = P b, forwards.
  const double* panel = f.panels;
  for (int s = 0; s < f.supernodes; ++s) {
    const auto [first, k, r, m, rows] = blockOf(f, s);
    const double* uBlock = panel + static_cast<std::size_t>(m) * k;
    double* vs = v + first;
    for (int t = 0; t < k; ++t) {
      const double* column = panel + static_cast<std::size_t>(t) * m;
      double sum = vs[t];
      for (int i = 0; i < t; ++i) sum -= column[i] * vs[i];
      vs[t] = sum / column[t];
    }
    for (int jj = 0; jj < r; ++jj) {
      const double* column = uBlock + static_cast<std::size_t>(jj) * k;
      double sum = 0.0;
      for (int t = 0; t < k; ++t) sum += column[t] * vs[t];
      v[rows[jj]] -= sum;
    }
    panel += blockOf(f, s).reals();
  }
  // L^T z = v, backwards.
  for (int s = f.supernodes - 1; s >= 0; --s) {
    panel -= blockOf(f, s).reals();
    const auto [first, k, r, m, rows] = blockOf(f, s);
    double* vs = v + first;
    for (int t = k - 1; t >= 0; --t) {
      const double* column = panel + static_cast<std::size_t>(t) * m;
      double sum = vs[t];
      for (int i = 0; i < r; ++i) sum -= column[k + i] * v[rows[i]];
      for (int i = t + 1; i < k; ++i) sum -= column[i] * vs[i];
      vs[t] = sum;
    }
  }
  for (int k = 0; k < n; ++k) x[f.order[k]] = f.scale[f.order[k]] * v[k];
}

}  // namespace sparse_lu
