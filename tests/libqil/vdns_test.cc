/*
 * vdns_test.cc -- the DNS message parser over the table of vdns_cases.h
 * (what it refuses, the ID in host order, and every record's fields); the
 * question-only replies: SERVFAIL to a query, the truncated form of an
 * answer, and messages that cannot be walked.
 */
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "case_name.h"
#include "dns_message.h"
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

namespace {

namespace dns = qiltest::dns;
using dns::Bytes;

Bytes
run(int (*f)(const uint8_t *, size_t, uint8_t *, size_t), const Bytes &in, size_t outsize)
{
	Bytes out(outsize);
	int n = f(in.data(), in.size(), out.data(), out.size());
	if (n < 0)
		return {};
	out.resize(static_cast<size_t>(n));
	return out;
}

/* A query with an EDNS record in its additional section. */
Bytes
query_with_opt()
{
	Bytes q = dns::build_query(0x1234, "www.example.test", dns::TYPE_A);
	q[11] = 1; /* ARCOUNT */
	q.insert(q.end(), {0, 0, 41, 0x10, 0, 0, 0, 0, 0, 0, 0});
	return q;
}

TEST(Vdns, ServfailKeepsIdOpcodeRdCdAndQuestionOnly)
{
	Bytes q = query_with_opt();
	q[2] |= 0x10; /* opcode 2 */
	q[3] |= 0x30; /* AD, CD */
	Bytes r = run(VDNS_servfail, q, 512);
	size_t question = q.size() - 11 - 12;
	ASSERT_EQ(r.size(), 12 + question);
	EXPECT_EQ(dns::message_id(r), 0x1234);
	EXPECT_EQ(dns::message_flags(r),
	    VDNS_QR | 0x1000 | VDNS_RD | VDNS_CD | VDNS_RA | VDNS_SERVFAIL);
	EXPECT_EQ(dns::message_qdcount(r), 1);
	EXPECT_EQ(Bytes(r.begin() + 6, r.begin() + 12), Bytes(6, 0));
	EXPECT_EQ(dns::first_question(r).value().name, "www.example.test");
}

TEST(Vdns, TruncatedKeepsTheAnswersHeaderAndSetsTc)
{
	Bytes q = dns::build_query(7, "big.test", dns::TYPE_TXT);
	Bytes a = dns::build_answer(q, {dns::txt_record(3000)});
	Bytes r = run(VDNS_truncated, a, a.size());
	EXPECT_EQ(r.size(), q.size());
	EXPECT_EQ(dns::message_flags(r), dns::message_flags(a) | VDNS_TC);
	EXPECT_EQ(dns::message_ancount(r), 0);
	EXPECT_EQ(dns::first_question(r).value().name, "big.test");
	EXPECT_FALSE(dns::opt_record(r));
}

/* With an OPT, the truncated form keeps it, less its options; one byte
 * short of room for it, the form goes without. */
TEST(Vdns, TruncatedKeepsTheOptWithoutOptions)
{
	Bytes q = dns::build_query(7, "big.test", dns::TYPE_TXT);
	dns::Opt server;
	server.size = 1232;
	server.flags = 0x8000;
	server.options.emplace_back(10, Bytes(16, 7));
	Bytes a = dns::with_opt(dns::build_answer(q, {dns::txt_record(3000)}), server);
	Bytes r = run(VDNS_truncated, a, q.size() + VDNS_EDNS_LEN);
	ASSERT_EQ(r.size(), q.size() + VDNS_EDNS_LEN);
	auto opt = dns::opt_record(r);
	ASSERT_TRUE(opt);
	EXPECT_EQ(opt->size, 1232);
	EXPECT_EQ(opt->flags, 0x8000);
	EXPECT_TRUE(opt->options.empty());
	EXPECT_EQ(run(VDNS_truncated, a, q.size() + VDNS_EDNS_LEN - 1).size(), q.size());
}

TEST(Vdns, EdnsAppendFitsExactlyOrNotAtAll)
{
	Bytes q = dns::build_query(7, "a.test", dns::TYPE_A);
	Bytes out = q;
	out.resize(q.size() + VDNS_EDNS_LEN);
	EXPECT_EQ(VDNS_edns_append(out.data(), q.size(), out.size() - 1, 4096, 0), -1);
	EXPECT_EQ(VDNS_edns_append(out.data(), 11, out.size(), 4096, 0), -1);
	ASSERT_EQ(VDNS_edns_append(out.data(), q.size(), out.size(), 4096, 1u << 24 | 0x8000),
	    (int)out.size());
	auto opt = dns::opt_record(out);
	ASSERT_TRUE(opt);
	EXPECT_EQ(opt->size, 4096);
	EXPECT_EQ(opt->ext_rcode, 1);
	EXPECT_EQ(opt->flags, 0x8000);
}

struct Refused {
	std::string name;
	Bytes msg;
	size_t outsize;
};

class VdnsRefuses : public ::testing::TestWithParam<Refused> {};

TEST_P(VdnsRefuses, WithMinusOne)
{
	Bytes out(GetParam().outsize);
	EXPECT_EQ(VDNS_servfail(GetParam().msg.data(), GetParam().msg.size(), out.data(),
	    out.size()), -1);
}

Bytes
cut(Bytes b, size_t drop)
{
	b.resize(b.size() - drop);
	return b;
}

Bytes
with_label_byte(uint8_t v)
{
	Bytes q = dns::build_query(1, "a.test", dns::TYPE_A);
	q[12] = v;
	return q;
}

const Bytes kQuery = dns::build_query(1, "a.test", dns::TYPE_A);

INSTANTIATE_TEST_SUITE_P(Vdns, VdnsRefuses, ::testing::Values(
    Refused{"ElevenBytes", Bytes(11, 0), 512},
    Refused{"QuestionWithoutTypeAndClass", cut(kQuery, 4), 512},
    Refused{"QuestionOneByteShort", cut(kQuery, 1), 512},
    Refused{"NameRunsPastTheEnd", with_label_byte(63), 512},
    Refused{"ReservedLabelType", with_label_byte(0x40), 512},
    Refused{"OutputOneByteTooSmall", kQuery, kQuery.size() - 1}),
    qiltest::CaseName());

TEST(Vdns, PointerNamesAndEmptyQuestionSectionsWalk)
{
	Bytes header(12, 0);
	EXPECT_EQ(run(VDNS_servfail, header, 12).size(), 12u);
	Bytes q = dns::build_query(1, "a.test", dns::TYPE_A);
	q[5] = 2; /* a second question pointing at the first name */
	q.insert(q.end(), {0xc0, 12, 0, 1, 0, 1});
	EXPECT_EQ(run(VDNS_servfail, q, 512).size(), q.size());
}

} // namespace
