/*
 * kelhost.h - C API of the stand-in Kel host, for programs that embed it
 * (tests, demos, benchmarks, other languages through a C FFI).
 *
 * The host loads the extension library the way the Kel interpreter does
 * (dlopen), finds each host function by its entry point Fn<Name>, and makes
 * calls through kelhost_call, which catches the run-time errors the library
 * raises and frees whatever matrix or table storage the library still held
 * from that call.
 *
 * Threads: the host's state is per process and unguarded, except the
 * products' caches.  The storage list (kelhost/storage.cpp), the random
 * generator (kelhost/random.cpp) and the call state (kelhost/runtime.cpp:
 * nesting, argument conversions, message sink) belong to one thread at a
 * time: a program makes its host calls, seeds and allocations from one
 * thread, or serialises them itself, as the Kel interpreter does.  The
 * caches of the products (kelhost/products.cpp) are kept per thread and
 * need no such care.  Loading the host changes no process-wide setting.
 */
#ifndef KELHOST_KELHOST_H
#define KELHOST_KELHOST_H

#include <stddef.h>

#include "host/kel.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Error codes reported by kelhost_call besides the codes the library passes
 * to KelRunError (4 = memory). */
enum {
    KELHOST_OK = 0,
    KELHOST_ERR_RUNTIME = 1,   /* KelRunErrorMessage */
    KELHOST_ERR_TYPE = 2,      /* failed KelLibCheckType */
    KELHOST_ERR_SIZE = 3,      /* failed KelLibCheckMatrixSize */
    KELHOST_ERR_MEMORY = KEL_ERROR_MEMORY,
    KELHOST_ERR_ARGS = 8       /* null function or bad call arguments */
};

/* Loads the extension library; null on failure (kelhost_last_error tells). */
void *kelhost_open(const char *path);
void kelhost_close(void *handle);
const char *kelhost_last_error(void);

/* Entry point of the host function `name` (looks up "Fn" + name), or null. */
KelHostFunction kelhost_lookup(void *handle, const char *name);

/* Any exported symbol of the library (data or routine), or null. */
void *kelhost_symbol(void *handle, const char *name);

/* One host call.  Returns 0, or the error code with the message text in
 * errbuf (truncated to errlen, always terminated when errlen > 0).  On an
 * error all storage the library obtained from MatAllocBlock/TabAllocPlain
 * during the call and did not free is freed.
 * Argument arrays that a Kel program cannot build are refused with
 * KELHOST_ERR_ARGS before the function runs: a reference (tag 5) whose
 * target is null, is itself a reference, is the return record, or is one
 * of args[0..count-1].  A reference target must be a record of its own,
 * like a Kel variable; args and rtn are read and written only during the
 * call. */
int kelhost_call(KelHostFunction fn, KelVALUE *rtn, KelVALUE *args, int count,
                 char *errbuf, size_t errlen);

/* Record helpers.  A record starts as kelhost_int(rec, 0).  A matrix record
 * owns its storage; kelhost_free_value releases it and leaves the int 0. */
void kelhost_int(KelVALUE *rec, int value);
void kelhost_double(KelVALUE *rec, double value);
void kelhost_ref(KelVALUE *rec, KelVALUE *target);
double **kelhost_matrix(KelVALUE *rec, int rows, int cols); /* null on failure */
void kelhost_free_value(KelVALUE *rec);

/* Seeds the standard normal generator (xoshiro256** seeded by splitmix64,
 * normals by the Marsaglia polar method). */
void kelhost_seed(unsigned long long seed);

/* Message sink for KelRunMessage; null restores the default (stderr). */
typedef void (*kelhost_sink)(const char *text, void *context);
void kelhost_set_message_sink(kelhost_sink sink, void *context);

/* Asks the C library to keep freed blocks for reuse instead of giving them
 * back to the system (glibc: blocks up to 32 MiB are not mapped on their
 * own, and up to 256 MiB of free heap top is kept), so that repeated calls
 * do not fault their storage in again.  A process-wide setting, for
 * programs and benchmarks that make many calls.  1 when applied, 0 where
 * the C library has no such settings. */
int kelhost_keep_freed_blocks(void);

/* The host keeps large freed blocks for reuse, of its own accord and
 * without touching the C library's settings: a freed matrix or table of
 * 1 MiB or more is held (up to 32 blocks and 4 GiB in all) and handed out
 * again for an allocation of the same size or up to a fifth smaller, so a
 * call repeated with the same sizes touches no new pages however large its
 * results.  This gives the kept blocks back to the C library. */
void kelhost_release_kept_blocks(void);

/* Number of matrix and table blocks currently alive from MatAllocBlock and
 * TabAllocPlain (record storage not included). */
long kelhost_live_blocks(void);

/* For tests: 0 switches the reference check of kelhost_call off (so that
 * a test can see how the library itself treats such arguments), non-zero
 * switches it on again. */
void kelhost_check_references(int on);

/* For tests: make the next `after` allocations succeed and every one after
 * that fail, until reset with a negative value. */
void kelhost_fail_allocations_after(long after);

#ifdef __cplusplus
}
#endif

#endif
