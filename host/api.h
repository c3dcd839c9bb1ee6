/*
 * api.h - marks the routines Vantrel exports.  Everything else in the
 * library is compiled hidden, so only what carries VANTREL_API is visible
 * to the host and to code that links the library directly.
 */
#ifndef VANTREL_HOST_API_H
#define VANTREL_HOST_API_H

#if defined(__GNUC__) || defined(__clang__)
#define VANTREL_API __attribute__((visibility("default")))
#else
#define VANTREL_API
#endif

#endif
