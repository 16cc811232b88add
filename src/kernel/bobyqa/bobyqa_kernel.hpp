// Bound-constrained derivative-free minimisation by quadratic interpolation models, reverse
// communication.
#ifndef ORVO_SRC_KERNEL_BOBYQA_BOBYQA_KERNEL_HPP
#define ORVO_SRC_KERNEL_BOBYQA_BOBYQA_KERNEL_HPP

#include <cstdint>

// 1 x, 2 f, 3 n, 4 xl, 5 xu, 6 npt, 7 w, 8 lw, 9 iw, 10 task, 11 liw, 12 maxfun,
// 13-26 save areas and history (alternating arrays and their lengths), 27 rhobeg,
// 28-35 integer controls, 36 rhoend, 37 message buffer, 38 its length.
void BQA_OPTBQA(double* x, double* f, int* n, double* xl, double* xu, int* npt, double* w, int* lw,
                int* iw, int* task, int* liw, int* maxfun, double* save13, int* len14, int* save15,
                int* len16, double* save17, int* len18, int* save19, int* len20, double* save21,
                int* len22, int* save23, int* len24, double* save25, double* save26, double* rhobeg,
                int* control28, int* control29, int* control30, int* control31, int* control32,
                int* control33, int* control34, int* control35, double* rhoend, char* message,
                std::uint64_t messageLength);

#endif
