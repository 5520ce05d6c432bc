/*
 * unit_support.h -- what the forwarder's unit tests share: the log
 * handle `vl` captured in a temporary file, and configuration strings set
 * in `dnsc_conf` for the length of one test.
 *
 * The forwarder's tables and rings are process-wide; these helpers only
 * put back what they changed themselves.
 */
#ifndef QIL_TEST_UNIT_SUPPORT_H
#define QIL_TEST_UNIT_SUPPORT_H

#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "qildnsc.h"
#include "vtc_log.h"

namespace qiltest {

/* Opens `vl` once per process and sends its lines to a temporary file. */
class LogCapture {
public:
	LogCapture()
	{
		if (vl == nullptr)
			vl = vtc_logopen("dnsc", nullptr);
		fp_ = tmpfile();
		if (fp_ != nullptr)
			vl->fp = fp_;
	}
	~LogCapture()
	{
		vl->fp = stdout;
		if (fp_ != nullptr)
			(void)fclose(fp_);
	}
	LogCapture(const LogCapture &) = delete;
	LogCapture &operator=(const LogCapture &) = delete;

	/* Everything logged since the start or the last clear(). */
	std::string text()
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

	void clear()
	{
		if (fp_ == nullptr)
			return;
		(void)fflush(fp_);
		EXPECT_EQ(ftruncate(fileno(fp_), 0), 0);
		rewind(fp_);
	}

	bool contains(const std::string &s) { return text().find(s) != std::string::npos; }

private:
	FILE *fp_ = nullptr;
};

/* Sets one string of dnsc_conf (a heap copy, or NULL) until destroyed. */
class ConfString {
public:
	ConfString(char **field, const char *value) : field_(field)
	{
		*field_ = value != nullptr ? strdup(value) : nullptr;
	}
	ConfString(char **field, const std::string &value) : ConfString(field, value.c_str()) {}
	~ConfString()
	{
		free(*field_);
		*field_ = nullptr;
	}
	ConfString(const ConfString &) = delete;
	ConfString &operator=(const ConfString &) = delete;

private:
	char **field_;
};

/* Names parameterised cases by the `name` field of their row. */
struct CaseName {
	template <class Row>
	std::string operator()(const ::testing::TestParamInfo<Row> &row) const
	{
		return row.param.name;
	}
};

/* A dotted IPv4 address in network byte order. */
inline uint32_t
ipv4(const char *dotted)
{
	struct in_addr a;
	EXPECT_EQ(inet_pton(AF_INET, dotted, &a), 1) << dotted;
	return a.s_addr;
}

inline std::string
dotted(uint32_t net)
{
	char text[INET_ADDRSTRLEN];
	struct in_addr a;
	a.s_addr = net;
	return inet_ntop(AF_INET, &a, text, sizeof text) != nullptr ? text : "?";
}

} // namespace qiltest

#endif
