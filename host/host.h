/*
 * host.h - library information and the process-wide warning switch.
 *
 * Host functions have the form of KelHostFunction (kel.h): return record,
 * argument array, argument count.
 */
#ifndef VANTREL_HOST_HOST_H
#define VANTREL_HOST_HOST_H

#include "host/api.h"
#include "host/kel.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Library version times 100. */
#define VANTREL_VERSION 300

/* Non-zero: warnings printed through KelRunMessage are suppressed.  0 at
 * load time; set by LdsWarning.  Run-time errors are raised regardless. */
VANTREL_API extern int fLdsNoErrorMessage;

/* LdsVersion(): the int 300 in the return record. */
VANTREL_API void FnLdsVersion(KelVALUE *rtn, KelVALUE *args, int count);

/* LdsAbout(): prints the eight-line banner; returns nothing. */
VANTREL_API void FnLdsAbout(KelVALUE *rtn, KelVALUE *args, int count);

/* LdsWarning(int on): on <= 0 switches warnings off, > 0 on again.  Without
 * an argument: run-time error "LdsWarning(): at least one argument
 * required", whatever the switch holds. */
VANTREL_API void FnLdsWarning(KelVALUE *rtn, KelVALUE *args, int count);

#ifdef __cplusplus
}
#endif

#endif
