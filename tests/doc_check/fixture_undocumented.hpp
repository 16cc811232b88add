// Input of the checker's own test: four public declarations lack a documentation comment (each
// marked UNDOCUMENTED), the rest are documented in every form the checker accepts.
#ifndef ORVO_DOC_CHECK_FIXTURE_HPP
#define ORVO_DOC_CHECK_FIXTURE_HPP

namespace Fixture {

/// A documented free function.
int documented(int a);

// UNDOCUMENTED: a plain comment is not attached by the documentation generator.
int plainComment(int a);

int noComment(int a);  // UNDOCUMENTED: a trailing comment does not count either

/* UNDOCUMENTED: a plain block comment. */
int plainBlock(int a);

/** A documented function, block form. */
int blockForm(int a);

/**
 * A documented class, multi-line block form.
 */
class Documented {
 public:
  /// @{
  /// A family of overloads under one comment.
  int overload(int a);
  int overload(double a);
  /// @}

  Documented(const Documented&) = default;

  // UNDOCUMENTED: a member with a plain comment.
  int member() const { return 0; }

 private:
  // Private members need no documentation.
  int hidden_ = 0;
};

}  // namespace Fixture

#endif
