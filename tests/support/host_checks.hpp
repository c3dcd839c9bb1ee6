// host_checks.hpp - checks of a host function's behaviour that every suite
// makes the same way.
#ifndef VANTREL_TESTS_SUPPORT_HOST_CHECKS_HPP
#define VANTREL_TESTS_SUPPORT_HOST_CHECKS_HPP

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kelhost/kel.hpp"

namespace hostcheck {

// Makes the k-th allocation fail for k = 0, 1, ... until the call gets
// through: every failure must raise the memory error and leave no block
// behind, and at least one allocation must have been made.
inline void allocationFailures(kel::Host &host, const std::string &name,
                               const std::vector<kel::Arg> &args)
{
    SCOPED_TRACE(name);
    const long baseline = kelhost_live_blocks();
    int failures = 0;
    for (long k = 0;; k++) {
        kelhost_fail_allocations_after(k);
        kel::Value result;
        int code = host.tryCall(name, args, &result);
        kelhost_fail_allocations_after(-1);
        EXPECT_EQ(kelhost_live_blocks(), baseline) << "after " << k;
        if (code == 0)
            break;
        EXPECT_EQ(code, KEL_ERROR_MEMORY) << "after " << k;
        failures++;
        ASSERT_LT(k, 100);
    }
    EXPECT_GT(failures, 0);
}

}  // namespace hostcheck

#endif
