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

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "case_name.h"
#include "log_capture.h"
#include "odr.h"
#include "common/qildnsc.h"

namespace qiltest {

/* The forwarder's handle `vl`, opened once per process, with its lines
 * sent to a temporary file. */
class ForwarderLog : public LogCapture {
public:
	ForwarderLog() : LogCapture(&::vl) {}
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
