/*
 * dot_wire_test.cc -- what a TLS server's stream carries besides the
 * messages: queries padded to whole blocks with a keepalive request in
 * their OPT record, and the stream cut back into messages however it is
 * read.
 */
#include <stdint.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dns_message.h"
#include "dot/dot_wire.h"
#include "vdns.h"

namespace dns = qiltest::dns;

namespace {

/* The options of the one OPT record of `msg`, as code -> length. */
std::vector<std::pair<int, int>>
opt_options(const uint8_t *msg, size_t len)
{
	struct vdns_msg m;
	struct vdns_rr rr;
	std::vector<std::pair<int, int>> out;
	if (VDNS_initparse(msg, len, &m) < 0)
		return out;
	for (int i = 0; i < m.counts[VDNS_S_AR]; i++) {
		if (VDNS_parserr(&m, VDNS_S_AR, i, &rr) < 0 || rr.type != DOT_T_OPT)
			continue;
		for (size_t o = 0; o + 4 <= rr.rdlength;) {
			int code = rr.rdata[o] << 8 | rr.rdata[o + 1];
			int olen = rr.rdata[o + 2] << 8 | rr.rdata[o + 3];
			out.emplace_back(code, olen);
			o += 4 + (size_t)olen;
		}
	}
	return out;
}

TEST(DotWire, QueriesArePaddedToBlocksWithAKeepaliveRequest)
{
	dns::Bytes plain = dns::build_query(0x1111, "www.example", dns::TYPE_A);
	dns::Bytes edns = dns::with_edns(dns::build_query(0x2222, "a.example", dns::TYPE_A), 1232);
	const struct {
		const char *name;
		dns::Bytes q;
		size_t arcount; /* of the framed query */
	} rows[] = {
	    {"an OPT record added", plain, 1},
	    {"the client's OPT record extended", edns, 1},
	};
	for (const auto &r : rows) {
		SCOPED_TRACE(r.name);
		uint8_t out[600];
		int n = dot_frame_query(r.q.data(), r.q.size(), 0xbeef, out, sizeof out);
		ASSERT_GT(n, 2);
		size_t len = (size_t)(out[0] << 8 | out[1]);
		EXPECT_EQ(len + 2, (size_t)n);
		EXPECT_EQ(len % DOT_PAD_BLOCK, 0u);
		EXPECT_EQ(dns::message_id({out + 2, len}), 0xbeef);
		auto q = dns::first_question({out + 2, len});
		ASSERT_TRUE(q);
		auto opts = opt_options(out + 2, len);
		ASSERT_EQ(opts.size(), 2u);
		EXPECT_EQ(opts[0], (std::pair<int, int>{DOT_OPT_KEEPALIVE, 0}));
		EXPECT_EQ(opts[1].first, DOT_OPT_PADDING);
		EXPECT_EQ(out[2 + 11], r.arcount);
		/* A second framing pads no more: the query goes as it is. */
		uint8_t again[600];
		int m = dot_frame_query(out + 2, len, 0xbeef, again, sizeof again);
		EXPECT_EQ(m, n);
	}
	uint8_t small[64];
	EXPECT_EQ(dot_frame_query(plain.data(), plain.size(), 1, small, sizeof small), -1);
	EXPECT_EQ(dot_frame_query(plain.data(), 5, 1, small, sizeof small), -1);
}

void
collect(void *priv, uint8_t *msg, size_t len)
{
	static_cast<std::vector<std::string> *>(priv)->emplace_back(
	    reinterpret_cast<const char *>(msg), len);
}

TEST(DotWire, TheStreamIsCutIntoItsMessagesHoweverItIsRead)
{
	const std::string stream = std::string("\0\3abc\0\0\0\1z", 10);
	for (size_t piece = 1; piece <= stream.size(); piece++) {
		SCOPED_TRACE(piece);
		static struct dot_reader r;
		std::vector<std::string> got;
		dot_reader_init(&r);
		for (size_t at = 0; at < stream.size(); at += piece)
			dot_reader_feed(&r, reinterpret_cast<const uint8_t *>(stream.data()) + at,
			    std::min(piece, stream.size() - at), collect, &got);
		EXPECT_EQ(got, (std::vector<std::string>{"abc", "", "z"}));
	}
}

} // namespace
