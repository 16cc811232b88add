// The evaluation-free parts of the bound-constrained interpolation method: the model's second
// derivative product, the trust-region step within the box (truncated conjugate gradients, then
// rotations of the step in the space of the free variables), the geometry step that moves one
// interpolation point, and the update of the factored inverse of the interpolation system.
#include "kernel/bobyqa/bobyqa_steps.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>

#include "common/array_helpers.hpp"

namespace Orvo {
namespace bobyqa {

using detail::dot;

namespace {

// The conjugate-gradient and rotation iterations stop once the reduction still to be gained is
// below these fractions of the reduction achieved so far.
constexpr double kNegligibleReduction = 0.01;
constexpr double kNegligibleGradient = 1.0e-4;
// Rotations are tried at 17 angbd + 3 equally spaced tangents of the half angle.
constexpr double kAnglesPerUnit = 17.0;
constexpr double kAngleOffset = 3.1;
// Fixed-variable markers of the trust-region step.
constexpr double kAtLower = -1.0;
constexpr double kAtUpper = 1.0;
constexpr double kFree = 0.0;

}  // namespace

void HessianTimes(const Model& m, const double* s, double* hs) {
  const int n = m.n;
  for (int j = 0; j < n; ++j) hs[j] = 0.0;
  for (int j = 0; j < n; ++j) {
    const double* column = m.hq + PackedIndex(0, j);
    double sum = 0.0;
    for (int i = 0; i < j; ++i) {
      sum += column[i] * s[i];
      hs[i] += column[i] * s[j];
    }
    hs[j] += sum + column[j] * s[j];
  }
  for (int k = 0; k < m.npt; ++k) {
    if (m.pq[k] == 0.0) continue;
    const double* y = m.Point(k);
    const double temp = m.pq[k] * dot(n, y, s);
    for (int i = 0; i < n; ++i) hs[i] += temp * y[i];
  }
}

double TrustRegionStep(const Model& m, double delta, double* xnew, double* d, double* gnew,
                       double* xbdi, double* s, double* hs, double* hred, double* crvmin) {
  const int n = m.n;
  const double* xopt = m.xopt;
  const double* sl = m.sl;
  const double* su = m.su;
  // Variables on a bound whose gradient points out of the box stay fixed from the start.
  int nact = 0;
  for (int i = 0; i < n; ++i) {
    xbdi[i] = kFree;
    if (xopt[i] <= sl[i]) {
      if (m.gopt[i] >= 0.0) xbdi[i] = kAtLower;
    } else if (xopt[i] >= su[i]) {
      if (m.gopt[i] <= 0.0) xbdi[i] = kAtUpper;
    }
    if (xbdi[i] != kFree) ++nact;
    d[i] = 0.0;
    gnew[i] = m.gopt[i];
  }
  double delsq = delta * delta;
  double qred = 0.0;
  *crvmin = -1.0;
  int iterc = 0;
  int itermax = 0;
  double beta = 0.0;
  double gredsq = 0.0;
  double ggsav = 0.0;
  bool rotate = false;

  // Truncated conjugate gradients on the free variables, restarted whenever a bound is hit.
  for (;;) {
    double stepsq = 0.0;
    for (int i = 0; i < n; ++i) {
      if (xbdi[i] != kFree)
        s[i] = 0.0;
      else if (beta == 0.0)
        s[i] = -gnew[i];
      else
        s[i] = beta * s[i] - gnew[i];
      stepsq += s[i] * s[i];
    }
    if (stepsq == 0.0) break;
    if (beta == 0.0) {
      gredsq = stepsq;
      itermax = iterc + n - nact;
    }
    if (gredsq * delsq <= kNegligibleGradient * qred * qred) break;
    HessianTimes(m, s, hs);
    double resid = delsq, ds = 0.0, shs = 0.0;
    for (int i = 0; i < n; ++i) {
      if (xbdi[i] != kFree) continue;
      resid -= d[i] * d[i];
      ds += s[i] * d[i];
      shs += s[i] * hs[i];
    }
    if (resid <= 0.0) {
      rotate = true;
      break;
    }
    // blen: step to the trust-region boundary; stplen: the step actually taken.
    const double root = std::sqrt(stepsq * resid + ds * ds);
    const double blen = ds < 0.0 ? (root - ds) / stepsq : resid / (root + ds);
    double stplen = blen;
    if (shs > 0.0) stplen = std::min(blen, gredsq / shs);
    int iact = -1;
    for (int i = 0; i < n; ++i) {
      if (s[i] == 0.0) continue;
      const double xsum = xopt[i] + d[i];
      const double room = s[i] > 0.0 ? (su[i] - xsum) / s[i] : (sl[i] - xsum) / s[i];
      if (room < stplen) {
        stplen = room;
        iact = i;
      }
    }
    double sdec = 0.0;
    if (stplen > 0.0) {
      ++iterc;
      const double curvature = shs / stepsq;
      if (iact < 0 && curvature > 0.0)
        *crvmin = *crvmin == -1.0 ? curvature : std::min(*crvmin, curvature);
      ggsav = gredsq;
      gredsq = 0.0;
      for (int i = 0; i < n; ++i) {
        gnew[i] += stplen * hs[i];
        if (xbdi[i] == kFree) gredsq += gnew[i] * gnew[i];
        d[i] += stplen * s[i];
      }
      sdec = std::max(stplen * (ggsav - 0.5 * stplen * shs), 0.0);
      qred += sdec;
    }
    if (iact >= 0) {
      ++nact;
      xbdi[iact] = s[iact] < 0.0 ? kAtLower : kAtUpper;
      delsq -= d[iact] * d[iact];
      if (delsq <= 0.0) {
        rotate = true;
        break;
      }
      beta = 0.0;
      continue;
    }
    if (stplen < blen) {
      if (iterc == itermax || sdec <= kNegligibleReduction * qred) break;
      beta = gredsq / ggsav;
      continue;
    }
    rotate = true;
    break;
  }

  // On the trust-region boundary: rotate d within the free subspace, keeping |d| fixed, towards
  // the reduced steepest descent direction, fixing variables as they reach their bounds.
  if (rotate) {
    *crvmin = 0.0;
    bool more = true;
    while (more && nact < n - 1) {
      double dredsq = 0.0, dredg = 0.0;
      gredsq = 0.0;
      for (int i = 0; i < n; ++i) {
        if (xbdi[i] == kFree) {
          dredsq += d[i] * d[i];
          dredg += d[i] * gnew[i];
          gredsq += gnew[i] * gnew[i];
          s[i] = d[i];
        } else {
          s[i] = 0.0;
        }
      }
      HessianTimes(m, s, hs);
      for (int i = 0; i < n; ++i) hred[i] = hs[i];
      bool refix = false;
      for (;;) {
        ++iterc;
        double temp = gredsq * dredsq - dredg * dredg;
        if (temp <= kNegligibleGradient * qred * qred) {
          more = false;
          break;
        }
        temp = std::sqrt(temp);
        for (int i = 0; i < n; ++i)
          s[i] = xbdi[i] == kFree ? (dredg * d[i] - dredsq * gnew[i]) / temp : 0.0;
        const double sredg = -temp;
        // angbd bounds the tangent of half the rotation angle so that the bounds hold.
        double angbd = 1.0;
        int iact = -1;
        double xsav = kFree;
        for (int i = 0; i < n && !refix; ++i) {
          if (xbdi[i] != kFree) continue;
          const double tempa = xopt[i] + d[i] - sl[i];
          const double tempb = su[i] - xopt[i] - d[i];
          if (tempa <= 0.0) {
            ++nact;
            xbdi[i] = kAtLower;
            refix = true;
          } else if (tempb <= 0.0) {
            ++nact;
            xbdi[i] = kAtUpper;
            refix = true;
          } else {
            const double ssq = d[i] * d[i] + s[i] * s[i];
            double t = ssq - (xopt[i] - sl[i]) * (xopt[i] - sl[i]);
            if (t > 0.0) {
              t = std::sqrt(t) - s[i];
              if (angbd * t > tempa) {
                angbd = tempa / t;
                iact = i;
                xsav = kAtLower;
              }
            }
            t = ssq - (su[i] - xopt[i]) * (su[i] - xopt[i]);
            if (t > 0.0) {
              t = std::sqrt(t) + s[i];
              if (angbd * t > tempb) {
                angbd = tempb / t;
                iact = i;
                xsav = kAtUpper;
              }
            }
          }
        }
        if (refix) break;
        HessianTimes(m, s, hs);
        double shs = 0.0, dhs = 0.0, dhd = 0.0;
        for (int i = 0; i < n; ++i) {
          if (xbdi[i] != kFree) continue;
          shs += s[i] * hs[i];
          dhs += d[i] * hs[i];
          dhd += d[i] * hred[i];
        }
        // Greatest reduction over a grid of half-angle tangents, refined by a parabola.
        double redmax = 0.0, redsav = 0.0, rdprev = 0.0, rdnext = 0.0, angt = 0.0;
        int isav = 0;
        const int iu = static_cast<int>(kAnglesPerUnit * angbd + kAngleOffset);
        for (int i = 1; i <= iu; ++i) {
          angt = angbd * i / iu;
          const double sth = (angt + angt) / (1.0 + angt * angt);
          const double t = shs + angt * (angt * dhd - dhs - dhs);
          const double rednew = sth * (angt * dredg - sredg - 0.5 * sth * t);
          if (rednew > redmax) {
            redmax = rednew;
            isav = i;
            rdprev = redsav;
          } else if (i == isav + 1) {
            rdnext = rednew;
          }
          redsav = rednew;
        }
        if (isav == 0) {
          more = false;
          break;
        }
        if (isav < iu) {
          const double t = (rdnext - rdprev) / (redmax + redmax - rdprev - rdnext);
          angt = angbd * (isav + 0.5 * t) / iu;
        }
        const double cth = (1.0 - angt * angt) / (1.0 + angt * angt);
        const double sth = (angt + angt) / (1.0 + angt * angt);
        const double t = shs + angt * (angt * dhd - dhs - dhs);
        const double sdec = sth * (angt * dredg - sredg - 0.5 * sth * t);
        if (sdec <= 0.0) {
          more = false;
          break;
        }
        dredg = 0.0;
        gredsq = 0.0;
        for (int i = 0; i < n; ++i) {
          gnew[i] += (cth - 1.0) * hred[i] + sth * hs[i];
          if (xbdi[i] == kFree) {
            d[i] = cth * d[i] + sth * s[i];
            dredg += d[i] * gnew[i];
            gredsq += gnew[i] * gnew[i];
          }
          hred[i] = cth * hred[i] + sth * hs[i];
        }
        qred += sdec;
        if (iact >= 0 && isav == iu) {
          ++nact;
          xbdi[iact] = xsav;
          refix = true;
          break;
        }
        if (sdec <= kNegligibleReduction * qred) {
          more = false;
          break;
        }
      }
      if (!refix) more = false;
    }
  }

  double dsq = 0.0;
  for (int i = 0; i < n; ++i) {
    xnew[i] = std::max(std::min(xopt[i] + d[i], su[i]), sl[i]);
    if (xbdi[i] == kAtLower) xnew[i] = sl[i];
    if (xbdi[i] == kAtUpper) xnew[i] = su[i];
    d[i] = xnew[i] - xopt[i];
    dsq += d[i] * d[i];
  }
  return dsq;
}

namespace {

// One constrained Cauchy step of sign * (Lagrange function of knew): the step from xopt along
// -sign * glag, truncated by the bounds (components that hit a bound are fixed there) and by the
// radius adelt, then possibly shortened where that increases the modulus of the function.
// Returns the square of the function's value at xalt.
double CauchyCandidate(const Model& m, double sign, double adelt, const double* glag,
                       const double* hcol, double* xalt, double* step, double* state) {
  constexpr double kZero = 0.0, kFreeComponent = 1.0, kFixed = 2.0;
  constexpr double kScaleLimit = 2.414213562373095;  // 1 + sqrt(2)
  const int n = m.n;
  const double* xopt = m.xopt;
  double ggfree = 0.0;
  for (int i = 0; i < n; ++i) {
    const double g = sign * glag[i];
    step[i] = 0.0;
    state[i] = kZero;
    if (std::min(xopt[i] - m.sl[i], g) > 0.0 || std::max(xopt[i] - m.su[i], g) < 0.0) {
      state[i] = kFreeComponent;
      ggfree += g * g;
    }
  }
  if (ggfree == 0.0) {
    for (int i = 0; i < n; ++i) xalt[i] = xopt[i];
    return 0.0;
  }
  double wfixsq = 0.0, length = 0.0;
  for (;;) {
    const double room = adelt * adelt - wfixsq;
    if (room <= 0.0) break;
    const double wsqsav = wfixsq;
    length = std::sqrt(room / ggfree);
    ggfree = 0.0;
    for (int i = 0; i < n; ++i) {
      if (state[i] != kFreeComponent) continue;
      const double g = sign * glag[i];
      const double t = xopt[i] - length * g;
      if (t <= m.sl[i]) {
        state[i] = kFixed;
        step[i] = m.sl[i] - xopt[i];
        wfixsq += step[i] * step[i];
      } else if (t >= m.su[i]) {
        state[i] = kFixed;
        step[i] = m.su[i] - xopt[i];
        wfixsq += step[i] * step[i];
      } else {
        ggfree += g * g;
      }
    }
    if (!(wfixsq > wsqsav && ggfree > 0.0)) break;
  }
  double gw = 0.0;
  for (int i = 0; i < n; ++i) {
    const double g = sign * glag[i];
    if (state[i] == kFreeComponent) {
      step[i] = -length * g;
      xalt[i] = std::max(m.sl[i], std::min(m.su[i], xopt[i] + step[i]));
    } else if (state[i] == kZero) {
      xalt[i] = xopt[i];
    } else {
      xalt[i] = g > 0.0 ? m.sl[i] : m.su[i];
    }
    gw += g * step[i];
  }
  double curv = 0.0;
  for (int k = 0; k < m.npt; ++k) {
    const double t = dot(n, m.Point(k), step);
    curv += hcol[k] * t * t;
  }
  curv *= sign;
  if (curv > -gw && curv < -kScaleLimit * gw) {
    const double scale = -gw / curv;
    for (int i = 0; i < n; ++i)
      xalt[i] = std::max(m.sl[i], std::min(m.su[i], xopt[i] + scale * step[i]));
    return (0.5 * gw * scale) * (0.5 * gw * scale);
  }
  return (gw + 0.5 * curv) * (gw + 0.5 * curv);
}

}  // namespace

GeometryChoice GeometryStep(const Model& m, int kopt, int knew, double adelt, double* xnew,
                            double* xalt, double* glag, double* hcol, double* scratch) {
  const int n = m.n;
  const int npt = m.npt;
  const double* xopt = m.xopt;
  assert(knew >= 0 && knew < npt && knew != kopt);
  // hcol: column knew of Z Z^T; glag: gradient at xopt of the Lagrange function of knew.
  for (int k = 0; k < npt; ++k) hcol[k] = 0.0;
  for (int j = 0; j < m.nptm; ++j) {
    const double temp = m.Z(knew, j);
    for (int k = 0; k < npt; ++k) hcol[k] += temp * m.Z(k, j);
  }
  GeometryChoice choice{hcol[knew], 0.0};
  const double ha = 0.5 * choice.alpha;
  for (int i = 0; i < n; ++i) glag[i] = m.B(knew, i);
  for (int k = 0; k < npt; ++k) {
    const double* y = m.Point(k);
    const double temp = hcol[k] * dot(n, y, xopt);
    for (int i = 0; i < n; ++i) glag[i] += temp * y[i];
  }

  // Along each line through xopt and another point, the step within the bounds and the radius
  // that maximises a prediction of the update's denominator. Fallback: towards point knew.
  int ksav = knew;
  double stpsav = 0.0, presav = 0.0;
  int ibdsav = 0;
  {
    double distsq = 0.0;
    for (int i = 0; i < n; ++i) distsq += (m.Xpt(knew, i) - xopt[i]) * (m.Xpt(knew, i) - xopt[i]);
    stpsav = std::min(1.0, adelt / std::sqrt(distsq));
  }
  for (int k = 0; k < npt; ++k) {
    if (k == kopt) continue;
    const double* y = m.Point(k);
    double dderiv = 0.0, distsq = 0.0;
    for (int i = 0; i < n; ++i) {
      const double t = y[i] - xopt[i];
      dderiv += glag[i] * t;
      distsq += t * t;
    }
    double subd = adelt / std::sqrt(distsq);
    double slbd = -subd;
    int ilbd = 0, iubd = 0;
    const double sumin = std::min(1.0, subd);
    // Bound codes: -(i + 1) lower bound of variable i, i + 1 its upper bound.
    for (int i = 0; i < n; ++i) {
      const double t = y[i] - xopt[i];
      if (t > 0.0) {
        if (slbd * t < m.sl[i] - xopt[i]) {
          slbd = (m.sl[i] - xopt[i]) / t;
          ilbd = -(i + 1);
        }
        if (subd * t > m.su[i] - xopt[i]) {
          subd = std::max(sumin, (m.su[i] - xopt[i]) / t);
          iubd = i + 1;
        }
      } else if (t < 0.0) {
        if (slbd * t > m.su[i] - xopt[i]) {
          slbd = (m.su[i] - xopt[i]) / t;
          ilbd = i + 1;
        }
        if (subd * t < m.sl[i] - xopt[i]) {
          subd = std::max(sumin, (m.sl[i] - xopt[i]) / t);
          iubd = -(i + 1);
        }
      }
    }
    double step, vlag;
    int isbd;
    if (k == knew) {
      const double diff = dderiv - 1.0;
      step = slbd;
      vlag = slbd * (dderiv - slbd * diff);
      isbd = ilbd;
      const double t = subd * (dderiv - subd * diff);
      if (std::abs(t) > std::abs(vlag)) {
        step = subd;
        vlag = t;
        isbd = iubd;
      }
      const double tempd = 0.5 * dderiv;
      const double tempa = tempd - diff * slbd;
      const double tempb = tempd - diff * subd;
      if (tempa * tempb < 0.0) {
        const double peak = tempd * tempd / diff;
        if (std::abs(peak) > std::abs(vlag)) {
          step = tempd / diff;
          vlag = peak;
          isbd = 0;
        }
      }
    } else {
      step = slbd;
      vlag = slbd * (1.0 - slbd);
      isbd = ilbd;
      const double t = subd * (1.0 - subd);
      if (std::abs(t) > std::abs(vlag)) {
        step = subd;
        vlag = t;
        isbd = iubd;
      }
      if (subd > 0.5 && std::abs(vlag) < 0.25) {
        step = 0.5;
        vlag = 0.25;
        isbd = 0;
      }
      vlag *= dderiv;
    }
    const double t = step * (1.0 - step) * distsq;
    const double predsq = vlag * vlag * (vlag * vlag + ha * t * t);
    if (predsq > presav) {
      presav = predsq;
      ksav = k;
      stpsav = step;
      ibdsav = isbd;
    }
  }
  for (int i = 0; i < n; ++i) {
    const double t = xopt[i] + stpsav * (m.Xpt(ksav, i) - xopt[i]);
    xnew[i] = std::max(m.sl[i], std::min(m.su[i], t));
  }
  if (ibdsav < 0) xnew[-ibdsav - 1] = m.sl[-ibdsav - 1];
  if (ibdsav > 0) xnew[ibdsav - 1] = m.su[ibdsav - 1];

  // The Cauchy alternatives for +/- the Lagrange function; the larger modulus wins.
  double* step = scratch;
  double* state = scratch + n;
  double* saved = scratch + 2 * n;
  const double plus = CauchyCandidate(m, 1.0, adelt, glag, hcol, saved, step, state);
  const double minus = CauchyCandidate(m, -1.0, adelt, glag, hcol, xalt, step, state);
  choice.cauchy = minus;
  if (plus > minus) {
    for (int i = 0; i < n; ++i) xalt[i] = saved[i];
    choice.cauchy = plus;
  }
  return choice;
}

void UpdateInverse(const Model& m, double* vlag, double beta, double denom, int knew,
                   double* scratch) {
  const int npt = m.npt;
  assert(denom > 0.0);
  double ztest = 0.0;
  for (int j = 0; j < m.nptm; ++j)
    for (int k = 0; k < npt; ++k) ztest = std::max(ztest, std::abs(m.Z(k, j)));
  ztest *= 1.0e-20;
  // Rotations of the columns of Z that leave row knew zero except in the first column.
  double* z0 = &m.Z(0, 0);
  for (int j = 1; j < m.nptm; ++j) {
    double* zj = &m.Z(0, j);
    if (std::abs(zj[knew]) > ztest) {
      const double r = std::sqrt(z0[knew] * z0[knew] + zj[knew] * zj[knew]);
      const double c = z0[knew] / r;
      const double s = zj[knew] / r;
      for (int i = 0; i < npt; ++i) {
        const double t = c * z0[i] + s * zj[i];
        zj[i] = c * zj[i] - s * z0[i];
        z0[i] = t;
      }
    }
    zj[knew] = 0.0;
  }
  // scratch[0, npt): column knew of Z Z^T; then the rank-two change of Z and B.
  double* w = scratch;
  for (int i = 0; i < npt; ++i) w[i] = z0[knew] * z0[i];
  const double alpha = w[knew];
  const double tau = vlag[knew];
  vlag[knew] -= 1.0;
  const double root = std::sqrt(denom);
  const double tempb = z0[knew] / root;
  const double tempa = tau / root;
  for (int i = 0; i < npt; ++i) z0[i] = tempa * z0[i] - tempb * vlag[i];
  for (int j = 0; j < m.n; ++j) {
    const int jp = npt + j;
    w[jp] = m.B(knew, j);
    const double ca = (alpha * vlag[jp] - tau * w[jp]) / denom;
    const double cb = (-beta * w[jp] - tau * vlag[jp]) / denom;
    double* bj = &m.B(0, j);
    for (int i = 0; i <= jp; ++i) {
      bj[i] += ca * vlag[i] + cb * w[i];
      if (i >= npt) m.B(jp, i - npt) = bj[i];
    }
  }
}

}  // namespace bobyqa
}  // namespace Orvo
