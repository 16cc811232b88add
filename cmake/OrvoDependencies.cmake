# Libraries that back the kernel routines in src/kernel (see src/kernel/README.md).
# Everything comes from Debian packages installed by scripts/setup.sh.

# OpenBLAS (with its LAPACK) through Debian's alternatives, so that the library and SuiteSparse
# load one and the same BLAS. scripts/setup.sh installs the single-threaded build only: the
# library promises to start no threads, and a threaded OpenBLAS starts a pool when loaded.
find_library(ORVO_OPENBLAS openblas REQUIRED)
find_library(ORVO_CMINPACK cminpack REQUIRED)
find_library(ORVO_SLEEF sleef REQUIRED)
find_library(ORVO_UMFPACK umfpack REQUIRED)
find_library(ORVO_AMD amd REQUIRED)
find_library(ORVO_COLAMD colamd REQUIRED)
find_library(ORVO_SUITESPARSECONFIG suitesparseconfig REQUIRED)
find_path(ORVO_SUITESPARSE_INCLUDE umfpack.h PATH_SUFFIXES suitesparse REQUIRED)
find_path(ORVO_CMINPACK_INCLUDE cminpack.h PATH_SUFFIXES cminpack-1 REQUIRED)

add_library(orvo_kernel_deps INTERFACE)
target_link_libraries(orvo_kernel_deps INTERFACE ${ORVO_UMFPACK} ${ORVO_AMD} ${ORVO_COLAMD}
                                                 ${ORVO_SUITESPARSECONFIG} ${ORVO_CMINPACK}
                                                 ${ORVO_OPENBLAS} ${ORVO_SLEEF} m)
target_include_directories(orvo_kernel_deps INTERFACE ${ORVO_SUITESPARSE_INCLUDE} ${ORVO_CMINPACK_INCLUDE})
set(ORVO_KERNEL_LIBS orvo_kernel_deps)
