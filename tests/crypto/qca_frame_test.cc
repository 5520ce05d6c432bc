/*
 * qca_frame_test.cc -- the encrypted datagram framing: datagram sizes and
 * the length field, zero padding, round trips, and the refusals of
 * QCA_unframe for every malformed datagram. Buffers are allocated to their
 * exact size, so that a read or write past the end shows under the address
 * sanitizer.
 */
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qca.h"
#include "qca_frame.h"

namespace {

using Bytes = std::vector<uint8_t>;

/* A heap buffer of exactly `n` bytes (never null, even for 0). */
struct ExactBuf {
	explicit ExactBuf(size_t size) : p(new uint8_t[size]()), n(size) {}
	std::unique_ptr<uint8_t[]> p;
	size_t n;
};

/* Message bytes that are never zero, so the padding stands out. The
 * storage is never null, even for an empty message, as a caller's receive
 * buffer would not be. */
Bytes
message(size_t len)
{
	Bytes m;
	m.reserve(len + 1);
	m.resize(len);
	for (size_t i = 0; i < len; i++)
		m[i] = (uint8_t)(1 + (i * 7) % 251);
	return m;
}

class QcaFrame : public ::testing::Test {
protected:
	void SetUp() override
	{
		static const uint8_t key[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae,
		    0xd2, 0xa6, 0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};
		QCA_Init(&ctx_, key, 128);
	}

	QCA_Context ctx_;
};

TEST_F(QcaFrame, DatagramSizeLengthFieldAndZeroPad)
{
	static const struct {
		size_t len;
		int datagram;
	} cases[] = {
		{0, 2}, {1, 18}, {15, 18}, {16, 18}, {17, 34}, {32, 34}, {33, 50},
		{300, 306}, {495, 498}, {496, 498},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE("message of " + std::to_string(c.len) + " bytes");
		const Bytes msg = message(c.len);
		ExactBuf out((size_t)c.datagram); /* exactly the room it needs */
		ASSERT_EQ(QCA_frame(&ctx_, msg.data(), msg.size(), out.p.get(), out.n),
		    c.datagram);
		EXPECT_EQ(out.p[0], c.len & 0xff);
		EXPECT_EQ(out.p[1], c.len >> 8);

		/* The body is the message and zero bytes, encrypted. */
		Bytes body(out.p.get() + 2, out.p.get() + out.n);
		QCA_Decrypt(&ctx_, body.data(), (unsigned)body.size());
		Bytes want = msg;
		want.resize(body.size(), 0);
		EXPECT_EQ(body, want);
		if (c.len > 0) {
			Bytes plain_body(out.p.get() + 2, out.p.get() + 2 + c.len);
			EXPECT_NE(plain_body, msg) << "the body went out unencrypted";
		}
	}
}

TEST_F(QcaFrame, LengthFieldIsLittleEndian)
{
	const Bytes msg = message(300);
	uint8_t out[QCA_FRAME_MAXSIZE];
	ASSERT_EQ(QCA_frame(&ctx_, msg.data(), msg.size(), out, sizeof out), 306);
	EXPECT_EQ(out[0], 0x2C);
	EXPECT_EQ(out[1], 0x01);
}

TEST_F(QcaFrame, RefusesLongMessagesAndSmallBuffers)
{
	static const struct {
		size_t len;
		size_t outsz;
	} cases[] = {
		{497, QCA_FRAME_MAXSIZE}, /* padded to 512: too long to frame */
		{512, QCA_FRAME_MAXSIZE},
		{600, 1024},
		{0, 1},
		{0, 0},
		{1, 17},
		{16, 17},
		{17, 33},
		{496, 497},
	};
	const Bytes msg = message(600);
	for (const auto &c : cases) {
		SCOPED_TRACE("message " + std::to_string(c.len) + ", room " +
		    std::to_string(c.outsz));
		ExactBuf out(c.outsz);
		for (size_t i = 0; i < out.n; i++)
			out.p[i] = 0xee;
		EXPECT_EQ(QCA_frame(&ctx_, msg.data(), c.len, out.p.get(), out.n), -1);
		for (size_t i = 0; i < out.n; i++)
			ASSERT_EQ(out.p[i], 0xee) << "refused frame wrote byte " << i;
	}
}

TEST_F(QcaFrame, UnframeRestoresTheMessage)
{
	for (size_t len : {0, 1, 12, 15, 16, 17, 300, 495, 496}) {
		SCOPED_TRACE("message of " + std::to_string(len) + " bytes");
		const Bytes msg = message(len);
		uint8_t tmp[QCA_FRAME_MAXSIZE];
		int n = QCA_frame(&ctx_, msg.data(), msg.size(), tmp, sizeof tmp);
		ASSERT_GT(n, 0);
		ExactBuf dgram((size_t)n);
		std::copy(tmp, tmp + n, dgram.p.get());

		size_t msglen = 9999;
		ASSERT_EQ(QCA_unframe(&ctx_, dgram.p.get(), dgram.n, &msglen),
		    QCA_UNFRAME_OK);
		ASSERT_EQ(msglen, len);
		EXPECT_EQ(Bytes(dgram.p.get(), dgram.p.get() + msglen), msg);
	}
}

/*
 * Datagrams as an upstream server might send them: `n` bytes, the length
 * field `field` (when n >= 2) and, when n - 2 is whole blocks, the
 * encryption of a body whose pad bytes are not zero.
 */
TEST_F(QcaFrame, UnframeChecksLengthsBeforeDecrypting)
{
	static const struct {
		const char *what;
		size_t n;
		unsigned field;
		qca_unframe_result result;
		size_t msglen; /* checked unless the length was wrong */
	} cases[] = {
		{"empty datagram", 0, 0, QCA_UNFRAME_WRONG_LENGTH, 0},
		{"one byte", 1, 0, QCA_UNFRAME_WRONG_LENGTH, 0},
		{"19 bytes", 19, 1, QCA_UNFRAME_WRONG_LENGTH, 0},
		{"17 bytes", 17, 1, QCA_UNFRAME_WRONG_LENGTH, 0},
		{"one byte past 514", 515, 1, QCA_UNFRAME_WRONG_LENGTH, 0},
		{"field 600", 18, 600, QCA_UNFRAME_TOO_LONG, 600},
		{"field 512", 18, 512, QCA_UNFRAME_TOO_LONG, 512},
		{"field 512 with 512 bytes of data", 514, 512, QCA_UNFRAME_TOO_LONG, 512},
		{"field 0xffff", 18, 0xffff, QCA_UNFRAME_TOO_LONG, 0xffff},
		{"field 17 over one block", 18, 17, QCA_UNFRAME_SHORT, 17},
		{"field 1 without data", 2, 1, QCA_UNFRAME_SHORT, 1},
		{"field 0 without data", 2, 0, QCA_UNFRAME_OK, 0},
		{"field 12 in one block", 18, 12, QCA_UNFRAME_OK, 12},
		{"field 16 in one block", 18, 16, QCA_UNFRAME_OK, 16},
		{"field 1 in two blocks", 34, 1, QCA_UNFRAME_OK, 1},
		{"field 511 in 514 bytes", 514, 511, QCA_UNFRAME_OK, 511},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		ExactBuf dgram(c.n);
		Bytes body;
		if (c.n >= 2) {
			dgram.p[0] = (uint8_t)(c.field & 0xff);
			dgram.p[1] = (uint8_t)(c.field >> 8);
			body.resize(c.n - 2);
			for (size_t i = 0; i < body.size(); i++)
				body[i] = (uint8_t)(0x80 + i);
			std::copy(body.begin(), body.end(), dgram.p.get() + 2);
			if (body.size() % CAMELLIA_BLOCK_SIZE == 0)
				QCA_Encrypt(&ctx_, dgram.p.get() + 2, (unsigned)body.size());
		}

		size_t msglen = 9999;
		EXPECT_EQ(QCA_unframe(&ctx_, dgram.p.get(), dgram.n, &msglen), c.result);
		if (c.result != QCA_UNFRAME_WRONG_LENGTH) {
			EXPECT_EQ(msglen, c.msglen);
		}
		if (c.result == QCA_UNFRAME_OK) {
			/* The first L decrypted bytes; the pad is ignored. */
			EXPECT_EQ(Bytes(dgram.p.get(), dgram.p.get() + msglen),
			    Bytes(body.begin(), body.begin() + (long)c.msglen));
		}
	}
}

} // namespace
