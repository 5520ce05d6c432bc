/*
 * vdns_death_test.cc -- a missing buffer handed to the question-only
 * replies is the caller's bug: the check stops the process, where a
 * message that cannot be walked is answered with -1 (vdns_test.cc).
 */
#include <stdint.h>

#include <gtest/gtest.h>

#include "dns_message.h"
#include "libqil_test.h"
#include "vdns.h"

namespace {

TEST(VdnsDeathTest, MissingBufferIsTheCallersBug)
{
	const auto q = qiltest::dns::build_query(1, "a.test", qiltest::dns::TYPE_A);
	uint8_t out[512];
	const struct {
		const uint8_t *msg;
		uint8_t *out;
		const char *expr;
	} rows[] = {
		{nullptr, out, "\\(msg\\) != 0"},
		{q.data(), nullptr, "\\(out\\) != 0"},
	};
	for (const auto &r : rows)
		EXPECT_ASSERT_FAIL((void)VDNS_servfail(r.msg, q.size(), r.out, sizeof out),
		                   qiltest::assert_line("VDNS_question_only", "vdns\\.cc", r.expr));
}

} // namespace
