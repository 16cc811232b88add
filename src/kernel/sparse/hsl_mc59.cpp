// Coordinate sort into column order: a counting pass for the column starts, then an in-place
// bucket permutation in which every swap puts one entry into its final column, so the work is
// linear in the number of entries and the only extra storage is one pointer per column.
#include <algorithm>
#include <utility>

#include "kernel/sparse/sparse_kernels.hpp"

namespace {
using namespace mc59;

void swapEntries(int* irn, int* jcn, double* a, int p, int q) {
  std::swap(irn[p], irn[q]);
  std::swap(jcn[p], jcn[q]);
  std::swap(a[p], a[q]);
}
}  // namespace

void HSL_MC59AD(const int* icntl, const int* nc, const int* nr, const int* ne, int* irn,
                const int* ljcn, int* jcn, const int* la, double* a, const int* lip, int* ip,
                const int* liw, int* iw, int* info) {
  std::fill(info, info + kInfoLength, 0);
  const int columns = *nc, rows = *nr;
  int entries = *ne;
  if (columns < 1 || rows < 1) {
    info[0] = kBadSize;
    return;
  }
  if (entries < 0) {
    info[0] = kBadCount;
    return;
  }
  if (*ljcn < entries || *la < entries) {
    info[0] = kEntryArraysShort;
    return;
  }
  if (*lip < columns + 1) {
    info[0] = kStartsShort;
    return;
  }
  if (*liw < std::max(rows, columns) + 1) {
    info[0] = kWorkShort;
    return;
  }
  if (icntl[5] != 0) {
    info[0] = kBadStorage;
    return;
  }

  if (icntl[0] == 0) {
    int kept = 0;
    for (int k = 0; k < entries; ++k) {
      if (irn[k] < 1 || irn[k] > rows || jcn[k] < 1 || jcn[k] > columns) continue;
      irn[kept] = irn[k];
      jcn[kept] = jcn[k];
      a[kept] = a[k];
      ++kept;
    }
    info[1] = entries - kept;
    entries = kept;
  }

  // Column starts, 0-based while we work; iw[c] is the next free slot of column c.
  std::fill(iw, iw + columns, 0);
  for (int k = 0; k < entries; ++k) ++iw[jcn[k] - 1];
  ip[0] = 0;
  for (int c = 0; c < columns; ++c) ip[c + 1] = ip[c] + iw[c];
  for (int c = 0; c < columns; ++c) iw[c] = ip[c];
  for (int c = 0; c < columns; ++c) {
    const int end = ip[c + 1];
    while (iw[c] < end) {
      const int k = iw[c];
      const int home = jcn[k] - 1;
      if (home == c) {
        ++iw[c];
      } else {
        swapEntries(irn, jcn, a, k, iw[home]++);
      }
    }
  }

  if (icntl[2] != 0) {
    // iw[r] remembers where row r last appeared; a position before the current column's start
    // belongs to an earlier column and so does not count.
    std::fill(iw, iw + rows, -1);
    int kept = 0;
    for (int c = 0; c < columns; ++c) {
      const int first = ip[c], end = ip[c + 1];
      ip[c] = kept;
      for (int k = first; k < end; ++k) {
        const int r = irn[k] - 1;
        if (iw[r] >= ip[c]) {
          a[iw[r]] += a[k];
          continue;
        }
        iw[r] = kept;
        irn[kept] = irn[k];
        jcn[kept] = jcn[k];
        a[kept] = a[k];
        ++kept;
      }
    }
    info[2] = entries - kept;
    ip[columns] = kept;
    entries = kept;
  }

  int longest = 0;
  for (int c = 0; c <= columns; ++c) {
    if (c < columns) longest = std::max(longest, ip[c + 1] - ip[c]);
    ++ip[c];
  }
  info[3] = longest;
  info[4] = entries;
  if (info[1] > 0) info[0] = kRemovedOutOfRange;
}
