/*
 * vdns_test.cc -- the DNS message parser over the table of vdns_cases.h:
 * what it refuses, the ID in host order, and every record's fields.
 */
#include <gtest/gtest.h>

#include "case_name.h"
#include "vdns.h"
#include "vdns_cases.h"

namespace qiltest {

std::string
vdns_describe(const std::vector<uint8_t> &m)
{
	struct vdns_msg h;
	if (VDNS_initparse(m.data(), m.size(), &h) != 0)
		return "refused";
	const unsigned counts[4] = {h.counts[0], h.counts[1], h.counts[2], h.counts[3]};
	std::string out = vdns_header_text(h.id, h.flags, counts);
	for (int s = 0; s < VDNS_S_MAX; s++) {
		for (int i = 0; i < h.counts[s]; i++) {
			struct vdns_rr rr;
			if (VDNS_parserr(&h, s, i, &rr) != 0) {
				out += vdns_failed_text(s, i);
				break;
			}
			out += vdns_record_text(s, i, rr.name, rr.type, rr.rr_class, rr.ttl,
			    rr.rdlength, rr.rdata == NULL ? -1 : rr.rdata - m.data());
		}
	}
	return out;
}

class VdnsTest : public ::testing::TestWithParam<VdnsCase> {};

TEST_P(VdnsTest, Describes)
{
	EXPECT_EQ(vdns_describe(GetParam().msg), GetParam().want);
}

INSTANTIATE_TEST_SUITE_P(Messages, VdnsTest, ::testing::ValuesIn(vdns_cases()), CaseName());

TEST(VdnsTest, RecordsOutOfOrderAndOutOfRange)
{
	auto m = vdns_header(1, 0, 1, 1) + kQuestion + kAnswerA + kAnswerA;
	struct vdns_msg h;
	struct vdns_rr rr;
	ASSERT_EQ(VDNS_initparse(m.data(), m.size(), &h), 0);
	EXPECT_EQ(VDNS_parserr(&h, VDNS_S_AR, 0, &rr), 0);
	EXPECT_EQ(rr.rdata, m.data() + 57);
	EXPECT_EQ(VDNS_parserr(&h, VDNS_S_QD, 0, &rr), 0);
	EXPECT_STREQ(rr.name, "example.com");
	EXPECT_EQ(VDNS_parserr(&h, VDNS_S_AN, 0, &rr), -1);
	EXPECT_EQ(VDNS_parserr(&h, VDNS_S_NS, 1, &rr), -1);
	EXPECT_EQ(VDNS_parserr(&h, VDNS_S_MAX, 0, &rr), -1);
	EXPECT_EQ(VDNS_parserr(&h, -1, 0, &rr), -1);
}

} // namespace qiltest
