/// @file
/// Build-wide definitions shared by every public header.
#ifndef ORVO_CONFIG_HPP
#define ORVO_CONFIG_HPP

// The shared library is built with hidden visibility; only what carries ORVO_API is exported.
#if defined(__GNUC__) || defined(__clang__)
#define ORVO_API __attribute__((visibility("default")))
#else
#define ORVO_API
#endif

#endif  // ORVO_CONFIG_HPP
