/*
 * vdns_oracle_test.cc -- the DNS message parser against the C library's
 * resolver (Linux only): both must describe every message of vdns_cases.h
 * alike.
 */
#include <arpa/nameser.h>

#include <gtest/gtest.h>

#include "case_name.h"
#include "vdns_cases.h"

namespace qiltest {

std::string vdns_describe(const std::vector<uint8_t> &m);

static std::string
resolv_describe(const std::vector<uint8_t> &m)
{
	ns_msg h;
	if (ns_initparse(m.data(), (int)m.size(), &h) != 0)
		return "refused";
	unsigned counts[4];
	for (int s = 0; s < 4; s++)
		counts[s] = ns_msg_count(h, (ns_sect)s);
	std::string out = vdns_header_text(ns_msg_id(h), ns_msg_getflag(h, ns_f_qr) << 15 |
	    (ns_msg_getflag(h, ns_f_opcode) << 11) | ns_msg_getflag(h, ns_f_aa) << 10 |
	    ns_msg_getflag(h, ns_f_tc) << 9 | ns_msg_getflag(h, ns_f_rd) << 8 |
	    ns_msg_getflag(h, ns_f_ra) << 7 | ns_msg_getflag(h, ns_f_z) << 6 |
	    ns_msg_getflag(h, ns_f_ad) << 5 | ns_msg_getflag(h, ns_f_cd) << 4 |
	    ns_msg_getflag(h, ns_f_rcode), counts);
	for (int s = 0; s < 4; s++) {
		for (int i = 0; i < (int)counts[s]; i++) {
			ns_rr rr;
			if (ns_parserr(&h, (ns_sect)s, i, &rr) != 0) {
				out += vdns_failed_text(s, i);
				break;
			}
			out += vdns_record_text(s, i, rr.name, ns_rr_type(rr), ns_rr_class(rr),
			    ns_rr_ttl(rr), ns_rr_rdlen(rr),
			    ns_rr_rdata(rr) == NULL ? -1 : ns_rr_rdata(rr) - m.data());
		}
	}
	return out;
}

class VdnsOracleTest : public ::testing::TestWithParam<VdnsCase> {};

TEST_P(VdnsOracleTest, AgreesWithResolver)
{
	EXPECT_EQ(vdns_describe(GetParam().msg), resolv_describe(GetParam().msg));
}

INSTANTIATE_TEST_SUITE_P(Messages, VdnsOracleTest, ::testing::ValuesIn(vdns_cases()),
                         CaseName());

} // namespace qiltest
