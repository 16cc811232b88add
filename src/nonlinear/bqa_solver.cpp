// BQASolver: the stateless pass-through to the bounded derivative-free optimiser. Each scalar
// argument is handed on by the address of this call's own copy, so that whatever the optimiser
// writes to it stays here; pointers and the message length go on unchanged.
#include "kernel/bobyqa/bobyqa_kernel.hpp"
#include "orvo/nonlinear.hpp"

namespace Orvo {

double* BQASolver::Cycle(double* x, double* f, int n, double* xl, double* xu, int npt, double* w,
                         int lw, int* iw, int* task, int liw, int maxfun, double* fhist, int lfhist,
                         int* counts, int lcounts, double* rstate, int lrstate, int* khist,
                         int lkhist, double* xhist, int lxhist, int* reserved23, int reserved24,
                         double* xbest, double* ftarget, double rhobeg, int msglevel,
                         int reserved29, int reserved30, int reserved31, int reserved32,
                         int reserved33, int reserved34, int reserved35, double rhoend,
                         char* message, std::uint64_t messageLength) {
  BQA_OPTBQA(x, f, &n, xl, xu, &npt, w, &lw, iw, task, &liw, &maxfun, fhist, &lfhist, counts,
             &lcounts, rstate, &lrstate, khist, &lkhist, xhist, &lxhist, reserved23, &reserved24,
             xbest, ftarget, &rhobeg, &msglevel, &reserved29, &reserved30, &reserved31, &reserved32,
             &reserved33, &reserved34, &reserved35, &rhoend, message, messageLength);
  return x;
}

int BQASolver::RealWorkspaceLength(int n, int npt) {
  return BobyqaRealWorkspaceLength(n, npt);
}

int BQASolver::IntWorkspaceLength(int npt) {
  return BobyqaIntWorkspaceLength(npt);
}

}  // namespace Orvo
