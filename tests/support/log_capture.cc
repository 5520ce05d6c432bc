/*
 * log_capture.cc -- log handles captured in a temporary file.
 */
#include <unistd.h>

#include <gtest/gtest.h>

#include "log_capture.h"

namespace qiltest {

LogCapture::LogCapture(const char *id)
    : vl_(vtc_logopen(id, nullptr)), owned_(true), fp_(tmpfile())
{
	if (fp_ != nullptr)
		vl_->fp = fp_;
}

LogCapture::LogCapture(struct vtclog **slot) : owned_(false)
{
	if (*slot == nullptr)
		*slot = vtc_logopen("dnsc", nullptr);
	vl_ = *slot;
	fp_ = tmpfile();
	if (fp_ != nullptr)
		vl_->fp = fp_;
}

LogCapture::~LogCapture()
{
	if (owned_)
		vtc_logclose(vl_);
	else
		vl_->fp = stdout;
	if (fp_ != nullptr)
		(void)fclose(fp_);
}

std::string
LogCapture::text()
{
	std::string out;
	char buf[4096];
	size_t n;

	if (fp_ == nullptr) {
		ADD_FAILURE() << "no temporary file for the log";
		return out;
	}
	(void)fflush(fp_);
	rewind(fp_);
	while ((n = fread(buf, 1, sizeof buf, fp_)) > 0)
		out.append(buf, n);
	(void)fseek(fp_, 0, SEEK_END);
	return out;
}

void
LogCapture::clear()
{
	if (fp_ == nullptr)
		return;
	(void)fflush(fp_);
	EXPECT_EQ(ftruncate(fileno(fp_), 0), 0);
	rewind(fp_);
}

} // namespace qiltest
