/*
 * vsb_test.cc -- the string buffer: growth steps, the byte kept for the
 * NUL, fixed buffers that overflow, and the state checks.
 */
#include <memory>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "case_name.h"
#include "libqil_test.h"
#include "vsb.h"

namespace {

struct VsbDelete {
	void operator()(struct vsb *s) const { vsb_delete(s); }
};
using VsbPtr = std::unique_ptr<struct vsb, VsbDelete>;

VsbPtr
new_auto()
{
	VsbPtr s(vsb_new(nullptr, nullptr, 0, VSB_AUTOEXTEND));
	EXPECT_NE(s, nullptr);
	return s;
}

std::string
finished_text(struct vsb *s)
{
	vsb_finish(s);
	return std::string(vsb_data(s), (size_t)vsb_len(s));
}

TEST(Vsb, NewAutoExtendStartsAt2048)
{
	VsbPtr s = new_auto();
	EXPECT_EQ(s->s_magic, (unsigned)VSB_MAGIC);
	EXPECT_EQ(s->s_size, 2048u);
	EXPECT_EQ(s->s_len, 0u);
	EXPECT_EQ(s->s_flags, VSB_AUTOEXTEND | VSB_DYNAMIC | VSB_DYNSTRUCT);
}

TEST(Vsb, LastByteIsKeptForTheNul)
{
	VsbPtr s = new_auto();
	std::string text(2047, 'a');
	ASSERT_EQ(vsb_bcat(s.get(), text.data(), text.size()), 0);
	EXPECT_EQ(s->s_size, 2048u);
	ASSERT_EQ(vsb_putc(s.get(), 'b'), 0);
	EXPECT_EQ(s->s_size, 4096u);
	EXPECT_EQ(finished_text(s.get()), text + "b");
}

TEST(Vsb, PrintfGrowsUntilTheTextFits)
{
	VsbPtr s = new_auto();
	std::string text(5000, 'x');
	ASSERT_EQ(vsb_printf(s.get(), "%s", text.c_str()), 0);
	/* 2048 -> 4096 (for 2048 + 2048) -> 8192 (for 4096 + 2048). */
	EXPECT_EQ(s->s_size, 8192u);
	EXPECT_FALSE(vsb_overflowed(s.get()));
	EXPECT_EQ(finished_text(s.get()), text);
}

TEST(Vsb, BcatGrowsPastTheDoublingLimitInLinearSteps)
{
	VsbPtr s = new_auto();
	std::string text(1048576 + 10, 'z');
	ASSERT_EQ(vsb_bcat(s.get(), text.data(), text.size()), 0);
	EXPECT_EQ(s->s_size, 1048576u + 131072u);
	EXPECT_EQ(vsb_len(s.get()), (int)text.size());
}

/* Appends to a fixed 16-byte buffer, which holds at most 15 bytes. */
struct FixedCase {
	const char *name;
	bool printf_;
	std::string text;
	int ret;
	std::string kept;
};

/* Failure messages name the case instead of dumping its bytes. */
void
PrintTo(const FixedCase &c, std::ostream *os)
{
	*os << c.name;
}

class VsbFixed : public testing::TestWithParam<FixedCase> {};

TEST_P(VsbFixed, AppendAndFinish)
{
	const FixedCase &c = GetParam();
	char storage[16];
	struct vsb rec;
	ASSERT_EQ(vsb_new(&rec, storage, sizeof storage, VSB_FIXEDLEN), &rec);

	int r = c.printf_ ? vsb_printf(&rec, "%s", c.text.c_str())
	                  : vsb_bcat(&rec, c.text.data(), c.text.size());
	EXPECT_EQ(r, c.ret);
	EXPECT_EQ(vsb_overflowed(&rec) != 0, c.ret != 0);
	if (c.ret != 0) {
		EXPECT_EQ(vsb_len(&rec), -1);
		/* Once overflowed, appends do nothing. */
		EXPECT_EQ(vsb_putc(&rec, 'q'), -1);
		EXPECT_EQ(vsb_bcat(&rec, "q", 1), -1);
	}
	EXPECT_EQ(rec.s_size, 16u);
	vsb_finish(&rec);
	EXPECT_FALSE(vsb_overflowed(&rec));
	EXPECT_EQ(vsb_len(&rec), (int)c.kept.size());
	EXPECT_EQ(std::string(vsb_data(&rec)), c.kept);
	EXPECT_EQ(vsb_data(&rec), storage);
	vsb_delete(&rec);
	EXPECT_EQ(rec.s_magic, 0u);
}

const std::string k15(15, 'f');

INSTANTIATE_TEST_SUITE_P(
    Cases, VsbFixed,
    testing::Values(
	FixedCase{"bcat_20", false, std::string(20, 'b'), -1, std::string(15, 'b')},
	FixedCase{"bcat_15_fits", false, k15, 0, k15},
	FixedCase{"printf_14", true, std::string(14, 'p'), 0, std::string(14, 'p')},
	/* A formatted append that reaches the last byte counts as overflow. */
	FixedCase{"printf_15_exact", true, k15, -1, k15},
	FixedCase{"printf_20_cut", true, std::string(20, 'c'), -1, std::string(15, 'c')}),
    qiltest::CaseName());

TEST(Vsb, PutcOfNulIsAcceptedButNotStored)
{
	VsbPtr s = new_auto();
	ASSERT_EQ(vsb_putc(s.get(), 'a'), 0);
	EXPECT_EQ(vsb_putc(s.get(), 0), 0);
	EXPECT_EQ(vsb_len(s.get()), 1);
	EXPECT_EQ(finished_text(s.get()), "a");
}

TEST(Vsb, ClearMakesAFinishedOrOverflowedBufferWritable)
{
	char storage[4];
	struct vsb rec;
	ASSERT_NE(vsb_new(&rec, storage, sizeof storage, VSB_FIXEDLEN), nullptr);
	EXPECT_EQ(vsb_bcat(&rec, "abcdef", 6), -1);
	vsb_finish(&rec);
	EXPECT_STREQ(vsb_data(&rec), "abc");

	vsb_clear(&rec);
	EXPECT_EQ(vsb_len(&rec), 0);
	EXPECT_EQ(vsb_printf(&rec, "%d", 12), 0);
	vsb_finish(&rec);
	EXPECT_STREQ(vsb_data(&rec), "12");

	/* clear also lowers the overflow flag without a finish. */
	vsb_clear(&rec);
	EXPECT_EQ(vsb_bcat(&rec, "abcdef", 6), -1);
	vsb_clear(&rec);
	EXPECT_FALSE(vsb_overflowed(&rec));
	EXPECT_EQ(vsb_putc(&rec, 'z'), 0);
	vsb_delete(&rec);
}

TEST(Vsb, GrowthReplacesButNeverFreesCallerStorage)
{
	char storage[8] = "";
	struct vsb rec;
	ASSERT_EQ(vsb_new(&rec, storage, sizeof storage, VSB_AUTOEXTEND), &rec);
	/* A supplied array keeps its exact size, even with auto-extend. */
	EXPECT_EQ(rec.s_size, 8u);
	EXPECT_FALSE(rec.s_flags & VSB_DYNAMIC);

	const std::string text = "0123456789abcdefghij";
	ASSERT_EQ(vsb_bcat(&rec, text.data(), text.size()), 0);
	EXPECT_NE(rec.s_buf, storage);
	EXPECT_TRUE(rec.s_flags & VSB_DYNAMIC);
	EXPECT_EQ(rec.s_size, 2048u);
	EXPECT_EQ(std::string(storage, 7), text.substr(0, 7));
	EXPECT_EQ(finished_text(&rec), text);
	/* Frees the grown storage (the sanitizer build checks no more). */
	vsb_delete(&rec);
}

TEST(VsbDeath, StateChecksAreFatal)
{
	const std::string state = qiltest::assert_line(
	    "_vsb_assert_state", "vsb\\.cc",
	    "\\(s->s_flags & VSB_FINISHED\\) == state");
	EXPECT_ASSERT_FAIL(
	    {
		    VsbPtr s = new_auto();
		    (void)vsb_data(s.get());
	    },
	    state);
	EXPECT_ASSERT_FAIL(
	    {
		    VsbPtr s = new_auto();
		    vsb_finish(s.get());
		    (void)vsb_putc(s.get(), 'x');
	    },
	    state);
	EXPECT_ASSERT_FAIL(
	    {
		    VsbPtr s = new_auto();
		    vsb_finish(s.get());
		    vsb_finish(s.get());
	    },
	    state);
}

TEST(VsbDeath, IntegrityAndArgumentChecksAreFatal)
{
	EXPECT_ASSERT_FAIL(
	    {
		    struct vsb rec = {};
		    vsb_clear(&rec);
	    },
	    qiltest::assert_line("_vsb_assert_integrity", "vsb\\.cc",
	                         "s->s_magic == VSB_MAGIC"));
	EXPECT_ASSERT_FAIL(
	    (void)vsb_new(nullptr, nullptr, 0, VSB_FINISHED),
	    qiltest::assert_line("vsb_new", "vsb\\.cc",
	                         "\\(flags & ~VSB_USRFLAGMSK\\) == 0"));
}

} // namespace
