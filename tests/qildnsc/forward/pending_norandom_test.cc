/*
 * pending_norandom_test.cc -- the choice of fresh upstream IDs with the
 * kernel's random source refused (Linux: a seccomp filter in a child).
 */
#include <unistd.h>

#include <gtest/gtest.h>

#include "forward/intake.h"
#include "forward/pending.h"
#include "odr.h"
#include "odr_random.h"
#include "refuse_getrandom.h"
#include "unit_support.h"

namespace {

using LogCapture = qiltest::ForwarderLog;

/* A failing generator (every draw 0) makes the draw give up, not spin:
 * never-used slots hold 0, so "draw until free" would never end. */
TEST(PendingRingDeathTest, NewIdGivesUpWhenTheRandomGeneratorFails)
{
	pending_init();
	EXPECT_EXIT(
	    {
		    LogCapture log;
		    (void)alarm(10); /* a draw without end dies of SIGALRM */
		    if (!qiltest::refuse_getrandom())
			    _exit(2);
		    for (int i = 0; i < 64; i++)
			    (void)ODR_random(::vl); /* what the thread drew before */
		    _exit(pending_new_id() == -1 && pending_new_id() == -1 ? 0 : 1);
	    },
	    ::testing::ExitedWithCode(0), "");
}

} // namespace
