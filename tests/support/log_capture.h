/*
 * log_capture.h -- a log handle whose lines go to a temporary file instead
 * of standard output, read back by the test.
 */
#ifndef QIL_TEST_LOG_CAPTURE_H
#define QIL_TEST_LOG_CAPTURE_H

#include <stdio.h>

#include <string>

#include "vtc_log.h"

namespace qiltest {

class LogCapture {
public:
	/* A handle of its own named `id`, closed with the capture. */
	explicit LogCapture(const char *id = "dnsc");
	/* The process-wide handle in `*slot`, opened as "dnsc" the first time
	 * and kept open; its lines go back to standard output at the end. */
	explicit LogCapture(struct vtclog **slot);
	~LogCapture();
	LogCapture(const LogCapture &) = delete;
	LogCapture &operator=(const LogCapture &) = delete;

	struct vtclog *vl() const { return vl_; }

	/* Everything logged since the start or the last clear(). */
	std::string text();
	void clear();
	bool contains(const std::string &s) { return text().find(s) != std::string::npos; }

private:
	struct vtclog *vl_;
	bool owned_;
	FILE *fp_;
};

} // namespace qiltest

#endif
