/*
 * info.cpp - the library's version, its banner and the warning switch.
 */
#include "host/host.h"

int fLdsNoErrorMessage = 0;

namespace {

const char *const kBanner[] = {
    ("\nVantrel 3.00, September 2008: Kalman filtering and smoothing for linear "
     "Gaussian state space models"),
    "This library comes without any warranty; see its documentation for the terms of use.",
    "    When you publish results obtained with this library, please cite",
    "    the published description of its algorithms for filtering,",
    "    smoothing and simulation in state space models.",
    "    Further details on the models and methods are given in the",
    "    book that accompanies the library, which also describes",
    "    its functions and shows their use in worked examples.",
};

const char kMsgNoArgument[] = "LdsWarning(): at least one argument required";

} // namespace

void FnLdsVersion(KelVALUE *rtn, KelVALUE *, int)
{
    rtn->v.ival = VANTREL_VERSION;
}

void FnLdsAbout(KelVALUE *, KelVALUE *, int)
{
    for (const char *line : kBanner)
        KelRunMessage(line);
}

void FnLdsWarning(KelVALUE *, KelVALUE *args, int count)
{
    /* A missing argument is an error whether warnings are on or off: ending
     * the process here would take the user's session with it. */
    if (count < 1)
        KelRunErrorMessage(kMsgNoArgument);
    KelLibCheckType(KEL_INT, args, 0, 0);
    fLdsNoErrorMessage = args[0].v.ival <= 0 ? 1 : 0;
}
