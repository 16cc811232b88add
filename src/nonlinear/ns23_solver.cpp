// Driver of the sparse nonlinear-equation kernel: owns the sparse Jacobian, the residuals and
// all kernel arrays, learns the workspace lengths from the first Jacobian's pattern and grows
// the workspace whenever the kernel asks for more.
#include <algorithm>
#include <cstdint>
#include <limits>

#include "common/array_helpers.hpp"
#include "kernel/nle/nle_kernel.hpp"
#include "orvo/nonlinear.hpp"

namespace Orvo {

namespace {

constexpr int kInitialWorkspace = 10;
constexpr int kJacobianEntriesPerRow = 10;

int JacobianCapacity(int m) {
  const std::int64_t capacity = static_cast<std::int64_t>(kJacobianEntriesPerRow) * std::max(m, 0);
  return static_cast<int>(std::min<std::int64_t>(capacity, std::numeric_limits<int>::max()));
}

double SumOfSquares(const mvlarray<double>& v) {
  return detail::dot(v.Length(), v.Array(), v.Array());
}

// S = sum over columns of (1 + the number of other columns sharing a row with it), from the
// compressed pattern (1-based row indices and column starts).
std::int64_t ColumnNeighbourSum(sparseMatrix& J) {
  const int m = J.Nr(), n = J.Nc();
  const int* rows = J.Irn().Array();
  const int* starts = J.Ip().Array();
  const int entries = starts[n] - 1;
  // Rows of the pattern: for each row the columns holding an entry.
  mvlarray<int> rowStarts(m + 1);
  mvlarray<int> rowColumns(std::max(entries, 1));
  mvlarray<int> mark(std::max(n, 1));
  std::fill(rowStarts.Array(), rowStarts.Array() + m + 1, 0);
  for (int e = 0; e < entries; ++e) ++rowStarts[rows[e]];
  for (int r = 0; r < m; ++r) rowStarts[r + 1] += rowStarts[r];
  for (int j = 0; j < n; ++j)
    for (int e = starts[j] - 1; e < starts[j + 1] - 1; ++e)
      rowColumns[rowStarts[rows[e] - 1]++] = j;
  for (int r = m; r > 0; --r) rowStarts[r] = rowStarts[r - 1];
  rowStarts[0] = 0;
  detail::fill(mark, -1);
  std::int64_t sum = 0;
  for (int j = 0; j < n; ++j) {
    mark[j] = j;
    std::int64_t neighbours = 0;
    for (int e = starts[j] - 1; e < starts[j + 1] - 1; ++e) {
      const int r = rows[e] - 1;
      for (int t = rowStarts[r]; t < rowStarts[r + 1]; ++t)
        if (mark[rowColumns[t]] != j) {
          mark[rowColumns[t]] = j;
          ++neighbours;
        }
    }
    sum += 1 + neighbours;
  }
  return sum;
}

}  // namespace

ns23Solver::ns23Solver(mvlarray<double>& x_, int m_)
    : J(JacobianCapacity(m_), m_, x_.Length()),
      aux(1, m_, x_.Length()),
      m(m_),
      n(x_.Length()),
      iw(kInitialWorkspace),
      w(kInitialWorkspace),
      x(x_),
      f(std::max(m_, 0)),
      icntl(nle::kIcntlLength),
      cntl(nle::kCntlLength),
      info(nle::kInfoLength),
      rinfo(nle::kRinfoLength),
      isave(nle::kIsaveLength),
      rsave(nle::kRsaveLength),
      lsave(nle::kLsaveLength) {
  detail::fill(iw, 0);
  detail::fill(w, 0.0);
  detail::fill(f, 0.0);
  detail::fill(info, 0);
  detail::fill(rinfo, 0.0);
  HSL_NS23ID(icntl.Array(), cntl.Array(), isave.Array(), rsave.Array(), lsave.Array());
}

// The Jacobian is emptied before the call even when a previous call threw half-way through.
void ns23Solver::evaluate(FunctorBase_AAI& fun) {
  J.Uncompress();
  J.Nz() = 0;
  fun(x, f, J);
  fval = SumOfSquares(f);
  J.Compress();
}

void ns23Solver::Initialize(FunctorBase_AAI& fun) {
  evaluate(fun);
  nnzjCount = J.Nz();
  const std::int64_t s = ColumnNeighbourSum(J);
  const std::int64_t nnzn = n + (s - n) / 2;
  const std::int64_t needInt = nnzjCount + 4 * nnzn + 11LL * n + 44 + m;
  const std::int64_t needReal = nnzjCount + nnzn + 3LL * n + 4LL * m + 1;
  constexpr std::int64_t kMax = std::numeric_limits<int>::max();
  HSL_NS23ID(icntl.Array(), cntl.Array(), isave.Array(), rsave.Array(), lsave.Array());
  icntl[0] = 0;
  initialized = true;
  if (nnzn > kMax || needInt > kMax || needReal > kMax) {
    // Lengths the int arguments cannot carry: the kernel is never asked to work on them.
    nnznCount = static_cast<int>(std::min(nnzn, kMax));
    iflag = kInvalidArguments;
    return;
  }
  nnznCount = static_cast<int>(nnzn);
  liw = static_cast<int>(needInt);
  lw = static_cast<int>(needReal);
  iw.Reallocate(liw);
  w.Reallocate(lw);
  iflag = kEvaluate;
}

void ns23Solver::callKernel() {
  HSL_NS23AD(&m, &n, &stopReal1, &stopReal2, &stopInt, &kernelInt, J.Irn().Array(), J.Ip().Array(),
             aux.Data().Array(), aux.Irn().Array(), aux.Ip().Array(), &kernelReal, &liw, iw.Array(),
             &lw, w.Array(), x.Array(), f.Array(), J.Data().Array(), &iflag, icntl.Array(),
             cntl.Array(), info.Array(), rinfo.Array(), isave.Array(), rsave.Array(),
             lsave.Array());
}

int ns23Solver::Cycle(FunctorBase_AAI& fun) {
  if (!initialized)
    Initialize(fun);
  else
    evaluate(fun);
  nfev += 1;
  for (;;) {
    callKernel();
    if (iflag != nle::kIntegerWorkspaceShort && iflag != nle::kWorkspaceShort) break;
    bool grown = false;
    if (liw < info[3]) {
      liw = info[3];
      iw.Reallocate(liw);
      grown = true;
    }
    if (iflag == nle::kWorkspaceShort && lw < info[4]) {
      lw = info[4];
      w.Reallocate(lw);
      grown = true;
    }
    // A request that grows nothing could only repeat itself.
    if (!grown) {
      iflag = kInvalidArguments;
      break;
    }
  }
  // At the end the kernel has put x and f back to the best point.
  if (iflag <= 0) fval = SumOfSquares(f);
  return iflag;
}

int ns23Solver::Solve(FunctorBase_AAI& fun) {
  int code = Cycle(fun);
  while (code > 0) code = Cycle(fun);
  return code;
}

}  // namespace Orvo
