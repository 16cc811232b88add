// RMatrix storage, status word, views and the assignment protocol.
#include <gtest/gtest.h>

#include "orvo/matrix.hpp"

using namespace Orvo;

namespace {
RMatrix sequence(int height, int width) {
  RMatrix m(height, width);
  for (int k = 0; k < height * width; ++k) m(k) = k + 1;
  return m;
}
struct Counters {
  int allocs = OrvoallocCalls(), frees = OrvofreeCalls(), bytes = OrvomemUsed();
};
}  // namespace

TEST(RMatrix, ColumnMajorIndexingRowsAndColumns) {
  RMatrix d;
  EXPECT_EQ(d.Size(), mSize(1, 1));
  EXPECT_TRUE(d.isOK());
  EXPECT_EQ(d.getInfo(), 0);

  RMatrix m = sequence(2, 3);
  EXPECT_EQ(&m(1, 2), &m(5));
  EXPECT_EQ(m[1][2], 6.0);
  m[0][1] = -3.0;
  EXPECT_EQ(m(2), -3.0);

  RMatrix r = sequence(3, 4);
  Vector<double> row = r.Row(1);
  EXPECT_EQ(row.Length(), 4);
  EXPECT_EQ(row.Stride(), 3);
  for (int j = 0; j < 4; ++j) row[j] = 100 + j;
  for (int j = 0; j < 4; ++j) EXPECT_EQ(r(1, j), 100 + j);
  EXPECT_EQ(r(0, 1), 4.0);  // neighbours in storage untouched
  EXPECT_EQ(r(2, 2), 9.0);

  Vector<double> column = r.Column(2);
  EXPECT_EQ(column.Stride(), 1);
  EXPECT_EQ(column.Sum(), 7.0 + 102.0 + 9.0);
  EXPECT_EQ(column.SumSquares(), 49.0 + 102.0 * 102.0 + 81.0);
  // Columns (1, 100, 3) and (4, 101, 6) after the row write.
  EXPECT_EQ(r.Column(0).DistanceSquared(r.Column(1)), 9.0 + 1.0 + 9.0);
}

TEST(RMatrix, VectorOperationsAgainstHandValues) {
  double a[] = {4, 1, 3, 1, 7};
  double b[] = {0, 1, 5, 2, 7};
  Vector<double> va(a, 5, 1), vb(b, 5, 1);
  EXPECT_EQ(va.MinIndex(), 1);
  EXPECT_EQ(va.DistanceSquared(vb), 16.0 + 0.0 + 4.0 + 1.0 + 0.0);
  Vector<double> every_other(a, 3, 2);  // 4, 3, 7
  EXPECT_EQ(every_other.Sum(), 14.0);
  EXPECT_EQ(every_other.MinIndex(), 1);

  // Copying a strided view gives an independent contiguous vector.
  Vector<double> copy = every_other;
  EXPECT_EQ(copy.Stride(), 1);
  copy[0] = -1;
  EXPECT_EQ(a[0], 4.0);
  // Assigning an equal-length vector writes through the view's stride only.
  every_other = copy;
  EXPECT_EQ(a[0], -1.0);
  EXPECT_EQ(a[1], 1.0);

  // A different length detaches the view: it becomes an owning contiguous copy.
  Vector<double> two(b, 2, 2);  // 0, 5
  every_other = two;
  EXPECT_EQ(every_other.Length(), 2);
  EXPECT_EQ(every_other.Stride(), 1);
  EXPECT_EQ(every_other[1], 5.0);
  every_other[1] = 8.0;
  EXPECT_EQ(a[2], 3.0);
  EXPECT_EQ(b[2], 5.0);
}

TEST(RMatrix, CopyAssignmentAndStatus) {
  RMatrix source = sequence(2, 3);
  source.markFailed(7);
  RMatrix copied(source);
  EXPECT_TRUE(copied.isOK());  // a copy starts with a clean status
  EXPECT_EQ(copied.getInfo(), 0);
  EXPECT_EQ(copied(1, 2), 6.0);

  RMatrix target = sequence(3, 2);
  target = source;
  EXPECT_EQ(target.Size(), mSize(2, 3));
  EXPECT_FALSE(target.isOK());
  EXPECT_EQ(target.getInfo(), 7);
  EXPECT_EQ(target(0, 2), 5.0);

  target.setOK();
  target.setInfo(3);
  EXPECT_TRUE(target.isOK());
  EXPECT_EQ(target.getInfo(), 3);

  target = 2.5;
  EXPECT_EQ(target.Size(), mSize(2, 3));
  EXPECT_EQ(target(1, 1), 2.5);
}

TEST(RMatrix, ViewsWriteThroughCallerStorage) {
  double storage[6] = {0, 0, 0, 0, 0, 0};
  Counters before;
  {
    RMatrix view(2, 3, storage);
    view(1, 2) = 9.0;
    view = sequence(2, 3);  // equal element count: written through
    EXPECT_EQ(storage[4], 5.0);
  }
  EXPECT_EQ(OrvomemUsed(), before.bytes);

  mvlarray<double> values(4);
  for (int k = 0; k < 4; ++k) values[k] = k;
  RMatrix owned(2, 2, values);
  owned(0, 0) = 42;
  EXPECT_EQ(values[0], 0.0);
}

TEST(RMatrix, AddSubtractInStorageOrder) {
  RMatrix a = sequence(2, 3), b = sequence(3, 2);
  a += b;
  EXPECT_EQ(a(1, 2), 12.0);
  a -= b;
  a -= b;
  EXPECT_EQ(a(0, 0), 0.0);
  EXPECT_EQ(a(1, 1), 0.0);
}

TEST(RMatrix, ResizeAndReshapeAccounting) {
  RMatrix m = sequence(3, 2);
  Counters before;
  m.Resize(2, 3);  // same element count: one transient block, no reallocation
  EXPECT_EQ(m.Size(), mSize(2, 3));
  EXPECT_EQ(OrvoallocCalls() - before.allocs, 1);
  EXPECT_EQ(OrvofreeCalls() - before.frees, 1);
  EXPECT_EQ(OrvomemUsed(), before.bytes);

  m.Resize(4, 4);  // new count: the old block goes, a new one comes, plus the transient one
  EXPECT_EQ(OrvoallocCalls() - before.allocs, 3);
  EXPECT_EQ(OrvofreeCalls() - before.frees, 3);
  EXPECT_EQ(OrvomemUsed(), before.bytes + 8 * (16 - 6));
  m.markFailed(-1);
  m.Resize(1, 1);
  EXPECT_FALSE(m.isOK());  // Resize leaves the status alone
}

TEST(RMatrix, ExpressionAssignmentReusesStorageOfTheRightShape) {
  RMatrix m = sequence(4, 4);
  double* block = m.Array();
  Counters before;
  m = Vals<0>(4, 4);
  EXPECT_EQ(m.Array(), block);
  EXPECT_EQ(OrvoallocCalls(), before.allocs);
  EXPECT_EQ(m(3, 3), 0.0);

  m = Vals<1>(2, 3);
  EXPECT_EQ(m.Size(), mSize(2, 3));
  for (int k = 0; k < 6; ++k) EXPECT_EQ(m(k), 1.0);

  RMatrix kept = sequence(3, 3);
  kept = ShapeShifter(3, 3);
  EXPECT_EQ(kept(2, 2), 9.0);
  kept = ShapeShifter(1, 9);
  EXPECT_EQ(kept.Size(), mSize(1, 9));
}

TEST(RMatrix, MoveKeepsBlockAndStatus) {
  RMatrix m = sequence(2, 2);
  m.markFailed(5);
  double* block = m.Array();
  RMatrix moved(std::move(m));
  EXPECT_EQ(moved.Array(), block);
  EXPECT_EQ(moved.getInfo(), 5);
}

TEST(RMatrix, SetValueThroughTheSharedInterface) {
  RMatrix m(2, 2);
  m = 0.0;
  IMatrix& writable = m;
  writable.SetValue(1, 0, 4.0);
  EXPECT_EQ(m(1, 0), 4.0);
}

// Element counts are multiplied in 64 bits: a product beyond the int range, or a negative
// dimension, throws before any storage is obtained, and the matrix resized keeps its shape.
TEST(RMatrix, ImpossibleShapesThrowBeforeAllocating) {
  const std::int32_t bytes = OrvomemUsed(), allocs = OrvoallocCalls();
  EXPECT_THROW(RMatrix(65536, 65536), mvlException);
  EXPECT_THROW(RMatrix(-1, 3), mvlException);
  EXPECT_THROW(RMatrix(1 << 20, 1 << 12), mvlException);
  EXPECT_EQ(OrvoallocCalls(), allocs);
  {
    RMatrix m(2, 3);
    EXPECT_THROW(m.Resize(-1, -1), mvlException);
    EXPECT_THROW(m.Resize(65536, 65536), mvlException);
    EXPECT_EQ(m.Size(), mSize(2, 3));
  }
  EXPECT_THROW(mvlarray<double>(-5), mvlException);
  EXPECT_EQ(OrvomemUsed(), bytes);
}

// Assigning an array or matrix from a view of its own block: the view is read before the
// block is let go (run under the address sanitizer this is a use-after-free test).
TEST(RMatrix, AssignmentFromAViewOfItsOwnBlock) {
  mvlarray<double> a(6);
  for (int i = 0; i < 6; ++i) a[i] = i;
  mvlarray<double> tail(a.Array() + 2, 3);
  a = tail;
  ASSERT_EQ(a.Length(), 3);
  EXPECT_TRUE(a.isOwner());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(a[i], i + 2.0);

  // Equal lengths, overlapping: copied as if through a temporary.
  mvlarray<double> b(6);
  for (int i = 0; i < 6; ++i) b[i] = i;
  mvlarray<double> front(b.Array(), 4), back(b.Array() + 2, 4);
  back = front;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(b[i + 2], i);

  RMatrix M(3, 3);
  for (int k = 0; k < 9; ++k) M(k) = k;
  RMatrix firstColumns(3, 2, M.Array());
  M = firstColumns;
  ASSERT_EQ(M.Size(), mSize(3, 2));
  for (int k = 0; k < 6; ++k) EXPECT_EQ(M(k), k);
}
