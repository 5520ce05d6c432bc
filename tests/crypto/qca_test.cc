/*
 * qca_test.cc -- the Camellia entry points: the RFC 3713 vectors for each
 * key length, whole-buffer encryption in electronic-codebook mode, agreement
 * with openssl(1) on random keys and buffers, and the fatal checks on the
 * key length and the buffer size.
 */
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "process.h"
#include "qca.h"
#include "tmpdir.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes
from_hex(std::string_view h)
{
	Bytes b;
	for (size_t i = 0; i + 1 < h.size(); i += 2)
		b.push_back((uint8_t)std::stoul(std::string(h.substr(i, 2)), nullptr, 16));
	return b;
}

std::string
to_hex(const uint8_t *p, size_t n)
{
	static const char digits[] = "0123456789abcdef";
	std::string s;
	for (size_t i = 0; i < n; i++) {
		s += digits[p[i] >> 4];
		s += digits[p[i] & 0xf];
	}
	return s;
}

std::string
to_hex(const Bytes &b)
{
	return to_hex(b.data(), b.size());
}

Bytes
random_bytes(std::mt19937 &rng, size_t n)
{
	Bytes b(n);
	for (auto &c : b)
		c = (uint8_t)rng();
	return b;
}

struct KnownAnswer {
	int bits;
	const char *key;
	const char *plain;
	const char *cipher;
};

/* RFC 3713, appendix A. */
const KnownAnswer rfc3713[] = {
	{128, "0123456789abcdeffedcba9876543210",
	 "0123456789abcdeffedcba9876543210", "67673138549669730857065648eabe43"},
	{192, "0123456789abcdeffedcba98765432100011223344556677",
	 "0123456789abcdeffedcba9876543210", "b4993401b3e996f84ee5cee7d79b09b9"},
	{256, "0123456789abcdeffedcba987654321000112233445566778899aabbccddeeff",
	 "0123456789abcdeffedcba9876543210", "9acc237dff16d76c20ef7c919e3a7509"},
};

const KnownAnswer &
known_answer(int bits)
{
	for (const auto &v : rfc3713)
		if (v.bits == bits)
			return v;
	abort();
}

TEST(QcaKnownAnswer, BlockAndBufferForEachKeyLength)
{
	for (const auto &v : rfc3713) {
		SCOPED_TRACE("key bits " + std::to_string(v.bits));
		const Bytes key = from_hex(v.key), plain = from_hex(v.plain);
		QCA_Context ctx;
		ASSERT_EQ(QCA_Init(&ctx, key.data(), v.bits), &ctx);
		EXPECT_EQ(ctx.keyBitLength, v.bits);

		/* Separate input and output: the input stays as it was. */
		Bytes in = plain, out(CAMELLIA_BLOCK_SIZE);
		QCA_EncryptBlock(&ctx, in.data(), out.data());
		EXPECT_EQ(to_hex(out), v.cipher);
		EXPECT_EQ(in, plain);
		Bytes back(CAMELLIA_BLOCK_SIZE);
		QCA_DecryptBlock(&ctx, out.data(), back.data());
		EXPECT_EQ(to_hex(back), v.plain);

		/* In place, one block at a time and as a buffer. */
		QCA_DecryptBlock(&ctx, out.data(), out.data());
		EXPECT_EQ(to_hex(out), v.plain);
		Bytes buf = plain;
		QCA_Encrypt(&ctx, buf.data(), (unsigned)buf.size());
		EXPECT_EQ(to_hex(buf), v.cipher);
		QCA_Decrypt(&ctx, buf.data(), (unsigned)buf.size());
		EXPECT_EQ(buf, plain);
	}
}

TEST(QcaBuffer, DecryptRestoresWhatEncryptProduced)
{
	std::mt19937 rng(20260107);
	for (int bits : {128, 192, 256}) {
		for (unsigned size : {16u, 32u, 496u, 512u, 4096u}) {
			SCOPED_TRACE(std::to_string(bits) + "-bit key, " +
			    std::to_string(size) + " bytes");
			const Bytes key = random_bytes(rng, (size_t)bits / 8);
			const Bytes plain = random_bytes(rng, size);
			QCA_Context ctx;
			QCA_Init(&ctx, key.data(), bits);
			Bytes buf = plain;
			QCA_Encrypt(&ctx, buf.data(), size);
			EXPECT_NE(buf, plain);
			QCA_Decrypt(&ctx, buf.data(), size);
			EXPECT_EQ(buf, plain);
		}
	}
}

TEST(QcaBuffer, SizeZeroLeavesTheBufferAlone)
{
	const Bytes key = from_hex(rfc3713[0].key);
	QCA_Context ctx;
	QCA_Init(&ctx, key.data(), 128);
	Bytes buf(CAMELLIA_BLOCK_SIZE, 0xa5);
	QCA_Encrypt(&ctx, buf.data(), 0);
	QCA_Decrypt(&ctx, buf.data(), 0);
	EXPECT_EQ(buf, Bytes(CAMELLIA_BLOCK_SIZE, 0xa5));
}

TEST(QcaBuffer, BlocksAreEncryptedIndependently)
{
	const Bytes key = from_hex("000102030405060708090a0b0c0d0e0f");
	QCA_Context ctx;
	QCA_Init(&ctx, key.data(), 128);
	const Bytes a(CAMELLIA_BLOCK_SIZE, 'A'), b(CAMELLIA_BLOCK_SIZE, 'B');
	Bytes buf;
	for (const Bytes *blk : {&a, &a, &b, &a})
		buf.insert(buf.end(), blk->begin(), blk->end());
	QCA_Encrypt(&ctx, buf.data(), (unsigned)buf.size());

	Bytes ea(CAMELLIA_BLOCK_SIZE), eb(CAMELLIA_BLOCK_SIZE);
	QCA_EncryptBlock(&ctx, a.data(), ea.data());
	QCA_EncryptBlock(&ctx, b.data(), eb.data());
	auto block = [&](int i) {
		return to_hex(buf.data() + i * CAMELLIA_BLOCK_SIZE, CAMELLIA_BLOCK_SIZE);
	};
	EXPECT_EQ(block(0), to_hex(ea));
	EXPECT_EQ(block(1), to_hex(ea));
	EXPECT_EQ(block(2), to_hex(eb));
	EXPECT_EQ(block(3), to_hex(ea));
	EXPECT_NE(to_hex(ea), to_hex(eb));
}

/* Cross-check against openssl(1) as an independent implementation. */

std::string
find_program(const char *name)
{
	const char *env = getenv("PATH");
	std::string path = env != nullptr ? env : "/usr/bin:/bin";
	size_t start = 0;
	for (;;) {
		size_t end = path.find(':', start);
		std::string dir = path.substr(start, end - start);
		if (!dir.empty()) {
			std::string cand = dir + "/" + name;
			if (access(cand.c_str(), X_OK) == 0)
				return cand;
		}
		if (end == std::string::npos)
			return "";
		start = end + 1;
	}
}

/* Encrypts `plain` with `openssl enc` in ECB mode without padding. False
 * (with its standard error in `err`) when openssl fails. */
bool
openssl_encrypt(const std::string &openssl, const qiltest::TmpDir &dir, int bits,
                const Bytes &key, const Bytes &plain, Bytes *cipher,
                std::string *err)
{
	const std::string in = dir.file("plain.bin"), out = dir.file("cipher.bin");
	qiltest::write_file(in, std::string(plain.begin(), plain.end()));
	(void)unlink(out.c_str());
	qiltest::Process p({openssl, "enc", "-camellia-" + std::to_string(bits) + "-ecb",
	    "-nopad", "-K", to_hex(key), "-in", in, "-out", out}, dir.path());
	auto st = p.wait(std::chrono::seconds(60));
	*err = p.stderr_text();
	if (!st || !WIFEXITED(*st) || WEXITSTATUS(*st) != 0)
		return false;
	std::string text = qiltest::read_file(out);
	cipher->assign(text.begin(), text.end());
	return true;
}

class QcaOpenssl : public ::testing::TestWithParam<int> {};

TEST_P(QcaOpenssl, AgreesOnRandomKeysAndBuffers)
{
	const int bits = GetParam();
	const std::string openssl = find_program("openssl");
	if (openssl.empty())
		GTEST_SKIP() << "openssl(1) is not in PATH: no independent Camellia "
		                "implementation to compare with";
	qiltest::TmpDir dir;

	/* Probe with the known answer: skip if this openssl has no Camellia. */
	const KnownAnswer &v = known_answer(bits);
	Bytes got;
	std::string err;
	if (!openssl_encrypt(openssl, dir, bits, from_hex(v.key), from_hex(v.plain),
	        &got, &err))
		GTEST_SKIP() << openssl << " cannot run camellia-" << bits
		             << "-ecb (no Camellia in this build?): " << err;
	ASSERT_EQ(to_hex(got), v.cipher) << "openssl itself disagrees with RFC 3713";

	const unsigned seed = std::random_device{}();
	SCOPED_TRACE("random seed " + std::to_string(seed));
	std::mt19937 rng(seed);
	for (unsigned size : {16u, 32u, 496u, 4096u}) {
		SCOPED_TRACE(std::to_string(size) + " bytes");
		const Bytes key = random_bytes(rng, (size_t)bits / 8);
		const Bytes plain = random_bytes(rng, size);
		Bytes theirs;
		ASSERT_TRUE(openssl_encrypt(openssl, dir, bits, key, plain, &theirs, &err))
		    << err;
		ASSERT_EQ(theirs.size(), plain.size());

		QCA_Context ctx;
		QCA_Init(&ctx, key.data(), bits);
		Bytes ours = plain;
		QCA_Encrypt(&ctx, ours.data(), size);
		EXPECT_EQ(to_hex(ours), to_hex(theirs)) << "key " << to_hex(key);
		QCA_Decrypt(&ctx, theirs.data(), size);
		EXPECT_EQ(theirs, plain) << "key " << to_hex(key);
	}
}

INSTANTIATE_TEST_SUITE_P(KeyBits, QcaOpenssl, ::testing::Values(128, 192, 256));

/* The assertion reporter writes to standard output; the death-test matcher
 * reads standard error. Flush what the test runner buffered, then point
 * standard output at standard error. */
void
stdout_to_stderr()
{
	(void)fflush(stdout);
	(void)dup2(2, 1);
}

QCA_Context
rfc_context()
{
	const Bytes key = from_hex(rfc3713[0].key);
	QCA_Context ctx;
	QCA_Init(&ctx, key.data(), 128);
	return ctx;
}

TEST(QcaDeathTest, BufferSizeNotWholeBlocks)
{
	GTEST_FLAG_SET(death_test_style, "threadsafe");
	QCA_Context ctx = rfc_context();
	uint8_t buf[64] = {};
	const char *const enc_re = "^assert fail! QCA_Encrypt [^ ]*qca\\.cc:[0-9]+ "
	                           "\\(size % CAMELLIA_BLOCK_SIZE\\) == 0 0\n$";
	const char *const dec_re = "^assert fail! QCA_Decrypt [^ ]*qca\\.cc:[0-9]+ "
	                           "\\(size % CAMELLIA_BLOCK_SIZE\\) == 0 0\n$";
	for (unsigned size : {1u, 15u, 17u, 63u}) {
		SCOPED_TRACE(size);
		EXPECT_EXIT({ stdout_to_stderr(); QCA_Encrypt(&ctx, buf, size); },
		    ::testing::KilledBySignal(SIGABRT), enc_re);
		EXPECT_EXIT({ stdout_to_stderr(); QCA_Decrypt(&ctx, buf, size); },
		    ::testing::KilledBySignal(SIGABRT), dec_re);
	}
}

TEST(QcaDeathTest, ReportGoesToStandardOutputOnly)
{
	GTEST_FLAG_SET(death_test_style, "threadsafe");
	QCA_Context ctx = rfc_context();
	uint8_t buf[16] = {};
	/* With standard output discarded, nothing may reach standard error. */
	EXPECT_EXIT(
	    {
		    (void)fflush(stdout);
		    int nul = open("/dev/null", O_WRONLY);
		    (void)dup2(nul, 1);
		    QCA_Encrypt(&ctx, buf, 15);
	    },
	    ::testing::KilledBySignal(SIGABRT), "^$");
}

TEST(QcaDeathTest, KeyLengthOtherThan128192256)
{
	GTEST_FLAG_SET(death_test_style, "threadsafe");
	const char *const re = "^assert fail! QilCamellia_Ekeygen [^ ]*qca\\.cc:[0-9]+ "
	                       "keyBitLength == 128 \\|\\| keyBitLength == 192 \\|\\| "
	                       "keyBitLength == 256 0\n$";
	uint8_t key[64] = {};
	union qca_keytable table;
	for (int bits : {100, 0, 64, 129, 512}) {
		SCOPED_TRACE(bits);
		EXPECT_EXIT({ stdout_to_stderr(); QilCamellia_Ekeygen(bits, key, &table); },
		    ::testing::KilledBySignal(SIGABRT), re);
	}
	/* QCA_Init goes through the same check. */
	QCA_Context ctx;
	EXPECT_EXIT({ stdout_to_stderr(); QCA_Init(&ctx, key, 100); },
	    ::testing::KilledBySignal(SIGABRT), re);
}

} // namespace
