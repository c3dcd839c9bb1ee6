/*
 * model.h - the routines model/ exports, for code that links the library
 * directly: the scalar helpers (model/scalar.h) and the transition pattern
 * products (model/pattern.h).
 *
 * The rest of model/ is internal, one header per module: the argument
 * checks (check.h), the time-varying elements (timevarying.h), the
 * host-call frame (hostcall.h) and the kernel layer (kernels.h).
 */
#ifndef VANTREL_MODEL_MODEL_H
#define VANTREL_MODEL_MODEL_H

#include "model/pattern.h"
#include "model/scalar.h"

#endif
